// SPDX-License-Identifier: MIT
// The client window's handlers against a test view: what a tick, an untick, an
// arriving text, an error and the unload do to the controls and the connection,
// and what the options --connect, --host and --reconnect add. No toolkit: the
// server is a CSocket listener on 127.0.0.1 in this process, the loop is pumped
// here, and the view's delayed actions run when a test says so.
#include "inet/cSocket/client/ClientForm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "inet/cSocket/CSocket.h"
#include "inet/cSocket/MSocketSupport.h"
#include "platform/MessageLoop.h"
#include "platform/Testing.h"
#include "platform/Winsock.h"

namespace {

using namespace std::chrono_literals;
using wlclientcore::ClientForm;
using wlclientcore::ClientOptions;

// Not the one in tests/support: these tests use the component alone, so that they
// can run wherever it builds.
bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        platform::PumpMessages(10ms);
    }
    return true;
}

// The controls as plain values; delayed actions wait until RunPending.
class TestView : public wlclientcore::ClientView {
public:
    std::string port = "8765";
    bool portEnabled = true;
    int check = wlclientcore::kUnticked;
    std::string resCode;
    int beeps = 0;
    std::vector<inet::SocketError> errors;
    std::vector<std::string> failures;  // text, then a line of detail if there is one
    std::vector<std::chrono::milliseconds> delays;  // of every action asked for

    std::string PortText() const override { return port; }
    void SetPortText(const std::string& text) override { port = text; }
    void SetPortEnabled(bool enabled) override { portEnabled = enabled; }
    int CheckValue() const override { return check; }
    void SetCheckValue(int value) override { check = value; }
    void SetResCodeText(const std::string& text) override { resCode = text; }
    void Beep() override { ++beeps; }
    void ShowError(const inet::SocketError& error) override { errors.push_back(error); }
    void ShowFailure(const std::string& text, const std::string& detail) override {
        failures.push_back(detail.empty() ? text : text + "\n" + detail);
    }
    void RunAfter(std::chrono::milliseconds delay, std::function<void()> action) override {
        delays.push_back(delay);
        m_pending.push_back(std::move(action));
    }

    size_t Pending() const { return m_pending.size(); }
    // Runs the actions asked for so far, as if their time had come.
    void RunPending() {
        std::vector<std::function<void()>> due;
        due.swap(m_pending);
        for (auto& action : due) action();
    }

private:
    std::vector<std::function<void()>> m_pending;
};

// A loopback server made of CSocket objects: it takes every connection and can
// send to the latest, close them all, stop listening and listen again on its port.
class TestServer {
public:
    TestServer() { Listen(0); }
    ~TestServer() { Stop(); }

    int32_t Port() const { return m_port; }
    size_t Accepted() const { return m_accepted; }
    bool LatestClosedByClient() const { return m_closedByClient; }

    void Listen(int32_t port) {
        m_listener = inet::CSocket::Create();
        m_listener->OnConnectionRequest = [this](int32_t requestID) {
            auto peer = inet::CSocket::Create();
            peer->Accept(requestID);
            m_closedByClient = false;
            peer->OnClose = [this] { m_closedByClient = true; };
            m_peers.push_back(std::move(peer));
            ++m_accepted;
        };
        m_listener->Bind(port, "127.0.0.1");
        m_listener->Listen();
        // The port the system chose: the property keeps the one asked for.
        sockaddr_in local{};
        int length = sizeof local;
        platform::getsockname(m_listener->SocketHandle(), reinterpret_cast<sockaddr*>(&local), &length);
        m_port = ntohs(local.sin_port);
    }
    void Send(const std::string& bytes) { m_peers.back()->SendData(inet::Variant(bytes)); }

    // Closed objects are kept until the server goes: the end of an object stops the
    // socket service whenever no handle is registered, even while the form's object
    // waits without one.
    void CloseClients() {
        for (auto& peer : m_peers) peer->CloseSocket();
        m_closed.insert(m_closed.end(), m_peers.begin(), m_peers.end());
        m_peers.clear();
    }
    void Stop() {
        CloseClients();
        if (m_listener) {
            m_listener->CloseSocket();
            m_closed.push_back(std::move(m_listener));
        }
    }

private:
    std::shared_ptr<inet::CSocket> m_listener;
    std::vector<std::shared_ptr<inet::CSocket>> m_peers;
    std::vector<std::shared_ptr<inet::CSocket>> m_closed;
    int32_t m_port = 0;
    size_t m_accepted = 0;
    bool m_closedByClient = false;
};

class ClientFormTest : public ::testing::Test {
protected:
    void TearDown() override {
        form.reset();
        server.reset();
        platform::testing::Reset();
        // Nothing the form made outlives it.
        EXPECT_EQ(inet::MSocketSupport::RegisteredSocketCount(), 0);
    }

