// SPDX-License-Identifier: MIT
// The socket object's properties, its socket handle and its own lifetime.
#ifndef _WIN32
#include <sys/socket.h>
#endif

#include "platform/Winsock.h"
#include "tests/inet/SocketFixture.h"

namespace {

using inet::CSocket;
using inet::SocketProtocol;
using inet::SocketState;
using namespace testsupport;
namespace MS = inet::MSocketSupport;

using Lifetime = SocketTest;

int32_t TypeOf(platform::SOCKET s) {
    int32_t type = 0;
    int len = sizeof type;
    platform::getsockopt(s, platform::SOL_SOCKET_W, platform::SO_TYPE_W, reinterpret_cast<char*>(&type), &len);
    return type;
}

TEST(SocketNames, StatesAndProtocolsPrintByNameAndUnlistedValuesByNumber) {
    EXPECT_EQ(::testing::PrintToString(SocketState::Closing), "Closing");
    EXPECT_EQ(::testing::PrintToString(SocketState::ResolvingHost), "ResolvingHost");
    EXPECT_EQ(::testing::PrintToString(static_cast<SocketState>(3)), "3");
    EXPECT_EQ(::testing::PrintToString(SocketProtocol::Udp), "Udp");
    EXPECT_EQ(::testing::PrintToString(static_cast<SocketProtocol>(2)), "2");
}

TEST_F(Lifetime, NewObjectHasItsDefaults) {
    auto s = CSocket::Create();
    EXPECT_EQ(s->State(), SocketState::Closed);
    EXPECT_EQ(s->SocketHandle(), -1);
    EXPECT_EQ(s->Protocol(), SocketProtocol::Tcp);
    EXPECT_EQ(s->RemotePort(), 0);
    EXPECT_EQ(s->LocalPort(), 0);
    EXPECT_EQ(s->BytesReceived(), 0);
    EXPECT_EQ(s->RemoteHost(), "");
    EXPECT_EQ(s->RemoteHostIP(), "");
    EXPECT_EQ(s->LocalIP(), "");
    EXPECT_EQ(s->LocalHostName(), "");
    EXPECT_TRUE(MS::WinsockStarted());
}

TEST_F(Lifetime, ProtocolChangesOnlyWithoutSocket) {
    auto s = CSocket::Create();
    s->SetProtocol(SocketProtocol::Udp);
    EXPECT_EQ(s->Protocol(), SocketProtocol::Udp);
    s->SetRemoteHost("127.0.0.1");  // a dotted address makes a UDP socket at once
    ASSERT_NE(s->SocketHandle(), -1);
    s->SetProtocol(SocketProtocol::Tcp);
    EXPECT_EQ(s->Protocol(), SocketProtocol::Udp);
    EXPECT_EQ(TypeOf(s->SocketHandle()), SOCK_DGRAM);
    s->CloseSocket();
}

TEST_F(Lifetime, UnlistedProtocolMakesAStreamSocketSizedLikeDatagrams) {
    RawListener server;
    auto s = CSocket::Create();
    s->SetProtocol(static_cast<SocketProtocol>(2));
    s->Connect("127.0.0.1", inet::Variant(int32_t{server.Port()}));
    EXPECT_EQ(TypeOf(s->SocketHandle()), SOCK_STREAM);
    s->CloseSocket();
}

TEST_F(Lifetime, PortsAreStoredUncheckedAndCheckedWhenUsed) {
    auto s = CSocket::Create();
    s->SetRemotePort(70000);
    s->SetLocalPort(-5);
    EXPECT_EQ(s->RemotePort(), 70000);
    EXPECT_EQ(s->LocalPort(), -5);
    s->SetRemoteHost("127.0.0.1");
    try {
        s->Connect();
        FAIL() << "a port of 70000 must not be used";
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), 6);
        EXPECT_EQ(e.Source(), "CSocket.CSocket.Connect");
        EXPECT_EQ(e.Description(), "Overflow");
    }
    s->CloseSocket();
}

TEST_F(Lifetime, CloseSocketWithoutSocketDoesNothing) {
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    s->CloseSocket();
    EXPECT_EQ(s->State(), SocketState::Closed);
    EXPECT_EQ(s->SocketHandle(), -1);
    EXPECT_TRUE(log.events.empty());
}

TEST_F(Lifetime, CloseSocketWhileConnectedWaitsForThePeer) {
    RawListener server;
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    s->Connect("127.0.0.1", inet::Variant(int32_t{server.Port()}));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Connected; }));

    s->CloseSocket();
    EXPECT_EQ(s->State(), SocketState::Closing);
    EXPECT_NE(s->SocketHandle(), -1);
    EXPECT_EQ(ReadSome(peer, 1), "") << "the peer sees our end of sending";
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(s->State(), SocketState::Closing);
    EXPECT_FALSE(log.Has("Close"));

    RawClose(peer);
    ASSERT_TRUE(PumpUntil([&] { return log.Has("Close"); }));
    EXPECT_EQ(s->State(), SocketState::Closed);
    EXPECT_EQ(s->SocketHandle(), -1);
}

