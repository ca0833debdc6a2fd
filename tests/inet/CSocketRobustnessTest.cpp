// SPDX-License-Identifier: MIT
// How the socket object holds up when used the way event-driven socket users stress
// such components: foreign handles, nested loops, running out of descriptors.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <vector>

#include "inet/cSocket/BufferLimit.h"
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

using Robustness = SocketTest;
using inet::ByteArray;
using inet::detail::SetBufferLimitForTesting;
namespace MS = inet::MSocketSupport;
using platform::testing::FailSystemCall;
using platform::testing::SystemCall;

// A client object connected to a plain peer.
struct Connected {
    explicit Connected(RawListener& server) {
        s = CSocket::Create();
        log.Attach(*s, /*take=*/true);
        s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
        peer = server.Accept();
        EXPECT_TRUE(PumpUntil([&] { return log.Has("Connect"); }));
    }
    ~Connected() {
        ::close(peer);
        PumpUntil([&] { return s->SocketHandle() == -1; });
    }
    std::shared_ptr<CSocket> s;
    EventLog log;
    int peer = -1;
};

// Takes text from the object's buffer: everything, or at most maxLen bytes.
std::string Take(CSocket& s, std::optional<int32_t> maxLen = std::nullopt) {
    Variant v;
    s.GetData(v, 8, maxLen);
    return std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : std::string();
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

bool Readable(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(limit.count())) == 1;
}

// A socket made outside the component is its maker's: no object adopts it, and so
// none can close it.
TEST_F(Robustness, ASocketMadeElsewhereIsNeverAdopted) {
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = LoopbackAddress(0);
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    {
        auto s = CSocket::Create();
        try {
            s->Accept(udp);
            ADD_FAILURE() << "a foreign socket was adopted";
        } catch (const inet::SocketError& e) {
            EXPECT_EQ(e.Number(), 10022);
            EXPECT_EQ(e.Source(), "CSocket.Accept");
        }
        EXPECT_EQ(s->SocketHandle(), -1);
        EXPECT_EQ(MS::RegisteredSocketCount(), 0);
    }
    EXPECT_EQ(::fcntl(udp, F_GETFD), FD_CLOEXEC) << "the object closed a socket it did not own";
    ::close(udp);
}

TEST_F(Robustness, TheLoopDescriptorIsReadableExactlyWhileWorkWaitsEvenInsideAHandler) {
    RawListener server;
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    const int peer = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return log.Has("Connect"); }));
    PumpFor(20ms);
    EXPECT_FALSE(Readable(platform::MessageLoopFd(), 0ms)) << "readable with nothing to do";

    bool readableInside = false, completedInside = false;
    s->OnDataArrival = [&](int32_t) {
        Variant v;
        s->GetData(v);
        s->SendData(std::string("ack"));
        // A host running a nested loop here (a modal dialog) waits on the descriptor.
        readableInside = Readable(platform::MessageLoopFd(), 200ms);
        platform::PumpMessages(0ms);
        completedInside = log.Has("SendComplete");
    };
    ASSERT_TRUE(WriteAll(peer, "ping"));
    ASSERT_TRUE(PumpUntil([&] { return completedInside; }, 2s));
    EXPECT_TRUE(readableInside) << "the send's completion waited unseen";
    EXPECT_EQ(ReadSome(peer, 3), "ack");
    PumpFor(20ms);
    EXPECT_FALSE(Readable(platform::MessageLoopFd(), 0ms)) << "readable with nothing to do";
    ::close(peer);
    ASSERT_TRUE(PumpUntil([&] { return log.Has("Close"); }));
}

