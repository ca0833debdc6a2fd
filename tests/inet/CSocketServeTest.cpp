// SPDX-License-Identifier: MIT
// Binding, listening and accepting.
#ifndef _WIN32
#include <sys/socket.h>
#endif

#include "platform/Winsock.h"
#include "tests/inet/SocketFixture.h"

namespace {

using inet::CSocket;
using inet::SocketProtocol;
using inet::SocketState;
using inet::Variant;
using namespace testsupport;
using namespace std::chrono_literals;

using Serving = SocketTest;

void ExpectError(const std::function<void()>& call, int32_t number, const std::string& source,
                 const std::string& description) {
    try {
        call();
        ADD_FAILURE() << "expected error " << number;
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), number);
        EXPECT_EQ(e.Source(), source);
        EXPECT_EQ(e.Description(), description);
    }
}

TEST_F(Serving, ListenOnPortZeroTakesAnEphemeralPort) {
    auto s = CSocket::Create();
    s->Listen();
    EXPECT_EQ(s->State(), SocketState::Listening);
    EXPECT_GT(LocalPortOf(s->SocketHandle()), 0);
    EXPECT_EQ(s->LocalPort(), LocalPortOf(s->SocketHandle())) << "the port it listens on";
    EXPECT_EQ(s->LocalIP(), "0.0.0.0") << "every interface";
    s->CloseSocket();
    EXPECT_EQ(s->State(), SocketState::Closed);
}

TEST_F(Serving, ConnectionRequestsAreAcceptedIntoNewObjects) {
    auto listener = CSocket::Create();
    EventLog log;
    log.Attach(*listener);
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    const int port = LocalPortOf(listener->SocketHandle());
    EXPECT_EQ(listener->LocalPort(), port);
    EXPECT_EQ(listener->LocalIP(), "127.0.0.1");

    // The first request is adopted; the second is left alone, and so closed.
    auto served = CSocket::Create();
    EventLog servedLog;
    servedLog.Attach(*served, /*take=*/true);
    listener->OnConnectionRequest = [&](int32_t id) {
        log.requests.push_back(id);
        if (log.requests.size() == 1) served->Accept(id);
    };
    const int a = RawConnect(port);
    ASSERT_TRUE(PumpUntil([&] { return log.requests.size() == 1; }));
    const int b = RawConnect(port);
    ASSERT_TRUE(PumpUntil([&] { return log.requests.size() == 2; }));
    EXPECT_EQ(listener->State(), SocketState::Listening);
    EXPECT_EQ(ReadSome(b, 1), "") << "a request nobody adopted is closed";

    EXPECT_EQ(served->State(), SocketState::Connected);
    EXPECT_EQ(served->SocketHandle(), log.requests[0]);
    EXPECT_EQ(served->LocalIP(), "127.0.0.1");
    EXPECT_EQ(served->LocalPort(), port);
    EXPECT_EQ(served->LocalHostName(), "127.0.0.1");
    EXPECT_EQ(served->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(served->RemoteHost(), "127.0.0.1");
    EXPECT_EQ(served->RemotePort(), LocalPortOf(a));
    EXPECT_EQ(served->Protocol(), SocketProtocol::Tcp);
    PumpFor(20ms);
    EXPECT_FALSE(servedLog.Has("Connect")) << "an accepted connection raises no connect event";

    WriteAll(a, "ping");
    ASSERT_TRUE(PumpUntil([&] { return servedLog.received == "ping"; }));
    served->SendData(std::string("pong"));
    EXPECT_EQ(ReadSome(a, 4), "pong");
    ASSERT_TRUE(PumpUntil([&] { return servedLog.Has("SendComplete"); }));

    RawClose(a);
    ASSERT_TRUE(PumpUntil([&] { return servedLog.Has("Close"); }));
    RawClose(b);
    listener->CloseSocket();
}

// Only a request waiting to be adopted can be accepted, and only once: an object
// never takes, or closes, a socket that is not its own.
TEST_F(Serving, AcceptTakesOnlyARequestStillWaiting) {
    auto listener = CSocket::Create();
    listener->Listen();
    auto owner = CSocket::Create();
    EventLog ownerLog;
    ownerLog.Attach(*owner, /*take=*/true);
    auto second = CSocket::Create();
    std::vector<int32_t> requests;
    listener->OnConnectionRequest = [&](int32_t id) {
        requests.push_back(id);
        owner->Accept(id);
        ExpectError([&] { second->Accept(id); }, 10022, "CSocket.Accept", "Invalid argument.");
    };
    const int client = RawConnect(LocalPortOf(listener->SocketHandle()));
    ASSERT_TRUE(PumpUntil([&] { return requests.size() == 1; }));
    EXPECT_EQ(owner->State(), SocketState::Connected);
    EXPECT_EQ(second->State(), SocketState::Closed);
    EXPECT_EQ(second->SocketHandle(), -1);
    ExpectError([&] { second->Accept(requests[0]); }, 10022, "CSocket.Accept", "Invalid argument.");
    ExpectError([&] { second->Accept(-1); }, 10038, "CSocket.Accept", "Socket operation on nonsocket.");
    second.reset();  // must neither unregister nor close the owner's socket
    WriteAll(client, "still here");
    ASSERT_TRUE(PumpUntil([&] { return ownerLog.received == "still here"; }));
    RawClose(client);
    ASSERT_TRUE(PumpUntil([&] { return ownerLog.Has("Close"); }));
    listener->CloseSocket();
}

TEST_F(Serving, AListenerAcceptingOntoItselfLetsItsListeningSocketGo) {
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s, /*take=*/true);
    s->OnConnectionRequest = [&](int32_t id) {
        log.requests.push_back(id);
        s->Accept(id);
    };
    s->Listen();
    const int port = LocalPortOf(s->SocketHandle());
    const int client = RawConnect(port);
    ASSERT_TRUE(PumpUntil([&] { return log.requests.size() == 1; }));
    EXPECT_EQ(s->SocketHandle(), log.requests[0]);
    EXPECT_EQ(s->State(), SocketState::Connected);
    const int late = RawConnect(port);
    EXPECT_EQ(late, -1) << "the listening socket must be closed, not left open with no owner";
    if (late != -1) RawClose(late);
    WriteAll(client, "served");
    EXPECT_TRUE(PumpUntil([&] { return log.received == "served"; }));
    RawClose(client);
}

