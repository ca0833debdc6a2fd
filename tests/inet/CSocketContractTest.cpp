// SPDX-License-Identifier: MIT
// What a host may rely on: every byte handed over arrives or an error says why, and
// every failure reaches the host. One test per promise, on loopback.
#ifndef _WIN32
#include <sys/socket.h>
#endif

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "inet/cSocket/ClosingConnection.h"
#include "platform/MessageLoop.h"
#include "platform/Winsock.h"
#include "tests/inet/SocketFixture.h"

namespace {

using inet::CSocket;
using inet::SocketProtocol;
using inet::SocketState;
using inet::Variant;
using namespace testsupport;
using namespace std::chrono_literals;
namespace MS = inet::MSocketSupport;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

void ShrinkSendBuffer(CSocket& s) {
    const int small = 4096;
    platform::setsockopt(s.SocketHandle(), platform::SOL_SOCKET_W, platform::SO_SNDBUF_W,
                         reinterpret_cast<const char*>(&small), sizeof small);
}

void ExpectEndOfStream(int fd) {
    ASSERT_TRUE(RawReadable(fd, 1000ms)) << "the stream did not end";
    char next;
    EXPECT_EQ(RawRecv(fd, &next, 1), 0) << "the stream did not end";
}

class Contract : public ClientTest {
protected:
    // The bytes each OnSendProgress said went, in order.
    std::vector<std::pair<long, long>> Progress() const {
        std::vector<std::pair<long, long>> progress;
        for (const auto& e : log.events) {
            if (e.rfind("SendProgress ", 0) != 0) continue;
            const size_t space = e.find(' ', 13);
            progress.emplace_back(std::stol(e.substr(13, space - 13)), std::stol(e.substr(space + 1)));
        }
        return progress;
    }
};

// SendData appends to what still waits; OnSendProgress counts over that queue, and
// OnSendComplete comes once, when it is empty.
TEST_F(Contract, SendDataQueuesBehindWhatWaitsAndEveryByteGoesOnceInOrder) {
    ConnectClient();
    ShrinkSendBuffer(*s);
    const std::string payload = Pattern(2 << 20);
    s->SendData(std::string("HEAD"));  // taken whole: its completion is on its way
    s->SendData(payload);
    s->SendData(std::string("TAIL"));
    ASSERT_EQ(log.events.size(), 2u) << "what waits raises nothing more";
    // The limit of what may wait is on the whole queue: what would fit alone does not
    // fit behind what waits, and is refused whole.
    inet::detail::SetBufferLimitForTesting(payload.size());
    try {
        s->SendData(Pattern(payload.size() / 2));
        ADD_FAILURE() << "more was queued than the counts can tell";
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), 6);
        EXPECT_EQ(e.Source(), "CSocket.SendData");
    }
    inet::detail::SetBufferLimitForTesting(0);
    const std::string got = ReadSome(peer, payload.size() + 8, 20000ms);
    ASSERT_EQ(got.size(), payload.size() + 8);
    EXPECT_TRUE(got == "HEAD" + payload + "TAIL") << "bytes lost, repeated or out of order";
    ASSERT_TRUE(PumpUntil([&] { return log.Has("SendComplete"); }));
    PumpFor(20ms);
    EXPECT_EQ(log.Count("SendComplete"), 1);
    EXPECT_EQ(log.events.back(), "SendComplete");
    // bytesRemaining is what waits in the whole queue: what went and what waits add
    // up to what was handed over by then.
    const auto progress = Progress();
    ASSERT_GE(progress.size(), 3u);
    long sent = 0;
    for (size_t i = 0; i < progress.size(); ++i) {
        sent += progress[i].first;
        const size_t handed = i == 0 ? 4 : i == 1 ? 4 + payload.size() : 8 + payload.size();
        EXPECT_EQ(sent + progress[i].second, static_cast<long>(handed)) << i;
    }
    EXPECT_EQ(progress.back().second, 0);
}

