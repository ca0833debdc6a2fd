// SPDX-License-Identifier: MIT
// ClientView: what the client window's handlers need of a window toolkit.
//
// The handlers (ClientForm) are written once; each toolkit's window implements this
// interface and forwards its load, click and unload events to the form. Everything
// is called on the GUI thread, the thread that also pumps the socket messages.
//
// Texts are narrow strings:
//   - the port text is in the toolkit's own narrow encoding (UTF-8 under Qt,
//     Latin-1 under user32); the port reading only looks at ASCII;
//   - the text for ResCode holds one character per byte, exactly as the socket
//     component hands text over: the view shows byte n as character n of Latin-1
//     (under user32 through the wide-character calls, whatever the ANSI code page,
//     which may join two bytes into one character), so every byte shows as one
//     character and none is lost or merged.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace inet {
class SocketError;
}

namespace wlclientcore {

// The check box's values: a click only ever gives Unticked or Ticked.
enum CheckBoxValue : int { kUnticked = 0, kTicked = 1, kGreyed = 2 };

class ClientView {
public:
    // ---- Port: the single-line text box ----
    virtual std::string PortText() const = 0;
    virtual void SetPortText(const std::string& text) = 0;
    virtual void SetPortEnabled(bool enabled) = 0;

    // ---- CheckCnct: the check box "Connect" ----
    // 0 unticked, 1 ticked, 2 greyed.
    virtual int CheckValue() const = 0;
    // Changes the box's value without running the click handler.
    virtual void SetCheckValue(int value) = 0;

    // ---- ResCode: the text box ----
    // Replaces its whole text; `text` holds one character per byte (see above).
    virtual void SetResCodeText(const std::string& text) = 0;

    // ---- Services of the toolkit ----
    // The platform's default alert sound.
    virtual void Beep() = 0;
    // Shows an error that left a handler: its number, description and source (see
    // ErrorMessageText). The form calls it once the failed handler has ended, but
    // possibly from inside a socket event; the socket messages must keep flowing
    // while the message is up (a box that does not block, or a modal one whose
    // nested loop dispatches them).
    virtual void ShowError(const inet::SocketError& error) = 0;
    // Shows why the connection could not be made or has ended: `text` is one line
    // (see FailureText), `detail` an optional second one. Shown the same way as an
    // error, and under the same rules.
    virtual void ShowFailure(const std::string& text, const std::string& detail) = 0;
    // Runs `action` once on the GUI thread after about `delay` (0: as soon as the
    // event loop runs again), unless the view has been destroyed by then. The form
    // itself ignores an action that has become stale, so there is no cancelling.
    virtual void RunAfter(std::chrono::milliseconds delay, std::function<void()> action) = 0;

protected:
    ClientView() = default;
    ~ClientView() = default;
    ClientView(const ClientView&) = default;
    ClientView& operator=(const ClientView&) = default;
};

}  // namespace wlclientcore