TEST_F(Lifetime, CloseSocketInOtherStatesClosesAtOnce) {
    RawListener server;
    for (const bool listening : {false, true}) {
        SCOPED_TRACE(listening ? "listening" : "connecting");
        auto s = CSocket::Create();
        EventLog log;
        log.Attach(*s);
        if (listening) {
            s->Listen();
            EXPECT_EQ(s->State(), SocketState::Listening);
        } else {
            s->Connect("127.0.0.1", inet::Variant(int32_t{server.Port()}));
            EXPECT_EQ(s->State(), SocketState::Connecting);
        }
        s->CloseSocket();
        EXPECT_EQ(s->State(), SocketState::Closed);
        EXPECT_EQ(s->SocketHandle(), -1);
        PumpFor(std::chrono::milliseconds(30));
        EXPECT_TRUE(log.events.empty()) << "closing raises nothing, and nothing stale arrives";
    }
}

TEST_F(Lifetime, EndingAnObjectClosesItsSocketWithoutEvents) {
    RawListener server;
    auto s = CSocket::Create();
    s->Connect("127.0.0.1", inet::Variant(int32_t{server.Port()}));
    const int peer = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Connected; }));
    EXPECT_EQ(MS::RegisteredSocketCount(), 1);
    s.reset();
    EXPECT_EQ(MS::RegisteredSocketCount(), 0);
    EXPECT_EQ(MS::NotifyWindow(), platform::HWND{});
    EXPECT_FALSE(MS::WinsockStarted());
    EXPECT_EQ(ReadSome(peer, 1), "");
    RawClose(peer);
}

TEST_F(Lifetime, ServiceStopsOnlyWhenNoObjectLivesAndNothingIsRegistered) {
    // No peer is needed, and none is made: on Windows a peer's own start-up would keep
    // the service up for the whole process.
    constexpr int32_t kDiscardPort = 9;
    auto a = CSocket::Create();
    auto b = CSocket::Create();
    // A has a socket: B's end leaves the service running.
    a->Connect("127.0.0.1", inet::Variant(kDiscardPort));
    b.reset();
    EXPECT_TRUE(MS::WinsockStarted());
    a->CloseSocket();

    // Neither has one: B's end leaves it running all the same, for A still lives.
    b = CSocket::Create();
    b.reset();
    EXPECT_TRUE(MS::WinsockStarted());
    a->Connect("127.0.0.1");
    EXPECT_NE(a->SocketHandle(), -1);
    a->CloseSocket();
    a.reset();  // the last object: now it stops
    EXPECT_FALSE(MS::WinsockStarted());
}

TEST_F(Lifetime, CreationFailsWhenTheServiceCannotStart) {
    platform::testing::FailNextStartup(10091);
    try {
        CSocket::Create();
        FAIL() << "creation must fail";
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), 10091);
        EXPECT_EQ(e.Source(), "MSocketSupport.InitWinsockService");
        EXPECT_EQ(e.Description(), "The underlying network subsystem is not ready for network communication.");
    }
    EXPECT_FALSE(MS::WinsockStarted());
    EXPECT_NO_THROW(CSocket::Create());
}

TEST_F(Lifetime, FailedRegistrationRaisesItsReasonAndLeavesNoSocket) {
    auto s = CSocket::Create();
    const auto expectRaise = [&](int32_t number, const std::string& description) {
        try {
            s->Connect();
            ADD_FAILURE() << "a socket that cannot be made went unreported";
        } catch (const inet::SocketError& e) {
            EXPECT_EQ(e.Number(), number);
            EXPECT_EQ(e.Source(), "CSocket.CSocket.Connect");
            EXPECT_EQ(e.Description(), description);
        }
        EXPECT_EQ(s->SocketHandle(), -1);
        EXPECT_EQ(MS::RegisteredSocketCount(), 0);
    };
    s->SetRemoteHost("127.0.0.1");
    s->SetRemotePort(1);
    platform::testing::FailNextAsyncSelect(10055);
    expectRaise(10055, "No buffer space available.");
    platform::testing::FailNextWindowCreation();
    expectRaise(10004, "The operation was canceled.");
}

// A handler may drop the host's last reference; the object lives until the event is over.
TEST_F(Lifetime, HandlerMayDropTheLastReference) {
    RawListener server;
    auto s = CSocket::Create();
    std::weak_ptr<CSocket> weak = s;
    int events = 0;
    s->OnConnect = [&] {
        ++events;
        s.reset();  // the host lets go from inside the event
    };
    s->Connect("127.0.0.1", inet::Variant(int32_t{server.Port()}));
    const int peer = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }));
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(ReadSome(peer, 1), "") << "the ended object closed its socket";
    RawClose(peer);
}

}  // namespace
