// SPDX-License-Identifier: MIT
#include "inet/cSocket/client/ClientForm.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <variant>

#include "inet/cSocket/CSocket.h"
#include "inet/cSocket/client/PortText.h"
#include "platform/ErrorNumbers.h"

namespace wlclientcore {

namespace {

// Only a host lookup fails with these: host not found, try again, no recovery, no data.
bool IsLookupError(int32_t number) {
    return number == platform::WSAHOST_NOT_FOUND || number == platform::WSATRY_AGAIN ||
           number == platform::WSANO_RECOVERY || number == platform::WSANO_DATA;
}

// A description as part of a sentence: "Connection refused." becomes "connection refused".
std::string Reason(std::string description) {
    if (!description.empty() && description.back() == '.') description.pop_back();
    if (!description.empty() && description[0] >= 'A' && description[0] <= 'Z') description[0] += 'a' - 'A';
    return description;
}

void WriteToStdout(std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

std::string WaitingToReconnectText(std::chrono::milliseconds delay) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(delay).count();
    return "Waiting " + std::to_string(seconds) + " s to reconnect...";
}

std::string FailureText(const std::string& host, int32_t port, int32_t number, const std::string& description,
                        bool wasConnected) {
    const std::string code = " (" + std::to_string(number) + ")";
    if (number == platform::WSAHOST_NOT_FOUND) return "Host '" + host + "' not found" + code;
    if (IsLookupError(number)) return "Cannot look up host '" + host + "': " + Reason(description) + code;
    if (wasConnected) {
        return "The connection to " + ServerText(host, port) + " was lost: " + Reason(description) + code;
    }
    return "Cannot connect to " + ServerText(host, port) + ": " + Reason(description) + code;
}

std::string ServerText(const std::string& host, int32_t port) { return host + " port " + std::to_string(port); }

std::string FailureLine(const std::string& text, const std::string& detail) {
    return "wlclient: " + text + (detail.empty() ? "" : " (" + detail + ")") + "\n";
}

std::string ErrorMessageText(const inet::SocketError& error) {
    return "Error " + std::to_string(error.Number()) + ": " + error.Description();
}

std::string ErrorSourceText(const inet::SocketError& error) { return "Source: " + error.Source(); }

std::string ErrorLine(const inet::SocketError& error) {
    return "wlclient: error " + std::to_string(error.Number()) + ": " + error.Description() + " (" + error.Source() +
           ")\n";
}

ClientForm::ClientForm(ClientView& view, const ClientOptions& options)
    : m_view(view), m_self(std::make_shared<ClientForm*>(this)) {
    if (options.port) m_view.SetPortText(*options.port);
    if (options.host) m_host = *options.host;
    m_connectAtLoad = options.connect;
    m_reconnect = options.reconnect;
    if (options.echo) TextShown = WriteToStdout;
}

ClientForm::~ClientForm() {
    // A window destroyed without being closed still unloads (Form_Unload cannot fail).
    Form_Unload();
}

// ---- Entry points ----

void ClientForm::Form_Load() {
    if (m_loaded) return;
    m_loaded = true;
    RunHandler([this] { LoadBody(); });
    if (m_connectAtLoad) {
        m_connectAtLoad = false;
        m_view.RunAfter(std::chrono::milliseconds(0), [self = std::weak_ptr<ClientForm*>(m_self)] {
            if (const auto form = self.lock()) (*form)->ClickConnect();
        });
    }
}

void ClientForm::CheckCnct_Click() { RunHandler([this] { ClickBody(); }); }

void ClientForm::Form_Unload() {
    if (m_loaded) RunHandler([this] { UnloadBody(); });
}

void ClientForm::ClickConnect() {
    m_view.SetCheckValue(m_view.CheckValue() == kUnticked ? kTicked : kUnticked);
    CheckCnct_Click();
}

// ---- The handlers ----

void ClientForm::LoadBody() {
    WinLIRCclient = inet::CSocket::Create();
    WinLIRCclient->OnDataArrival = [this](int32_t bytesTotal) {
        RunHandler([this, bytesTotal] { WinLIRCclient_OnDataArrival(bytesTotal); });
    };
    WinLIRCclient->OnError = [this](int16_t number, std::string& description, int32_t, const std::string& source,
                                    const std::string&, int32_t, bool&) {
        RunHandler([&] { WinLIRCclient_OnError(number, description, source); });
    };
    WinLIRCclient->OnConnect = [this] { RunHandler([this] { WinLIRCclient_OnConnect(); }); };
    WinLIRCclient->OnClose = [this] { RunHandler([this] { WinLIRCclient_OnClose(); }); };
    WinLIRCclient->SetRemoteHost(m_host);
}

void ClientForm::ClickBody() {
    if (!WinLIRCclient) {
        // Form_Load could not make it.
        throw inet::RuntimeError(inet::kObjectNotSet, "wlclient.CheckCnct_Click");
    }
    StopReconnecting();  // a click starts afresh, whichever way it goes
    m_connected = false;
    if (m_view.CheckValue() == kTicked) {
        const int32_t port = PortText::ToPortNumber(m_view.PortText());
        WinLIRCclient->SetRemotePort(port);
        WinLIRCclient->Connect();
    } else {
        WinLIRCclient->CloseSocket();
    }
    m_view.SetPortEnabled(m_view.CheckValue() == kUnticked);
}

void ClientForm::WinLIRCclient_OnDataArrival(int32_t /*bytesTotal*/) {
    inet::Variant data;
    WinLIRCclient->GetData(data, static_cast<int32_t>(inet::VarType::String));
    const std::string& text = std::get<std::string>(data);
    m_view.SetResCodeText(text);
    m_statusShown = false;
    if (TextShown) TextShown(text);
    m_view.Beep();
}

void ClientForm::UnloadBody() {
    m_loaded = false;
    StopReconnecting();
    if (WinLIRCclient) {
        WinLIRCclient->CloseSocket();
        // Releasing the object also unbinds its events from this form.
        WinLIRCclient->OnDataArrival = nullptr;
        WinLIRCclient->OnError = nullptr;
        WinLIRCclient->OnConnect = nullptr;
        WinLIRCclient->OnClose = nullptr;
        WinLIRCclient.reset();
    }
}

void ClientForm::WinLIRCclient_OnError(int16_t number, const std::string& description, const std::string& source) {
    if (Connecting()) {
        // The object failed at something, and its connection goes on: an error to show.
        ReportError(inet::SocketError(number, source.empty() ? "wlclient.WinLIRCclient_OnError" : source, description));
        return;
    }
    const bool wasConnected = std::exchange(m_connected, false);
    const std::string text = FailureText(m_host, WinLIRCclient->RemotePort(), number, description, wasConnected);
    if (!m_reconnect) {
        ConnectionEnded(text, std::string());
        return;
    }
    if (IsLookupError(number) && !m_lookupReported) {
        // Once per tick (or per connection made): a retry that fails the same way again
        // would otherwise put up a box every wait.
        m_lookupReported = true;
        ReportFailure(text, std::string());
    }
    ScheduleReconnect();
}

void ClientForm::WinLIRCclient_OnConnect() {
    m_connected = true;
    m_nextDelay = kFirstReconnectDelay;
    m_lookupReported = false;
    if (m_statusShown) {
        m_view.SetResCodeText(std::string());
        m_statusShown = false;
    }
}

void ClientForm::WinLIRCclient_OnClose() {
    m_connected = false;
    if (m_reconnect) {
        ScheduleReconnect();
    } else {
        ConnectionEnded(kServerClosedText, ServerText(m_host, WinLIRCclient->RemotePort()));
    }
}

void ClientForm::ConnectionEnded(const std::string& text, const std::string& detail) {
    if (m_view.CheckValue() != kTicked) return;  // the user let the connection go first
    MatchControlsToSocket();
    ReportFailure(text, detail);
}

// ---- Reconnecting ----

void ClientForm::ScheduleReconnect() {
    if (!m_reconnect || !m_loaded || m_waiting || m_view.CheckValue() != kTicked) return;
    m_waiting = true;
    const std::chrono::milliseconds delay = m_nextDelay;
    m_nextDelay = std::min(m_nextDelay * 2, kLongestReconnectDelay);
    m_view.SetResCodeText(WaitingToReconnectText(delay));
    m_statusShown = true;
    m_view.RunAfter(delay, [self = std::weak_ptr<ClientForm*>(m_self), generation = m_generation] {
        if (const auto form = self.lock()) (*form)->Reconnect(generation);
    });
}

void ClientForm::Reconnect(uint64_t generation) {
    if (generation != m_generation || !m_waiting) return;  // a click or the unload came first
    m_waiting = false;
    if (!m_loaded || !WinLIRCclient || m_view.CheckValue() != kTicked) return;
    const std::shared_ptr<inet::CSocket> client = WinLIRCclient;
    bool failed = false;
    try {
        client->CloseSocket();  // what is left of the last connection
        client->Connect();
    } catch (const inet::SocketError& error) {
        ReportError(error);
        failed = true;
    }
    // A Connect that could not even start (no socket to be had, say) raised: wait and
    // try again all the same.
    const inet::SocketState state = client->State();
    if (failed || state == inet::SocketState::Closed || state == inet::SocketState::Error) ScheduleReconnect();
}

void ClientForm::StopReconnecting() {
    ++m_generation;
    m_waiting = false;
    m_nextDelay = kFirstReconnectDelay;
    m_lookupReported = false;
    if (m_statusShown) {
        // The waiting text no longer holds.
        m_view.SetResCodeText(std::string());
        m_statusShown = false;
    }
}

// ---- Plumbing ----

void ClientForm::RunHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const inet::SocketError& error) {
        // The controls first: once the message is up, they say what is left.
        MatchControlsToSocket();
        ReportError(error);
    }
}

bool ClientForm::Connecting() const {
    if (m_waiting) return true;
    if (!WinLIRCclient) return false;
    switch (WinLIRCclient->State()) {
        case inet::SocketState::ResolvingHost:
        case inet::SocketState::HostResolved:
        case inet::SocketState::Connecting:
        case inet::SocketState::Connected:
            return true;
        default:
            return false;
    }
}

void ClientForm::MatchControlsToSocket() {
    if (!m_loaded || m_view.CheckValue() == kUnticked || Connecting()) return;
    m_view.SetCheckValue(kUnticked);
    if (WinLIRCclient) {
        ClickBody();  // an untick cannot fail while there is an object
    } else {
        m_view.SetPortEnabled(true);
    }
}

void ClientForm::ReportError(const inet::SocketError& error) {
    const std::string line = ErrorLine(error);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    m_view.ShowError(error);
}

void ClientForm::ReportFailure(const std::string& text, const std::string& detail) {
    const std::string line = FailureLine(text, detail);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    m_view.ShowFailure(text, detail);
}

}  // namespace wlclientcore
