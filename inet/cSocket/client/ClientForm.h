// SPDX-License-Identifier: MIT
// ClientForm: the client window's handlers, written once for every window toolkit.
//
// The user types the server's TCP port into Port and ticks "Connect": the form
// connects to the server (127.0.0.1 unless --host names another) on that port.
// Every text the server sends then replaces the text in ResCode and sounds a beep;
// the form sends nothing. Unticking the box closes the connection, and so does
// closing the window.
//
// The form owns the socket object, WinLIRCclient: Form_Load creates it when the
// window is first shown, Form_Unload closes and releases it when the window closes
// (or, failing that, when the form is destroyed). It reaches the window's controls
// only through a ClientView, which must outlive it; the view calls the four entry
// points below from its toolkit's events, all on the GUI thread that also pumps the
// socket messages.
//
// The handlers stop at the first error, as they are written. An inet::SocketError
// that leaves a handler is caught at the handler's edge, written to standard error
// and shown through ClientView::ShowError; the program goes on.
//
// The controls never show a connection that is not there. A connection that cannot
// be made (refused, timed out, a host name that does not resolve), that breaks or
// that the server closes unticks "Connect" as the user would (the port box becomes
// editable again) and is written to standard error and shown through
// ClientView::ShowFailure in words that name the server (FailureText). After an
// error that left a handler, the box is likewise unticked unless a connection is
// being made or is up. With --reconnect, a lost or refused connection is tried
// again instead (below).
//
// Options change the behaviour only when given (see ClientOptions):
//   - --host: the name or address Form_Load gives the object; a name is resolved
//     by the component's own asynchronous lookup, and a failed lookup is reported
//     like an error that left a handler;
//   - --reconnect: while the box is ticked, a connection that closes or fails is
//     tried again after 1 s, then 2 s, 4 s ... at most 30 s (back to 1 s once a
//     connection is made), and ResCode says that the form is waiting to reconnect;
//     unticking stops it;
//   - --connect: once loaded, the box is clicked as the user would;
//   - --echo: each text the server sends is also written to standard output, byte
//     for byte as it arrived, and flushed.
// Not copyable.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "inet/cSocket/client/ClientOptions.h"
#include "inet/cSocket/client/ClientView.h"

namespace inet {
class CSocket;
class SocketError;
}  // namespace inet

namespace wlclientcore {

// The default server address.
inline constexpr const char* kDefaultHost = "127.0.0.1";

// The reconnect delays: the first, and the most it grows to by doubling.
inline constexpr std::chrono::milliseconds kFirstReconnectDelay{1000};
inline constexpr std::chrono::milliseconds kLongestReconnectDelay{30000};

// What ResCode says while the form waits `delay` before it connects again.
std::string WaitingToReconnectText(std::chrono::milliseconds delay);

// What the user is told when a connection cannot be made or breaks: "Cannot connect
// to 127.0.0.1 port 8766: connection refused (10061)", "Host 'lircbox' not found
// (11001)", "The connection to 127.0.0.1 port 8766 was lost: connection reset by peer
// (10054)". `description` is the component's text of `number`.
std::string FailureText(const std::string& host, int32_t port, int32_t number, const std::string& description,
                        bool wasConnected);
// What the user is told when the server closes the connection, and the second line
// that names it: "127.0.0.1 port 8766".
inline constexpr const char* kServerClosedText = "The server closed the connection";
std::string ServerText(const std::string& host, int32_t port);
// The line written to standard error for a failure: "wlclient: TEXT (DETAIL)".
std::string FailureLine(const std::string& text, const std::string& detail);

// The message for an error shown to the user: "Error 6: Overflow", and a second
// line "Source: CSocket.CSocket.Connect".
std::string ErrorMessageText(const inet::SocketError& error);
std::string ErrorSourceText(const inet::SocketError& error);
// The line written to standard error: "wlclient: error 6: Overflow (CSocket.CSocket.Connect)".
std::string ErrorLine(const inet::SocketError& error);

class ClientForm {
public:
    // Applies the options that concern the window: the port text is set at once,
    // the rest takes effect from Form_Load on.
    ClientForm(ClientView& view, const ClientOptions& options = {});
    ~ClientForm();
    ClientForm(const ClientForm&) = delete;
    ClientForm& operator=(const ClientForm&) = delete;

    // ---- Entry points for the view; each traps and reports its errors ----

    // The window is loaded (first shown). Does nothing while already loaded.
    void Form_Load();
    // The user clicked the check box, which has already changed its value.
    void CheckCnct_Click();
    // The window is closing; always succeeds. Does nothing unless loaded.
    void Form_Unload();

    // Clicks "Connect" as the user would: toggles the box and runs CheckCnct_Click.
    void ClickConnect();

    // ---- State, for the view and for tests ----

    bool Loaded() const { return m_loaded; }
    // The socket object: empty before the window loads and after it unloads.
    const std::shared_ptr<inet::CSocket>& Client() const { return WinLIRCclient; }
    // Each text the server sends, as the bytes arrived, after it replaced ResCode.
    // --echo sets this to write standard output.
    std::function<void(std::string_view bytes)> TextShown;

private:
    void LoadBody();
    void ClickBody();
    void UnloadBody();
    void WinLIRCclient_OnDataArrival(int32_t bytesTotal);
    void WinLIRCclient_OnError(int16_t number, const std::string& description, const std::string& source);
    void WinLIRCclient_OnConnect();
    void WinLIRCclient_OnClose();

    // Runs one handler; an error that leaves it is reported, and the controls are
    // then put in step with the socket.
    void RunHandler(const std::function<void()>& handler);
    void ReportError(const inet::SocketError& error);
    void ReportFailure(const std::string& text, const std::string& detail);

    // True while a connection is being made or is up, or a reconnect waits.
    bool Connecting() const;
    // Unticks "Connect" unless Connecting(): an untick by the user, which closes what
    // is left of the socket and makes the port box editable.
    void MatchControlsToSocket();
    // Without --reconnect: the connection failed or ended; tells the user and unticks.
    void ConnectionEnded(const std::string& text, const std::string& detail);

    // --reconnect: waits, then connects again if the box is still ticked.
    void ScheduleReconnect();
    void Reconnect(uint64_t generation);
    void StopReconnecting();

    ClientView& m_view;
    std::string m_host = kDefaultHost;
    bool m_connectAtLoad = false;
    bool m_reconnect = false;

    std::shared_ptr<inet::CSocket> WinLIRCclient;
    bool m_loaded = false;
    bool m_connected = false;  // OnConnect came, and no close or error since

    // --reconnect: the next wait, and a count that makes older waits stale.
    std::chrono::milliseconds m_nextDelay = kFirstReconnectDelay;
    uint64_t m_generation = 0;
    bool m_waiting = false;         // a reconnect is scheduled
    bool m_lookupReported = false;  // a failed lookup was shown since the last tick or connection
    bool m_statusShown = false;     // ResCode holds the waiting text, not the server's

    // Actions handed to the view check this first: they may outlive the form.
    std::shared_ptr<ClientForm*> m_self;
};

}  // namespace wlclientcore