    // A loaded form with these options, recording what it shows.
    void Load(ClientOptions options = {}) {
        form = std::make_unique<ClientForm>(view, options);
        form->TextShown = [this](std::string_view bytes) { shown.emplace_back(bytes); };
        form->Form_Load();
    }

    void Tick(const std::string& portText) {
        view.port = portText;
        view.check = wlclientcore::kTicked;
        form->CheckCnct_Click();
    }
    void Untick() {
        view.check = wlclientcore::kUnticked;
        form->CheckCnct_Click();
    }

    bool Connected() { return form->Client() && form->Client()->State() == inet::SocketState::Connected; }

    // The server is made first: it outlives the form.
    std::unique_ptr<TestServer> server = std::make_unique<TestServer>();
    TestView view;
    std::unique_ptr<ClientForm> form;
    std::vector<std::string> shown;
};

// ---- The handlers as they are written ----------------------------------------

TEST_F(ClientFormTest, ATickConnectsAndEachTextReplacesResCodeWithABeep) {
    Load();
    EXPECT_EQ(form->Client()->RemoteHost(), "127.0.0.1");
    EXPECT_EQ(view.port, "8765");
    EXPECT_TRUE(view.portEnabled);

    Tick(" " + std::to_string(server->Port()));
    EXPECT_FALSE(view.portEnabled);
    ASSERT_TRUE(PumpUntil([&] { return server->Accepted() == 1 && Connected(); }));
    EXPECT_EQ(form->Client()->RemotePort(), server->Port());

    server->Send("0000000000f40bf0 00 KEY_UP myremote\n");
    ASSERT_TRUE(PumpUntil([&] { return view.beeps == 1; }));
    EXPECT_EQ(view.resCode, "0000000000f40bf0 00 KEY_UP myremote\n");

    // Every byte arrives as it was sent, NUL and the upper half included.
    std::string bytes("caf\xe9\t\x01", 6);
    bytes.push_back('\0');
    bytes += "\r\n\xff";
    server->Send(bytes);
    ASSERT_TRUE(PumpUntil([&] { return view.beeps == 2; }));
    EXPECT_EQ(view.resCode, bytes);
    EXPECT_EQ(shown, (std::vector<std::string>{"0000000000f40bf0 00 KEY_UP myremote\n", bytes}));

    Untick();
    EXPECT_TRUE(view.portEnabled);
    EXPECT_TRUE(PumpUntil([&] { return server->LatestClosedByClient(); }));
    EXPECT_TRUE(view.errors.empty());
    EXPECT_EQ(view.Pending(), 0u);
}

