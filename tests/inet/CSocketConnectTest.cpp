// SPDX-License-Identifier: MIT
// Connecting: dotted addresses at once, names through an asynchronous lookup.
#ifndef _WIN32
#include <sys/socket.h>
#endif

#include <atomic>

#include "platform/Winsock.h"
#include "tests/inet/SocketFixture.h"

namespace {

using inet::CSocket;
using inet::SocketProtocol;
using inet::SocketState;
using inet::Variant;
using namespace testsupport;
namespace MS = inet::MSocketSupport;
using platform::testing::LookupAnswer;

class Connecting : public SocketTest {
protected:
    // The lookup completed and the connect went out. Windows may also complete a
    // loopback connection and post its notice within the same pump.
    static bool ConnectStarted(const CSocket& s) {
        return s.State() == SocketState::Connecting || s.State() == SocketState::Connected;
    }
    // A substitute resolver: names it knows resolve to 127.0.0.1 under an official name.
    void UseResolver(int delayMs = 0) {
        platform::testing::SetResolver([delayMs](const std::string& name) {
            LookupAnswer a;
            a.delayMs = delayMs;
            if (name == "remote.test" || name == "slow.test") {
                a.officialName = "official.remote.test";
                a.addresses = {htonl(INADDR_LOOPBACK), htonl(0x7F000002)};
            } else if (name == "other.test") {
                a.officialName = "other.test";
                a.addresses = {htonl(INADDR_LOOPBACK)};
            } else {
                a.error = 11001;
            }
            return a;
        });
    }
};

TEST_F(Connecting, DottedAddressConnectsAtOnceThenCompletes) {
    RawListener server;
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    s->SetRemoteHost("127.0.0.1");
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(s->SocketHandle(), -1) << "a TCP object makes no socket for its remote host";
    s->SetRemotePort(server.Port());
    s->Connect();
    EXPECT_EQ(s->State(), SocketState::Connecting);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return log.Has("Connect"); }));
    EXPECT_EQ(s->State(), SocketState::Connected);
    EXPECT_EQ(s->LocalIP(), "127.0.0.1");
    EXPECT_EQ(s->LocalPort(), LocalPortOf(s->SocketHandle()));
    EXPECT_EQ(s->LocalHostName(), "localhost");
    PumpFor(std::chrono::milliseconds(30));
    EXPECT_EQ(log.events, std::vector<std::string>{"Connect"}) << "the first write notification raises nothing";
    RawClose(peer);
    PumpUntil([&] { return log.Has("Close"); });
}

TEST_F(Connecting, LocalHostNameFallsBackToTheDottedAddress) {
    platform::testing::SetReverseResolver([](uint32_t) { return std::nullopt; });
    RawListener server;
    auto s = CSocket::Create();
    s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    const int peer = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Connected; }));
    EXPECT_EQ(s->LocalHostName(), "127.0.0.1");
    RawClose(peer);
    s->CloseSocket();
}

TEST_F(Connecting, WithoutRemoteHostRaises10049AndKeepsTheSocket) {
    auto s = CSocket::Create();
    try {
        s->Connect();
        FAIL();
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), 10049);
        EXPECT_EQ(e.Source(), "CSocket.CSocket.Connect");
        EXPECT_EQ(e.Description(), "Cannot assign requested address.");
    }
    EXPECT_NE(s->SocketHandle(), -1);
    EXPECT_EQ(s->State(), SocketState::Closed);
    s->CloseSocket();
}