// Datagrams that wait for their host's address go once it is known: in order, each
// whole.
TEST_F(Contract, DatagramsThatWaitGoInOrderEachWhole) {
    ResolveEveryNameToLoopback(20);
    const int receiver = RawSocket(SOCK_DGRAM);
    ASSERT_EQ(RawBind(receiver, LoopbackAddress(0)), 0);
    s = CSocket::Create();
    log.Attach(*s);
    s->SetProtocol(SocketProtocol::Udp);
    s->SetRemoteHost("peer.test");
    s->SetRemotePort(LocalPortOf(receiver));
    s->SendData(std::string("first"));
    s->SendData(std::string("second"));
    ASSERT_TRUE(PumpUntil([&] { return log.Has("SendComplete"); }));
    EXPECT_EQ(log.events, (std::vector<std::string>{"SendProgress 0 5", "SendProgress 5 6", "SendProgress 6 0",
                                                    "SendComplete"}));
    for (const std::string expected : {"first", "second"}) {
        char datagram[64];
        ASSERT_TRUE(RawReadable(receiver, 1000ms)) << expected << " never came";
        EXPECT_EQ(std::string(datagram, static_cast<size_t>(RawRecv(receiver, datagram, sizeof datagram))), expected);
    }
    EXPECT_FALSE(RawReadable(receiver, 50ms));
    RawClose(receiver);
    s->CloseSocket();
}

// A SendData that raises has sent nothing of its call, and never will.
TEST_F(Contract, ASendDataThatRaisesSendsNothingOfItsCall) {
    s = CSocket::Create();
    log.Attach(*s);
    s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    // Windows completes a loopback connection at once, before the loop hears of it, so
    // a send there may already go; the substitute connects only from the loop.
    if (!kOnWindows) {
        EXPECT_THROW(s->SendData(std::string("early")), inet::SocketError);
    }
    peer = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return log.Has("Connect"); }));
    PumpFor(20ms);
    s->SendData(std::string("x"));
    EXPECT_EQ(ReadSome(peer, 6, 200ms), "x");

    // After CloseSocket nothing more is taken, also while what waits still goes.
    ShrinkSendBuffer(*s);
    const std::string payload = Pattern(1 << 20);
    s->SendData(payload);
    s->CloseSocket();
    try {
        s->SendData(std::string("late"));
        ADD_FAILURE() << "a send after CloseSocket was taken";
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), 10058);
        EXPECT_EQ(e.Source(), "CSocket.SendData");
    }
    EXPECT_TRUE(ReadSome(peer, payload.size() + 4, 10000ms) == payload);
}

// CloseSocket sends what waits before the end of the stream; the object can start
// anew at once, and a connection it lets go of still gets what waited.
TEST_F(Contract, CloseSocketSendsWhatWaitsThenEndsTheStream) {
    ConnectClient();
    ShrinkSendBuffer(*s);
    const std::string payload = Pattern(2 << 20);
    s->SendData(payload);
    s->CloseSocket();
    EXPECT_EQ(s->State(), SocketState::Closing);
    EXPECT_TRUE(ReadSome(peer, payload.size() + 1, 20000ms) == payload) << "bytes lost before the end";
    ExpectEndOfStream(peer);
    ASSERT_TRUE(PumpUntil([&] { return log.Has("SendComplete"); }));
    RawClose(std::exchange(peer, -1));
    ASSERT_TRUE(PumpUntil([&] { return log.Has("Close"); }));
    EXPECT_FALSE(log.HasPrefix("Error"));

    // CloseSocket with bytes waiting, then Connect at once: the old peer still gets
    // them all and the end of its stream; the new connection is not "already connected".
    RawListener other;
    s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    const int first = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return log.Count("Connect") == 1; }));
    ShrinkSendBuffer(*s);
    s->SendData(payload);
    s->CloseSocket();
    s->Connect("127.0.0.1", Variant(int32_t{other.Port()}));
    peer = other.Accept();
    ASSERT_TRUE(PumpUntil([&] { return log.Count("Connect") == 2; }));
    EXPECT_EQ(s->State(), SocketState::Connected);
    EXPECT_TRUE(ReadSome(first, payload.size() + 1, 20000ms) == payload) << "the let-go connection lost bytes";
    ExpectEndOfStream(first);
    RawClose(first);
    WriteAll(peer, "new");
    ASSERT_TRUE(PumpUntil([&] { return s->BytesReceived() == 3; }));
    EXPECT_FALSE(log.HasPrefix("Error"));
}