TEST_F(Serving, BindErrors) {
    auto s = CSocket::Create();
    s->Bind(0, "127.0.0.1");
    ExpectError([&] { s->Bind(); }, 10022, "CSocket.Bind", "Invalid argument.");
    const int taken = LocalPortOf(s->SocketHandle());
    s->Listen();

    auto other = CSocket::Create();
    ExpectError([&] { other->Bind(taken, "127.0.0.1"); }, 10048, "CSocket.Bind", "Address already in use.");
    other->CloseSocket();
    ExpectError([&] { other->Bind(0, "255.255.255.255"); }, 10022, "CSocket.Bind", "Invalid argument.");
    other->CloseSocket();
    ExpectError([&] { other->Bind(0, "not.an.address"); }, 10022, "CSocket.Bind", "Invalid argument.");
    other->CloseSocket();
    auto third = CSocket::Create();
    third->SetLocalPort(70000);
    ExpectError([&] { third->Listen(); }, 6, "CSocket.Listen", "Overflow");
    third->CloseSocket();
    s->CloseSocket();
}

TEST_F(Serving, StoredPortAndAddressAreUsedAndKept) {
    const int port = ClosedPort();
    auto s = CSocket::Create();
    s->SetLocalPort(port);
    s->Bind(0, "");
    EXPECT_EQ(LocalPortOf(s->SocketHandle()), port);
    EXPECT_EQ(s->LocalPort(), port);
    s->Listen();  // already bound: no second bind
    EXPECT_EQ(s->State(), SocketState::Listening);
    s->CloseSocket();

    // A listener restarts at once on its port, even with a connection left in TIME_WAIT.
    auto again = CSocket::Create();
    again->SetLocalPort(port);
    again->Listen();
    const int client = RawConnect(port);
    auto served = CSocket::Create();
    again->OnConnectionRequest = [&](int32_t id) { served->Accept(id); };
    ASSERT_TRUE(PumpUntil([&] { return served->State() == SocketState::Connected; }));
    served->CloseSocket();  // we close first: our side keeps TIME_WAIT
    RawClose(client);
    PumpUntil([&] { return served->State() == SocketState::Closed; });
    again->CloseSocket();
    auto third = CSocket::Create();
    third->SetLocalPort(port);
    EXPECT_NO_THROW(third->Listen());
    third->CloseSocket();
}

TEST_F(Serving, ListenOnUdpFails) {
    auto s = CSocket::Create();
    s->SetProtocol(SocketProtocol::Udp);
    ExpectError([&] { s->Listen(); }, 10045, "CSocket.Listen", "Operation not supported.");
    EXPECT_EQ(s->State(), SocketState::Error);
    s->CloseSocket();
}

}  // namespace