TEST_F(Connecting, ArgumentsOverrideTheStoredHostAndPort) {
    UseResolver();
    const int closed = ClosedPort();
    auto s = CSocket::Create();
    s->SetRemotePort(closed);
    s->Connect("127.0.0.2", Variant(std::string("not a number")));
    EXPECT_EQ(s->RemoteHost(), "127.0.0.2");
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.2") << "the address the connection goes to";
    EXPECT_EQ(s->RemotePort(), closed) << "a text of letters is ignored";
    s->CloseSocket();

    struct Case { Variant port; int32_t expected; };
    const Case cases[] = {{Variant(2.5), 2},  {Variant(3.5), 4},  {Variant(std::string(" 8765 ")), 8765},
                          {Variant(std::string("1e3")), 1000}, {Variant(int16_t{7}), 7},
                          {Variant(inet::Currency{25000}), 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        auto t = CSocket::Create();
        t->SetProtocol(SocketProtocol::Tcp);
        t->Connect("remote.invalid", c.port);  // the name path checks no port
        EXPECT_EQ(t->RemotePort(), c.expected);
        t->CloseSocket();
    }
    PumpUntil([] { return MS::OutstandingLookupCount() == 0; });
}

TEST_F(Connecting, APortOutOfRangeOrZeroFailsAtOnceForANameAsForAnAddress) {
    UseResolver();
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    for (const std::string host : {"127.0.0.1", "remote.test"}) {
        SCOPED_TRACE(host);
        s->SetRemotePort(70000);
        try {
            s->Connect(host);
            ADD_FAILURE() << "a port of 70000 was taken";
        } catch (const inet::SocketError& e) {
            EXPECT_EQ(e.Number(), 6);
            EXPECT_EQ(e.Source(), "CSocket.CSocket.Connect");
        }
        // A port argument that is no number is ignored, and 0 is no port to connect to.
        s->SetRemotePort(0);
        try {
            s->Connect(host, Variant(std::string("http")));
            ADD_FAILURE() << "port 0 was taken";
        } catch (const inet::SocketError& e) {
            EXPECT_EQ(e.Number(), 10049);
            EXPECT_EQ(e.Source(), "CSocket.CSocket.Connect");
            EXPECT_EQ(e.Description(), "Cannot assign requested address.");
        }
        EXPECT_EQ(s->State(), SocketState::Closed);
        EXPECT_EQ(MS::OutstandingLookupCount(), 0) << "a lookup started for a port that cannot be used";
    }
    PumpFor(std::chrono::milliseconds(30));
    EXPECT_TRUE(log.events.empty());
    s->CloseSocket();
}

TEST_F(Connecting, LocalhostResolvesThenConnects) {
    RawListener server;
    auto s = CSocket::Create();
    std::vector<SocketState> seen;
    s->OnConnect = [&] { seen.push_back(s->State()); };
    s->Connect("localhost", Variant(int32_t{server.Port()}));
    EXPECT_EQ(s->State(), SocketState::ResolvingHost);
    ASSERT_TRUE(PumpUntil([&] { return s->State() != SocketState::ResolvingHost; }));
    // Windows may complete the loopback connection and post its notice within the same pump.
    if (!kOnWindows) {
        EXPECT_EQ(s->State(), SocketState::Connecting);
    }
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(s->RemoteHost(), "localhost");
    const int peer = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, std::vector<SocketState>{SocketState::Connected});
    RawClose(peer);
    s->CloseSocket();
}

TEST_F(Connecting, LookupGivesTheOfficialNameAndFirstAddress) {
    UseResolver();
    RawListener server;
    auto s = CSocket::Create();
    s->Connect("remote.test", Variant(int32_t{server.Port()}));
    ASSERT_TRUE(PumpUntil([&] { return ConnectStarted(*s); }));
    EXPECT_EQ(s->RemoteHost(), "official.remote.test");
    EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");
    const int peer = server.Accept();
    EXPECT_GE(peer, 0);
    RawClose(peer);
    s->CloseSocket();
}