// Bytes that CloseSocket still had to send and could not are reported: by the object
// while it keeps the connection, and by the closing connection it let go of when it
// started anew (the new connection goes on).
TEST_F(Contract, WhatAClosingConnectionCannotSendIsReported) {
    if (UnderWine()) GTEST_SKIP() << kWineResetIsGraceful;
    ConnectClient();
    ShrinkSendBuffer(*s);
    s->SendData(Pattern(2 << 20));
    s->CloseSocket();
    ResetClose(std::exchange(peer, -1));
    ASSERT_TRUE(PumpUntil([&] { return log.HasPrefix("Error"); }));
    EXPECT_EQ(log.events.back(), "Error 10054 Connection reset by peer. []");
    EXPECT_EQ(s->State(), SocketState::Error);

    s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    const int first = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Connected; }));
    ShrinkSendBuffer(*s);
    s->SendData(Pattern(2 << 20));
    s->CloseSocket();
    RawListener other;
    s->Connect("127.0.0.1", Variant(int32_t{other.Port()}));
    peer = other.Accept();
    ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Connected; }));
    log.events.clear();
    ResetClose(first);
    ASSERT_TRUE(PumpUntil([&] { return log.HasPrefix("Error"); }));
    EXPECT_EQ(log.events, std::vector<std::string>{"Error 10054 Connection reset by peer. [CSocket.CloseSocket]"});
    EXPECT_EQ(s->State(), SocketState::Connected) << "the new connection is not the one that failed";
    EXPECT_EQ(inet::detail::ClosingConnectionCount(), 0);
}

// What arrived stays readable after the connection ended, until the host takes it.
TEST_F(Contract, ReceivedBytesStayUntilTakenAfterTheEnd) {
    ConnectClient();
    const std::string sent = Pattern(1000);
    std::string taken;
    std::string atClose;
    int32_t countAtClose = -1;
    s->OnDataArrival = [&](int32_t) {
        Variant v;
        s->GetData(v, inet::VarType::String, 100);
        taken += std::get<std::string>(v);
    };
    s->OnClose = [&] {
        countAtClose = s->BytesReceived();
        Variant v;
        s->GetData(v);
        if (const auto* text = std::get_if<std::string>(&v)) atClose = *text;
    };
    WriteAll(peer, sent);
    RawClose(std::exchange(peer, -1));
    ASSERT_TRUE(PumpUntil([&] { return countAtClose >= 0; }));
    EXPECT_EQ(countAtClose, static_cast<int32_t>(atClose.size()));
    EXPECT_TRUE(taken + atClose == sent) << taken.size() << " + " << atClose.size();

    if (UnderWine()) GTEST_SKIP() << kWineResetIsGraceful;
    // After a reset too, and until the object starts on a new connection.
    s->OnDataArrival = nullptr;
    s->OnClose = nullptr;
    s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    peer = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Connected; }));
    const std::string more = Pattern(200000);
    WriteAll(peer, more);
    ASSERT_TRUE(PumpUntil([&] { return s->BytesReceived() == static_cast<int32_t>(more.size()); }));
    ResetClose(std::exchange(peer, -1));
    ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Error; }));
    EXPECT_EQ(s->BytesReceived(), static_cast<int32_t>(more.size()));
    Variant v;
    s->PeekData(v);
    EXPECT_TRUE(std::get<std::string>(v) == more);
    s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    EXPECT_EQ(s->BytesReceived(), 0) << "a new connection starts empty";
    peer = server.Accept();
}