TEST_F(Robustness, FailedReceivesAndSendsSurfaceAndLoseNothing) {
    RawListener server;
    Connected c(server);
    // A receive refused for want of memory takes nothing; the data comes with the next try.
    FailSystemCall(SystemCall::Recv, ENOMEM);
    ASSERT_TRUE(WriteAll(c.peer, "first"));
    EXPECT_TRUE(PumpUntil([&] { return c.log.received == "first"; }, 2s));
    // Interrupted calls are made again.
    FailSystemCall(SystemCall::Recv, EINTR, 3);
    ASSERT_TRUE(WriteAll(c.peer, "second"));
    EXPECT_TRUE(PumpUntil([&] { return c.log.received == "firstsecond"; }, 2s));
    FailSystemCall(SystemCall::Send, EINTR, 3);
    c.s->SendData(std::string("one"));
    EXPECT_EQ(ReadSome(c.peer, 3), "one");
    // A send refused for want of buffers is the host's error, and the next one goes.
    FailSystemCall(SystemCall::Send, ENOBUFS);
    try {
        c.s->SendData(std::string("lost"));
        ADD_FAILURE() << "the refused send was reported as sent";
    } catch (const inet::SocketError& e) {
        EXPECT_EQ(e.Number(), 10055);
        EXPECT_EQ(e.Source(), "CSocket.SendData");
        EXPECT_EQ(e.Description(), "No buffer space available.");
    }
    c.s->SendData(std::string("two"));
    EXPECT_EQ(ReadSome(c.peer, 3), "two");
    // The refused receive was told too, and the connection went on.
    EXPECT_EQ(c.log.Count("Error 10055 No buffer space available. [CSocket.PostSocketEvent]"), 1);
    EXPECT_EQ(c.s->State(), SocketState::Connected);
}

TEST_F(Robustness, ASocketThatCannotBeWatchedEndsWithAnError) {
    RawListener server;
    {
        // Watching the connect under way fails: the owner hears of it, nothing waits forever.
        auto s = CSocket::Create();
        EventLog log;
        log.Attach(*s);
        FailSystemCall(SystemCall::EpollCtl, ENOMEM);
        s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
        EXPECT_TRUE(PumpUntil([&] { return log.Has("Error 10055 No buffer space available. []"); }, 2s));
        EXPECT_EQ(s->State(), SocketState::Error);
        EXPECT_EQ(s->SocketHandle(), -1);
        const int accepted = server.Accept(200ms);
        if (accepted >= 0) ::close(accepted);
    }
    {
        // So does a connected one that cannot be watched for the room to send the rest.
        Connected c(server);
        FailSystemCall(SystemCall::EpollCtl, ENOMEM);
        c.s->SendData(std::string(16 << 20, 'x'));  // more than the socket buffers take
        EXPECT_TRUE(PumpUntil([&] { return c.log.HasPrefix("Error 10055"); }, 2s));
        EXPECT_EQ(c.s->SocketHandle(), -1);
    }
    EXPECT_EQ(inet::MSocketSupport::RegisteredSocketCount(), 0);
}