TEST_F(Connecting, UnresolvableNameEndsInError) {
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    s->Connect("no-such-host..invalid", Variant(int32_t{80}));
    ASSERT_TRUE(PumpUntil([&] { return !log.events.empty(); }));
    EXPECT_EQ(log.events, std::vector<std::string>{"Error 11001 Host not found. []"});
    EXPECT_EQ(s->State(), SocketState::Error);
    EXPECT_NE(s->SocketHandle(), -1) << "the socket stays open";
    EXPECT_EQ(log.lastScode, 0);
    EXPECT_EQ(log.lastHelpFile, "");
    EXPECT_EQ(log.lastHelpContext, 0);
    EXPECT_FALSE(log.lastCancel);
    s->CloseSocket();
}

TEST_F(Connecting, OnlyTheLatestLookupConnects) {
    UseResolver(30);
    RawListener first, second;
    auto s = CSocket::Create();
    s->Connect("slow.test", Variant(int32_t{first.Port()}));
    s->Connect("other.test", Variant(int32_t{second.Port()}));
    ASSERT_TRUE(PumpUntil([&] { return ConnectStarted(*s); }));
    PumpUntil([] { return MS::OutstandingLookupCount() == 0; });
    EXPECT_EQ(s->RemoteHost(), "other.test");
    EXPECT_GE(second.Accept(), 0);
    EXPECT_EQ(first.Accept(std::chrono::milliseconds(100)), -1) << "the replaced lookup must not connect";
    s->CloseSocket();
}

// Connect and CloseSocket forget a lookup still running: its completion reaches
// nobody and changes nothing, whether it fails or succeeds.
TEST_F(Connecting, ALookupLeftBehindByConnectOrCloseChangesNothing) {
    platform::testing::SetResolver([](const std::string& name) {
        LookupAnswer a;
        a.delayMs = 30;
        if (name == "bad.test") {
            a.error = 11001;
        } else {
            a.officialName = "official." + name;
            a.addresses = {htonl(INADDR_LOOPBACK)};
        }
        return a;
    });
    RawListener server;
    for (const bool close : {false, true}) {
        for (const std::string name : {"bad.test", "good.test"}) {
            SCOPED_TRACE(name + (close ? " closed" : " replaced"));
            auto s = CSocket::Create();
            EventLog log;
            log.Attach(*s);
            s->Connect(name, Variant(int32_t{server.Port()}));
            if (close) s->CloseSocket();
            s->Connect("127.0.0.1");
            const int peer = server.Accept();
            ASSERT_TRUE(PumpUntil([&] { return log.Has("Connect"); }));
            ASSERT_TRUE(PumpUntil([] { return MS::OutstandingLookupCount() == 0; }));
            PumpFor(std::chrono::milliseconds(20));
            EXPECT_EQ(log.events, std::vector<std::string>{"Connect"});
            EXPECT_EQ(s->State(), SocketState::Connected);
            EXPECT_EQ(s->RemoteHost(), "127.0.0.1");
            EXPECT_EQ(s->RemoteHostIP(), "127.0.0.1");
            RawClose(peer);
            ASSERT_TRUE(PumpUntil([&] { return log.Has("Close"); }));
        }
    }
}

TEST_F(Connecting, CloseWhileResolvingEndsItAll) {
    UseResolver(20);
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    s->Connect("remote.test", Variant(int32_t{9}));
    s->CloseSocket();
    EXPECT_EQ(s->State(), SocketState::Closed);
    ASSERT_TRUE(PumpUntil([] { return MS::OutstandingLookupCount() == 0; }));
    PumpFor(std::chrono::milliseconds(20));
    EXPECT_TRUE(log.events.empty());
    EXPECT_EQ(s->State(), SocketState::Closed);
    EXPECT_EQ(s->RemoteHost(), "remote.test");
    EXPECT_EQ(MS::NotifyWindow(), platform::HWND{}) << "the window went with the lookup";
}