// A send that fails ends the connection as a reset would: one event, and the socket
// goes. Here the peer has gone: the first send after its close is answered with a
// reset, and the second fails.
TEST_F(Contract, AFailedSendEndsTheConnectionWithOneEvent) {
    if (UnderWine()) GTEST_SKIP() << kWineResetIsGraceful;
    ConnectClient();
    RawClose(std::exchange(peer, -1));
    ASSERT_TRUE(RawReadable(s->SocketHandle(), 1000ms));  // the close has come; the loop has not heard of it
    s->SendData(std::string("first"));
    std::this_thread::sleep_for(100ms);  // for the peer's reset to come back
    try {
        s->SendData(std::string("second"));
        ADD_FAILURE() << "a send to a connection that was reset went";
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), 10054);
        EXPECT_EQ(e.Source(), "CSocket.SendData");
    }
    EXPECT_TRUE(PumpUntil([&] { return s->State() == SocketState::Error; }, 2000ms)) << "a dead socket is held";
    PumpFor(30ms);
    EXPECT_EQ(log.events, (std::vector<std::string>{"SendProgress 5 0", "SendComplete",
                                                    "Error 10054 Connection reset by peer. []"}));
    EXPECT_EQ(s->SocketHandle(), -1);
}

// A line server whose clients each send a line and leave at once: every departure is
// an event, and nothing is left open, though the server writes to clients that left.
TEST_F(Contract, AServerSeesEveryClientLeave) {
    constexpr int kClients = 50;
    auto listener = CSocket::Create();
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
#ifndef _WIN32
    const int descriptors = OpenDescriptors();
#endif
    std::vector<std::shared_ptr<CSocket>> clients;
    int departures = 0;
    const auto leave = [&](CSocket* gone) {
        ++departures;
        std::erase_if(clients, [&](const auto& c) { return c.get() == gone; });
    };
    listener->OnConnectionRequest = [&](int32_t id) {
        auto c = CSocket::Create();
        CSocket* self = c.get();
        c->OnDataArrival = [&, self](int32_t) {
            Variant line;
            self->GetData(line);
            for (const auto& other : std::vector(clients)) {
                try {
                    other->SendData(line);
                } catch (const inet::SocketError&) {
                    // It left: its departure comes as an event.
                }
            }
        };
        c->OnClose = [&, self] { leave(self); };
        c->OnError = [&, self](int16_t, std::string&, int32_t, const std::string&, const std::string&, int32_t,
                              bool&) { leave(self); };
        c->Accept(id);
        clients.push_back(std::move(c));
    };
    const int port = LocalPortOf(listener->SocketHandle());
    // All connect first; then each says its line and leaves before the server has
    // heard of any of it, so the server writes to clients that have gone.
    std::vector<int> raw;
    for (int i = 0; i < kClients; ++i) {
        raw.push_back(RawConnect(port));
        ASSERT_GE(raw.back(), 0);
        ASSERT_TRUE(PumpUntil([&] { return clients.size() == raw.size(); }));
    }
    for (int i = 0; i < kClients; ++i) {
        WriteAll(raw[static_cast<size_t>(i)], "line " + std::to_string(i) + "\n");
        RawClose(raw[static_cast<size_t>(i)]);
    }
    EXPECT_TRUE(PumpUntil([&] { return departures == kClients; }, 10000ms)) << departures << " of " << kClients;
    EXPECT_TRUE(clients.empty());
    EXPECT_EQ(MS::RegisteredSocketCount(), 1) << "only the listener is left";
#ifndef _WIN32
    EXPECT_EQ(OpenDescriptors(), descriptors);
#endif
}