TEST_F(Robustness, SocketsThatCannotBeMadeRaiseWhyAndLeaveNothingBehind) {
    RawListener server;
    const int descriptors = OpenDescriptors();
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    auto u = CSocket::Create();
    u->SetProtocol(SocketProtocol::Udp);
    u->SetRemotePort(9);
    // Every operation that needs a socket and cannot make one says why, as its own.
    struct Case { int error; int32_t number; const char* description; };
    const Case cases[] = {{EMFILE, 10024, "Too many open files."},
                          {ENOBUFS, 10055, "No buffer space available."},
                          {ENOMEM, 10055, "No buffer space available."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        const std::pair<const char*, std::function<void()>> operations[] = {
            {"CSocket.CSocket.Connect", [&] { s->Connect("127.0.0.1", Variant(int32_t{server.Port()})); }},
            {"CSocket.Listen", [&] { s->Listen(); }},
            {"CSocket.Bind", [&] { s->Bind(0, "127.0.0.1"); }},
            {"CSocket.SendData", [&] { u->SendData(std::string("x")); }},
            {"CSocket.RemoteHost", [&] { u->SetRemoteHost("127.0.0.1"); }},
        };
        for (const auto& [source, operation] : operations) {
            FailSystemCall(SystemCall::Socket, c.error);
            try {
                operation();
                ADD_FAILURE() << source << " went on without a socket";
            } catch (const inet::SocketError& e) {
                EXPECT_EQ(e.Number(), c.number);
                EXPECT_EQ(e.Source(), source);
                EXPECT_EQ(e.Description(), c.description);
            }
        }
        EXPECT_EQ(s->SocketHandle(), -1);
        EXPECT_EQ(u->SocketHandle(), -1);
        EXPECT_EQ(s->State(), SocketState::Closed);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    FailSystemCall(SystemCall::Socket, EINTR);
    s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    const int peer = server.Accept();
    EXPECT_TRUE(PumpUntil([&] { return log.Has("Connect"); }));

    // An accept refused for want of memory is one failed request; the client is served after.
    auto listener = CSocket::Create();
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    std::vector<int32_t> requests;
    auto served = CSocket::Create();
    listener->OnConnectionRequest = [&](int32_t id) {
        requests.push_back(id);
        if (id != -1) served->Accept(id);
    };
    FailSystemCall(SystemCall::Accept, ENOBUFS);
    const int client = RawConnect(LocalPortOf(listener->SocketHandle()));
    ASSERT_TRUE(PumpUntil([&] { return requests.size() == 2; }, 3s));
    EXPECT_EQ(requests[0], -1);
    EXPECT_GE(requests[1], 0);
    EXPECT_EQ(served->State(), SocketState::Connected);
    served.reset();
    ::close(client);
    ::close(peer);
    EXPECT_TRUE(PumpUntil([&] { return log.Has("Close"); }));
}

// The process out of descriptors until Release: the limit is lowered and what is left
// under it is filled.
class DescriptorsExhausted {
public:
    DescriptorsExhausted() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lower = saved_;
        lower.rlim_cur = static_cast<rlim_t>(HighestDescriptor() + 16);
        ::setrlimit(RLIMIT_NOFILE, &lower);
        for (int fd; (fd = ::fcntl(0, F_DUPFD_CLOEXEC, 0)) >= 0;) fillers_.push_back(fd);
        error_ = errno;
    }
    ~DescriptorsExhausted() {
        Release();
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    int Error() const { return error_; }
    void Release() {
        for (const int fd : fillers_) ::close(fd);
        fillers_.clear();
    }

private:
    static int HighestDescriptor() {
        int highest = 0;
        for (int fd = 0; fd < 4096; ++fd) {
            if (::fcntl(fd, F_GETFD) >= 0) highest = fd;
        }
        return highest;
    }
    rlimit saved_{};
    std::vector<int> fillers_;
    int error_ = 0;
};

TEST_F(Robustness, AListenerOutOfDescriptorsRestsAndServesTheWaitingClientsLater) {
    auto listener = CSocket::Create();
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
    const int port = LocalPortOf(listener->SocketHandle());
    int failed = 0;
    std::vector<std::shared_ptr<CSocket>> accepted;
    listener->OnConnectionRequest = [&](int32_t id) {
        if (id == -1) {
            ++failed;
        } else {
            accepted.push_back(CSocket::Create());
            accepted.back()->Accept(id);
        }
    };
    // One client served first (which also lets the sanitizers see the handlers' types
    // while they can still open what they need).
    std::vector<int> clients{RawConnect(port)};
    ASSERT_TRUE(PumpUntil([&] { return accepted.size() == 1; }));
    constexpr int kClients = 5;  // what the listen backlog holds
    for (int i = 0; i < kClients; ++i) clients.push_back(RawConnect(port));

    {
        DescriptorsExhausted exhausted;
        ASSERT_EQ(exhausted.Error(), EMFILE);
        int dispatched = 0;
        const auto until = std::chrono::steady_clock::now() + 600ms;
        while (std::chrono::steady_clock::now() < until) dispatched += platform::PumpMessages(50ms);
        EXPECT_GE(failed, 1) << "the failed accept is reported";
        EXPECT_LE(failed, 3) << "failed requests without end";
        EXPECT_LE(dispatched, 10) << "the listener spins";
        EXPECT_EQ(accepted.size(), 1u);

        exhausted.Release();  // closed outside the layer: the listener finds out by itself
        EXPECT_TRUE(PumpUntil([&] { return accepted.size() == 1 + kClients; }, 3s))
            << accepted.size() << " of the waiting clients were served";
    }
    EXPECT_EQ(listener->State(), SocketState::Listening);
    accepted.clear();
    for (const int fd : clients) ::close(fd);
}

}  // namespace

namespace {

// A host that leaves data in the buffer: the buffer stops at the limit, so every count
// stays a Long; reading goes on by itself once the host takes data; and a close that
// comes while data still waits in the socket is delivered only after all of it.
TEST_F(Robustness, AFullReceiveBufferPausesReadingUntilTheHostTakesData) {
    constexpr int32_t kLimit = 8192;
    SetBufferLimitForTesting(kLimit);
    RawListener server;
    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    std::vector<int32_t> totals;
    bool takeAll = false;
    std::string got;
    s->OnDataArrival = [&](int32_t total) {
        totals.push_back(total);
        if (takeAll) got += Take(*s);
    };
    s->Connect("127.0.0.1", Variant(int32_t{server.Port()}));
    const int peer = server.Accept();
    ASSERT_TRUE(PumpUntil([&] { return s->State() == SocketState::Connected; }));
    const std::string payload = Pattern(64 << 10);
    ASSERT_TRUE(WriteAll(peer, payload));

    ASSERT_TRUE(PumpUntil([&] { return s->BytesReceived() >= kLimit; }, 2s));
    PumpFor(50ms);
    EXPECT_EQ(s->BytesReceived(), kLimit) << "read past the limit";
    got = Take(*s, 3000);
    ASSERT_TRUE(PumpUntil([&] { return s->BytesReceived() == kLimit; }, 2s)) << "reading did not resume";

    // Windows reports the peer's close at once, while data still waits in the socket.
    ::shutdown(peer, SHUT_WR);
    MS::NotifyWindowProc(MS::NotifyWindow(), MS::WinsockMessage(), static_cast<platform::WPARAM>(s->SocketHandle()),
                         platform::FD_CLOSE);
    PumpFor(50ms);
    EXPECT_FALSE(log.Has("Close")) << "closed while data still waited";
    EXPECT_EQ(s->BytesReceived(), kLimit);

    takeAll = true;
    got += Take(*s, 3000);
    ASSERT_TRUE(PumpUntil([&] { return log.Has("Close"); }, 5s)) << "the close was lost";
    EXPECT_EQ(got.size(), payload.size());
    EXPECT_TRUE(got == payload) << "bytes lost or out of order";
    for (const int32_t total : totals) {
        EXPECT_GT(total, 0);
        EXPECT_LE(total, kLimit);
    }
    EXPECT_EQ(s->State(), SocketState::Closed);
    ::close(peer);
}

// SendData refuses more bytes than its counts can tell before it sends or queues any,
// and what still waits to be sent goes on unharmed.
TEST_F(Robustness, SendDataRefusesMoreThanItsCountsCanTell) {
    constexpr size_t kLimit = 4 << 20;
    SetBufferLimitForTesting(kLimit);
    RawListener server;
    Connected c(server);
    const int small = 4096;
    platform::setsockopt(c.s->SocketHandle(), platform::SOL_SOCKET_W, platform::SO_SNDBUF_W,
                         reinterpret_cast<const char*>(&small), sizeof small);
    const std::string payload = Pattern(kLimit);
    c.log.events.clear();
    c.s->SendData(payload);
    ASSERT_EQ(c.log.events.size(), 1u);
    ASSERT_NE(c.log.events[0], "SendProgress " + std::to_string(kLimit) + " 0") << "nothing waits to be sent";

    for (const Variant& tooLong : {Variant(std::string(kLimit + 1, 'x')), Variant(ByteArray(kLimit + 1, 'x'))}) {
        try {
            c.s->SendData(tooLong);
            ADD_FAILURE() << "more than the limit was taken";
        } catch (const inet::SocketError& e) {
            EXPECT_EQ(e.Number(), 6);
            EXPECT_EQ(e.Source(), "CSocket.SendData");
            EXPECT_EQ(e.Description(), "Overflow");
        }
    }
    EXPECT_EQ(c.log.events.size(), 1u) << "the refused data raised events";
    const std::string got = ReadSome(c.peer, payload.size(), 20s);
    EXPECT_EQ(got.size(), payload.size());
    EXPECT_TRUE(got == payload) << "the waiting data was lost or changed";
    EXPECT_FALSE(Readable(c.peer, 50ms)) << "refused bytes were sent";
    EXPECT_TRUE(PumpUntil([&] { return c.log.Has("SendComplete"); }));

    // Outside tests the limit is the largest Long.
    SetBufferLimitForTesting(0);
    EXPECT_EQ(inet::detail::BufferLimit(), size_t{2147483647});
}

}  // namespace

namespace {

// No memory for a lookup's result: Connect and a datagram's SendData to a name each
// raise 10055 at once, nothing of the lookup stays behind, the loop rests, and the
// next try resolves and goes through.
TEST_F(Robustness, ALookupWithoutMemoryForItsResultFailsAtOnceAndLeavesNothing) {
    ResolveEveryNameToLoopback();
    RawListener server;
    const int datagramPeer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = LoopbackAddress(0);
    ASSERT_EQ(::bind(datagramPeer, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);

    auto s = CSocket::Create();
    EventLog log;
    log.Attach(*s);
    auto u = CSocket::Create();
    EventLog ulog;
    ulog.Attach(*u);
    u->SetProtocol(SocketProtocol::Udp);
    u->SetRemoteHost("peer.test");
    u->SetRemotePort(LocalPortOf(datagramPeer));

    FailSystemCall(SystemCall::GlobalAlloc, ENOMEM, 2);
    const auto expectNoBuffers = [](const std::function<void()>& operation, const std::string& source) {
        try {
            operation();
            ADD_FAILURE() << source << " went on without memory for the lookup";
        } catch (const inet::SocketError& e) {
            EXPECT_EQ(e.Number(), 10055);
            EXPECT_EQ(e.Source(), source);
            EXPECT_EQ(e.Description(), "No buffer space available.");
        }
    };
    expectNoBuffers([&] { u->SendData(std::string("lost")); }, "CSocket.SendData");
    const int descriptors = OpenDescriptors();
    expectNoBuffers([&] { s->Connect("server.test", Variant(int32_t{server.Port()})); }, "CSocket.CSocket.Connect");
    EXPECT_EQ(s->SocketHandle(), -1);
    EXPECT_EQ(OpenDescriptors(), descriptors) << "the failed Connect kept its socket";
    EXPECT_EQ(MS::OutstandingLookupCount(), 0);
    PumpFor(20ms);  // the datagram socket's first write notice
    int dispatched = 0;
    for (int i = 0; i < 10; ++i) dispatched += platform::PumpMessages(10ms);
    EXPECT_EQ(dispatched, 0) << "the failed lookups keep the loop busy";
    EXPECT_TRUE(log.events.empty());
    EXPECT_TRUE(ulog.events.empty());

    s->Connect();
    const int peer = server.Accept();
    EXPECT_TRUE(PumpUntil([&] { return log.Has("Connect"); }));
    u->SendData(std::string("sent"));
    char buffer[16];
    EXPECT_TRUE(PumpUntil([&] { return ::recv(datagramPeer, buffer, sizeof buffer, MSG_DONTWAIT) == 4; }));
    EXPECT_EQ(std::string(buffer, 4), "sent");
    u.reset();
    ::close(peer);
    EXPECT_TRUE(PumpUntil([&] { return log.Has("Close"); }));
    ::close(datagramPeer);
}

}  // namespace