TEST_F(Connecting, ObjectEndingDuringItsLookupIsNeverCalledBack) {
    UseResolver(20);
    std::atomic<int> calls{0};
    {
        auto s = CSocket::Create();
        s->OnError = [&](int16_t, std::string&, int32_t, const std::string&, const std::string&, int32_t, bool&) {
            ++calls;
        };
        s->OnConnect = [&] { ++calls; };
        s->Connect("remote.test", Variant(int32_t{9}));
    }
    auto keeper = CSocket::Create();  // keeps the service up while the lookup finishes
    ASSERT_TRUE(PumpUntil([] { return MS::OutstandingLookupCount() == 0; }));
    PumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(calls, 0);
}

TEST_F(Connecting, RefusedLookupRequestDestroysTheSocket) {
    auto s = CSocket::Create();
    platform::testing::FailNextAsyncGetHostByName(10055);
    try {
        s->Connect("remote.test", Variant(int32_t{80}));
        FAIL();
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), 10055);
        EXPECT_EQ(e.Source(), "CSocket.CSocket.Connect");
        EXPECT_EQ(e.Description(), "No buffer space available.");
    }
    EXPECT_EQ(s->SocketHandle(), -1);
    EXPECT_EQ(s->State(), SocketState::ResolvingHost);

    // No memory for the lookup leaves no error behind; Connect still raises one.
    platform::testing::FailNextGlobalAlloc();
    try {
        s->Connect();
        FAIL();
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), 10055);
        EXPECT_EQ(e.Source(), "CSocket.CSocket.Connect");
    }
    EXPECT_EQ(s->SocketHandle(), -1);
}

TEST_F(Connecting, RefusedConnectionGivesErrorAndNoConnect) {
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    s->Connect("127.0.0.1", Variant(int32_t{ClosedPort()}));
    EXPECT_EQ(s->State(), SocketState::Connecting);
    ASSERT_TRUE(PumpUntil([&] { return !log.events.empty(); }));
    EXPECT_EQ(log.events, std::vector<std::string>{"Error 10061 Connection refused. []"});
    EXPECT_EQ(s->State(), SocketState::Error);
    EXPECT_EQ(s->SocketHandle(), -1);
    PumpFor(std::chrono::milliseconds(30));
    EXPECT_FALSE(log.Has("Connect"));
}

TEST_F(Connecting, ConnectAgainAfterFailureWithTheSameObject) {
    RawListener server;
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    s->Connect("127.0.0.1", Variant(int32_t{ClosedPort()}));
    ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Error; }));
    s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    const int peer = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return log.Has("Connect"); }));
    RawClose(peer);
    s->CloseSocket();
}

TEST_F(Connecting, BroadcastOptionFollowsRemoteHostOnUdp) {
    auto broadcastOf = [](int fd) {
        int32_t on = -1;
        int len = sizeof on;
        platform::getsockopt(fd, platform::SOL_SOCKET_W, platform::SO_BROADCAST_W, reinterpret_cast<char*>(&on), &len);
        return on;
    };
    auto s = CSocket::Create();
    s->SetProtocol(SocketProtocol::Udp);
    s->SetRemoteHost("192.168.1.255");
    ASSERT_NE(s->SocketHandle(), -1) << "a dotted address makes the UDP socket";
    EXPECT_EQ(broadcastOf(s->SocketHandle()), 1);
    s->SetRemoteHost("192.168.1.7");
    EXPECT_EQ(broadcastOf(s->SocketHandle()), 0);
    EXPECT_EQ(s->RemoteHostIP(), "192.168.1.7");
    s->SetRemoteHost("255.255.255.255");
    EXPECT_EQ(s->RemoteHost(), "255.255.255.255");
    EXPECT_EQ(s->RemoteHostIP(), "192.168.1.7") << "the all-ones address counts as a name";
    EXPECT_EQ(broadcastOf(s->SocketHandle()), 0);
    s->SetRemoteHost("");
    EXPECT_EQ(s->RemoteHost(), "");
    EXPECT_EQ(s->RemoteHostIP(), "192.168.1.7");
    s->CloseSocket();
}

}  // namespace