// What a host's handler throws leaves the pump as it was thrown, once the object is
// in order; the loop can be pumped again and goes on from there.
TEST_F(Contract, ExceptionsFromHandlersLeaveThePump) {
    struct Thrown : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    // Pumps until `done`, catching what the pump lets out: how many of each.
    int thrown = 0;
    std::vector<inet::SocketError> errors;
    const auto pumpUntil = [&](const std::function<bool()>& done) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (!done() && std::chrono::steady_clock::now() < until) {
            try {
                platform::PumpMessages(10ms);
            } catch (const Thrown&) {
                ++thrown;
            } catch (const inet::SocketError& e) {
                errors.push_back(e);
            }
        }
        return done();
    };
    ConnectClient();
    bool closed = false;
    s->OnDataArrival = [&](int32_t) { throw Thrown("from the handler"); };
    s->OnClose = [&] { closed = true; };
    WriteAll(peer, "abc");
    ASSERT_TRUE(pumpUntil([&] { return thrown == 1; }));
    EXPECT_EQ(s->BytesReceived(), 3) << "what arrived is kept";
    // A close cut short by a throw while it hands over the last data is taken up again.
    WriteAll(peer, "def");
    RawClose(std::exchange(peer, -1));
    ASSERT_TRUE(pumpUntil([&] { return closed; }));
    EXPECT_GE(thrown, 2);
    Variant v;
    s->GetData(v);
    EXPECT_EQ(v, Variant(std::string("abcdef")));

    // A request whose handler threw is closed all the same.
    auto listener = CSocket::Create();
    listener->OnConnectionRequest = [&](int32_t) { throw Thrown("no thanks"); };
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    const int client = RawConnect(LocalPortOf(listener->SocketHandle()));
    ASSERT_TRUE(pumpUntil([&] { return thrown == 3; }));
    EXPECT_EQ(ReadSome(client, 1, 1000ms), "");
    RawClose(client);

    // A host operation's error that a handler lets out leaves as it was raised.
    auto c = CSocket::Create();
    c->OnConnect = [&] {
        c->SetRemotePort(70000);
        c->Connect();
    };
    c->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    peer = server.Accept();
    ASSERT_TRUE(pumpUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors[0].Number(), 6);
    EXPECT_EQ(errors[0].Source(), "CSocket.CSocket.Connect");
    EXPECT_EQ(c->State(), SocketState::Connected);
    c->CloseSocket();
}

// LocalPort and LocalIP tell the address in use once the socket has one; RemoteHostIP
// the address connected to, given as a name or not.
TEST_F(Contract, AddressesAreThoseInUse) {
    auto u = CSocket::Create();
    u->SetProtocol(SocketProtocol::Udp);
    const int receiver = RawSocket(SOCK_DGRAM);
    ASSERT_EQ(RawBind(receiver, LoopbackAddress(0)), 0);
    u->SetRemoteHost("127.0.0.1");
    u->SetRemotePort(LocalPortOf(receiver));
    u->SendData(std::string("hello"));  // binds the socket
    EXPECT_GT(u->LocalPort(), 0);
    EXPECT_EQ(u->LocalPort(), LocalPortOf(u->SocketHandle()));
    EXPECT_EQ(u->LocalIP(), "0.0.0.0");
    u->CloseSocket();
    RawClose(receiver);

    auto b = CSocket::Create();
    b->Bind(0, "127.0.0.1");
    EXPECT_EQ(b->LocalPort(), LocalPortOf(b->SocketHandle()));
    EXPECT_EQ(b->LocalIP(), "127.0.0.1");
    b->CloseSocket();

    for (const std::string host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        s = CSocket::Create();
        std::string inConnect;
        s->OnConnect = [&] { inConnect = s->RemoteHostIP(); };
        s->Connect(host, Variant(int32_t{server.Port()}));
        peer = server.Accept();
        ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Connected; }));
        EXPECT_EQ(inConnect, "127.0.0.1");
        EXPECT_EQ(s->LocalPort(), LocalPortOf(s->SocketHandle()));
        RawClose(std::exchange(peer, -1));
        ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Closed; }));
    }
}

}  // namespace