// Without --reconnect, every way a connection fails or ends unticks the box as the
// user would, and says so in words that name the server; the last text stays.
TEST_F(ClientFormTest, AConnectionThatIsRefusedOrEndsUnticksTheBoxAndSaysWhy) {
    Load();
    const int32_t port = server->Port();
    const std::string where = "127.0.0.1 port " + std::to_string(port);
    server->Stop();
    testing::internal::CaptureStderr();
    Tick(std::to_string(port));
    ASSERT_TRUE(PumpUntil([&] { return !view.failures.empty(); }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "wlclient: Cannot connect to " + where + ": connection refused (10061)\n");
    EXPECT_EQ(view.failures, (std::vector<std::string>{"Cannot connect to " + where + ": connection refused (10061)"}));
    EXPECT_EQ(view.check, wlclientcore::kUnticked);
    EXPECT_TRUE(view.portEnabled);

    // The server comes back: a tick connects as ever; then the server closes.
    server->Listen(port);
    Tick(std::to_string(port));
    ASSERT_TRUE(PumpUntil([&] { return Connected(); }));
    server->Send("last\n");
    ASSERT_TRUE(PumpUntil([&] { return view.beeps == 1; }));
    testing::internal::CaptureStderr();
    server->CloseClients();
    ASSERT_TRUE(PumpUntil([&] { return view.failures.size() == 2; }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "wlclient: The server closed the connection (" + where + ")\n");
    EXPECT_EQ(view.failures[1], "The server closed the connection\n" + where);
    EXPECT_EQ(view.check, wlclientcore::kUnticked);
    EXPECT_TRUE(view.portEnabled);
    EXPECT_EQ(view.resCode, "last\n");
    EXPECT_EQ(form->Client()->State(), inet::SocketState::Closed);

    EXPECT_TRUE(view.errors.empty());
    EXPECT_EQ(view.Pending(), 0u);
}

TEST(ClientFormText, FailuresNameTheServerAndTheCause) {
    using wlclientcore::FailureText;
    EXPECT_EQ(FailureText("lircbox", 8765, 10060, "Connection timed out.", false),
              "Cannot connect to lircbox port 8765: connection timed out (10060)");
    EXPECT_EQ(FailureText("lircbox", 8765, 11001, "Host not found.", false), "Host 'lircbox' not found (11001)");
    EXPECT_EQ(FailureText("lircbox", 8765, 11002, "Nonauthoritative host not found.", false),
              "Cannot look up host 'lircbox': nonauthoritative host not found (11002)");
    EXPECT_EQ(FailureText("10.0.0.2", 1, 10053, "Software caused connection abort.", true),
              "The connection to 10.0.0.2 port 1 was lost: software caused connection abort (10053)");
}

TEST_F(ClientFormTest, AnErrorEndsTheHandlerAndIsShownWithItsNumberSourceAndDescription) {
    Load();
    testing::internal::CaptureStderr();
    Tick("70000");
    const std::string line = testing::internal::GetCapturedStderr();
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_EQ(view.errors[0].Number(), 6);
    EXPECT_EQ(view.errors[0].Source(), "CSocket.CSocket.Connect");
    EXPECT_EQ(view.errors[0].Description(), "Overflow");
    EXPECT_EQ(line, "wlclient: error 6: Overflow (CSocket.CSocket.Connect)\n");
    // The handler stopped before it locked the port; nothing connects, so the box is
    // unticked as the user would, and the socket Connect had made is gone.
    EXPECT_TRUE(view.portEnabled);
    EXPECT_EQ(view.check, wlclientcore::kUnticked);
    EXPECT_EQ(form->Client()->RemotePort(), 70000);
    EXPECT_EQ(form->Client()->SocketHandle(), -1);

    Tick("3000000000");
    ASSERT_EQ(view.errors.size(), 2u);
    EXPECT_EQ(view.errors[1].Source(), "PortText.ToPortNumber");
    EXPECT_EQ(form->Client()->RemotePort(), 70000);  // never set this time
    EXPECT_EQ(view.check, wlclientcore::kUnticked);
    EXPECT_TRUE(view.failures.empty());

    EXPECT_EQ(wlclientcore::ErrorMessageText(view.errors[0]), "Error 6: Overflow");
    EXPECT_EQ(wlclientcore::ErrorSourceText(view.errors[0]), "Source: CSocket.CSocket.Connect");
}

TEST_F(ClientFormTest, AFailedLoadLeavesNoObjectAndAClickSaysSo) {
    server.reset();  // the service stops with the last socket
    platform::testing::FailNextStartup(10091);
    Load();
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_EQ(view.errors[0].Number(), 10091);
    EXPECT_FALSE(form->Client());
    Tick("8765");
    ASSERT_EQ(view.errors.size(), 2u);
    EXPECT_EQ(view.check, wlclientcore::kUnticked);
    EXPECT_TRUE(view.portEnabled);
    EXPECT_EQ(view.errors[1].Number(), 91);
    EXPECT_EQ(view.errors[1].Source(), "wlclient.CheckCnct_Click");
    EXPECT_EQ(view.errors[1].Description(), "Object variable not set");
    form->Form_Unload();  // and unloading has nothing to close
    EXPECT_FALSE(form->Loaded());
}

TEST_F(ClientFormTest, UnloadClosesTheConnectionAndReleasesTheObject) {
    Load();
    Tick(std::to_string(server->Port()));
    ASSERT_TRUE(PumpUntil([&] { return Connected(); }));
    const std::weak_ptr<inet::CSocket> client = form->Client();
    form.reset();  // a form destroyed while loaded unloads
    EXPECT_TRUE(client.expired());
    EXPECT_TRUE(PumpUntil([&] { return server->LatestClosedByClient(); }));
}

// ---- Options -----------------------------------------------------------------

TEST_F(ClientFormTest, ConnectOptionClicksTheBoxOnceLoaded) {
    ClientOptions options;
    options.port = std::to_string(server->Port());
    options.connect = true;
    form = std::make_unique<ClientForm>(view, options);
    EXPECT_EQ(view.port, *options.port);  // at once, before loading
    EXPECT_EQ(view.Pending(), 0u);
    form->Form_Load();
    ASSERT_EQ(view.Pending(), 1u);
    EXPECT_EQ(view.delays.back(), 0ms);
    view.RunPending();
    EXPECT_EQ(view.check, wlclientcore::kTicked);
    EXPECT_FALSE(view.portEnabled);
    EXPECT_TRUE(PumpUntil([&] { return server->Accepted() == 1 && Connected(); }));
}

TEST_F(ClientFormTest, HostOptionResolvesTheNameByTheComponentsLookup) {
    ClientOptions options;
    options.host = "localhost";
    Load(options);
    Tick(std::to_string(server->Port()));
    EXPECT_EQ(form->Client()->State(), inet::SocketState::ResolvingHost);
    ASSERT_TRUE(PumpUntil([&] { return Connected(); }));
    EXPECT_EQ(form->Client()->RemoteHostIP(), "127.0.0.1");
    EXPECT_TRUE(view.errors.empty());
}

TEST_F(ClientFormTest, AFailedLookupNamesTheHostAndUnticksTheBox) {
    ClientOptions options;
    options.host = "no-such-host..invalid";
    Load(options);
    Tick(std::to_string(server->Port()));
    ASSERT_TRUE(PumpUntil([&] { return !view.failures.empty(); }));
    EXPECT_EQ(view.failures, (std::vector<std::string>{"Host 'no-such-host..invalid' not found (11001)"}));
    EXPECT_EQ(view.check, wlclientcore::kUnticked);
    EXPECT_TRUE(view.portEnabled);
    EXPECT_EQ(view.Pending(), 0u);  // no retry without --reconnect
    EXPECT_TRUE(view.errors.empty());
    EXPECT_EQ(server->Accepted(), 0u);
}

TEST_F(ClientFormTest, ReconnectWaitsLongerAfterEachFailureUpToThirtySeconds) {
    ClientOptions options;
    options.reconnect = true;
    Load(options);
    const int32_t port = server->Port();
    server->Stop();
    Tick(std::to_string(port));

    // Each refusal asks for the next wait: 1 s doubling, at most 30 s.
    std::vector<std::chrono::milliseconds> waits;
    for (int attempt = 0; attempt < 7; ++attempt) {
        if (attempt > 0) view.RunPending();
        ASSERT_TRUE(PumpUntil([&] { return view.Pending() == 1; })) << "attempt " << attempt;
        waits.push_back(view.delays.back());
        EXPECT_EQ(view.resCode, wlclientcore::WaitingToReconnectText(waits.back()));
    }
    EXPECT_EQ(waits, (std::vector<std::chrono::milliseconds>{1s, 2s, 4s, 8s, 16s, 30s, 30s}));
    EXPECT_EQ(view.resCode, "Waiting 30 s to reconnect...");
    EXPECT_TRUE(view.errors.empty());  // refusals are not errors to show
    EXPECT_TRUE(view.failures.empty());
    EXPECT_EQ(view.check, wlclientcore::kTicked);
    EXPECT_FALSE(view.portEnabled);

    // The server comes back: the next try connects, and the waiting text goes.
    server->Listen(port);
    view.RunPending();
    ASSERT_TRUE(PumpUntil([&] { return Connected() && server->Accepted() == 1; }));
    EXPECT_EQ(view.resCode, "");
    server->Send("after the restart\n");
    ASSERT_TRUE(PumpUntil([&] { return view.beeps == 1; }));
    EXPECT_EQ(view.resCode, "after the restart\n");

    // A connection made starts the waits again at 1 s.
    server->CloseClients();
    ASSERT_TRUE(PumpUntil([&] { return view.Pending() == 1; }));
    EXPECT_EQ(view.delays.back(), 1s);
    EXPECT_EQ(view.resCode, "Waiting 1 s to reconnect...");
}

TEST_F(ClientFormTest, UntickingStopsReconnecting) {
    ClientOptions options;
    options.reconnect = true;
    Load(options);
    Tick(std::to_string(server->Port()));
    ASSERT_TRUE(PumpUntil([&] { return Connected(); }));
    server->CloseClients();
    ASSERT_TRUE(PumpUntil([&] { return view.Pending() == 1; }));

    Untick();
    EXPECT_EQ(view.resCode, "");  // the waiting text no longer holds
    view.RunPending();            // the wait ends: nothing happens
    platform::PumpMessages(100ms);
    EXPECT_EQ(server->Accepted(), 1u);
    EXPECT_EQ(view.Pending(), 0u);

    // A wait that ends after the form has gone does nothing either.
    Tick(std::to_string(server->Port()));
    ASSERT_TRUE(PumpUntil([&] { return server->Accepted() == 2; }));
    server->CloseClients();
    ASSERT_TRUE(PumpUntil([&] { return view.Pending() == 1; }));
    form.reset();
    view.RunPending();
    EXPECT_EQ(server->Accepted(), 2u);
}

TEST_F(ClientFormTest, ReconnectRetriesAFailedLookupAndShowsItOnce) {
    ClientOptions options;
    options.reconnect = true;
    options.host = "no-such-host..invalid";
    Load(options);
    Tick(std::to_string(server->Port()));
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_TRUE(PumpUntil([&] { return view.Pending() == 1; })) << "attempt " << attempt;
        view.RunPending();
    }
    EXPECT_EQ(view.failures, (std::vector<std::string>{"Host 'no-such-host..invalid' not found (11001)"}));
    EXPECT_EQ(view.check, wlclientcore::kTicked);  // and it goes on trying
    EXPECT_EQ(view.delays, (std::vector<std::chrono::milliseconds>{1s, 2s, 4s}));
}

}  // namespace
