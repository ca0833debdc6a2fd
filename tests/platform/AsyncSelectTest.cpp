// SPDX-License-Identifier: MIT
// The WSAAsyncSelect event rules, on real loopback connections.
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <time.h>

#include <string>
#include <thread>

#include "tests/platform/PlatformTest.h"

namespace platformtest {
namespace {

constexpr long kAll = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 0x3B
using Seq = std::vector<int>;

class AsyncSelectTest : public PlatformTest {
protected:
    // A connected socket registered for every event, its first FD_WRITE already in.
    SOCKET RegisteredPair(int& peer) {
        const SOCKET s = ConnectedPair(peer);
        EXPECT_EQ(Register(s, kAll), 0);
        EXPECT_TRUE(PumpUntil([&] { return Got(s, FD_WRITE); }));
        return s;
    }

    // A registered connection with small buffers, so that sends soon cannot go on.
    SOCKET SmallBufferPair(int& peer) {
        RawListener listener;
        const int small = 4096;
        testsupport::RawSetReceiveBuffer(listener.fd, small);  // inherited by the peer
        const SOCKET s = NewSocket();
        platform::setsockopt(s, SOL_SOCKET_W, SO_SNDBUF_W, reinterpret_cast<const char*>(&small), sizeof small);
        const sockaddr_in to = Loopback(listener.port);
        EXPECT_EQ(platform::connect(s, Sa(to), sizeof to), 0);
        peer = Peer(listener.Accept());
        EXPECT_EQ(Register(s, kAll), 0);
        EXPECT_TRUE(PumpUntil([&] { return Got(s, FD_WRITE); }));
        return s;
    }

    // A registered listener with two clients connected to it, its first FD_ACCEPT in.
    SOCKET ListenerWithTwoWaiting(int (&clients)[2]) {
        int port;
        const SOCKET listener = Listening(port);
        EXPECT_EQ(Register(listener, kAll), 0);
        const sockaddr_in to = Loopback(port);
        for (int& client : clients) {
            client = Peer(testsupport::RawSocket(SOCK_STREAM));
            EXPECT_EQ(testsupport::RawConnectTo(client, to), 0);
        }
        EXPECT_TRUE(PumpUntil([&] { return Got(listener, FD_ACCEPT); }));
        return listener;
    }

    static void Drain(int peer) {
        char buf[65536];
        while (Readable(peer, 50ms) && testsupport::RawRecv(peer, buf, sizeof buf) > 0) {
        }
    }

    int Recv(SOCKET s, int len) {
        char buf[256];
        return platform::recv(s, buf, len, 0);
    }
};

// Windows keeps no readable non-blocking flag: there the test relies on the calls
// below returning at once instead of hanging.
#ifdef _WIN32
bool NonBlocking(SOCKET) { return true; }
bool Blocking(SOCKET) { return true; }
#else
bool NonBlocking(SOCKET s) { return (::fcntl(s, F_GETFL) & O_NONBLOCK) != 0; }
bool Blocking(SOCKET s) { return !NonBlocking(s); }
#endif

// Waits until the kernel has taken in the peer's reset of s.
void AwaitReset(SOCKET s) {
#ifdef _WIN32
    (void)s;
    std::this_thread::sleep_for(200ms);
#else
    pollfd p{s, 0, 0};  // ERR and HUP are always reported
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
#endif
}

TEST_F(AsyncSelectTest, RegistrationMakesTheSocketNonBlockingAndMaskZeroCancels) {
    int peer;
    const SOCKET s = ConnectedPair(peer);
    ASSERT_TRUE(Blocking(s));
    ASSERT_EQ(Register(s, kAll), 0);
    EXPECT_TRUE(NonBlocking(s));
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_WRITE); }));

    ASSERT_EQ(WSAAsyncSelect(s, m_hwnd, 0, 0), 0);
    EXPECT_TRUE(NonBlocking(s)) << "cancelling keeps the socket non-blocking";
    ASSERT_EQ(testsupport::RawSend(peer, "abc", 3), 3);
    ClosePeer(peer);
    PumpFor(200ms);
    EXPECT_EQ(Events(s), Seq{FD_WRITE}) << "no notification after the cancel";
    EXPECT_EQ(Recv(s, 10), 3);
}

TEST_F(AsyncSelectTest, ReadIsNotifiedOnceUntilARecvAndAgainWhileDataIsLeft) {
    int peer;
    const SOCKET s = RegisteredPair(peer);
    ASSERT_EQ(testsupport::RawSend(peer, "0123456789", 10), 10);
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_READ); }));
    ASSERT_EQ(testsupport::RawSend(peer, "0123456789", 10), 10);
    PumpFor(200ms);
    EXPECT_EQ(Count(s, FD_READ), 1) << "a second FD_READ came before any recv";

    EXPECT_EQ(Recv(s, 5), 5);
    EXPECT_TRUE(PumpUntil([&] { return Count(s, FD_READ) == 2; })) << "a recv that left data must re-notify";
    EXPECT_EQ(Recv(s, 100), 15);
    PumpFor(200ms);
    EXPECT_EQ(Count(s, FD_READ), 2) << "a recv that took everything must not re-notify";
    EXPECT_EQ(Recv(s, 100), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(Events(s), (Seq{FD_WRITE, FD_READ, FD_READ}));
}

TEST_F(AsyncSelectTest, DataOrACloseThatAlreadyHappenedIsNotifiedAtRegistration) {
    int peer, closingPeer;
    const SOCKET s = ConnectedPair(peer);
    const SOCKET closed = ConnectedPair(closingPeer);
    ASSERT_EQ(testsupport::RawSend(peer, "early", 5), 5);
    ClosePeer(closingPeer);
    ASSERT_TRUE(Readable(s, 1000ms));
    ASSERT_TRUE(Readable(closed, 1000ms));
    ASSERT_EQ(Register(s, FD_READ | FD_CLOSE), 0);
    ASSERT_EQ(Register(closed, FD_READ | FD_CLOSE), 0);
    EXPECT_TRUE(PumpUntil([&] { return Got(s, FD_READ) && Got(closed, FD_CLOSE); }, 1000ms));
    EXPECT_EQ(Events(s), Seq{FD_READ});
    EXPECT_EQ(Events(closed), Seq{FD_CLOSE});
}

TEST_F(AsyncSelectTest, PendingConnectionsGiveOneAcceptPerAcceptCallAndTheChildInheritsTheRegistration) {
    int port;
    const SOCKET listener = Listening(port);
    const sockaddr_in to = Loopback(port);
    for (int i = 0; i < 2; ++i) {
        const int client = Peer(testsupport::RawSocket(SOCK_STREAM));
        ASSERT_EQ(testsupport::RawConnectTo(client, to), 0);
    }
    ASSERT_EQ(Register(listener, kAll), 0);  // both connections already wait
    ASSERT_TRUE(PumpUntil([&] { return Got(listener, FD_ACCEPT); }));
    PumpFor(150ms);
    EXPECT_EQ(Count(listener, FD_ACCEPT), 1) << "FD_ACCEPT repeated before accept was called";

    const SOCKET child = platform::accept(listener, nullptr, nullptr);
    ASSERT_NE(child, INVALID_SOCKET) << WSAGetLastError();
    m_sockets.push_back(child);
    EXPECT_TRUE(NonBlocking(child));
    ASSERT_TRUE(PumpUntil([&] { return Count(listener, FD_ACCEPT) == 2 && Got(child, FD_WRITE); }))
        << "another connection is pending; the accepted socket can send";
    EXPECT_EQ(Events(child), Seq{FD_WRITE}) << "no FD_CONNECT for an accepted socket";

    sockaddr_in from{};
    int fromLen = sizeof from;
    const SOCKET second = platform::accept(listener, reinterpret_cast<sockaddr*>(&from), &fromLen);
    ASSERT_NE(second, INVALID_SOCKET);
    m_sockets.push_back(second);
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    PumpFor(150ms);
    EXPECT_EQ(Count(listener, FD_ACCEPT), 2) << "nothing is pending any more";
    EXPECT_EQ(platform::accept(listener, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

#ifndef _WIN32
// How the substitute takes connections ahead of the accept call; Windows keeps its
// backlog in the kernel.
TEST_F(AsyncSelectTest, ConfirmingAnInheritedRegistrationOwesNothingAfreshButLaterItOwesAll) {
    int clients[2];
    const SOCKET listener = ListenerWithTwoWaiting(clients);
    ASSERT_FALSE(HasFailure());

    // Confirmed at once, as an owner adopting the connection does: one FD_WRITE in all,
    // and data that arrives later is still announced.
    const SOCKET quick = platform::accept(listener, nullptr, nullptr);
    ASSERT_NE(quick, INVALID_SOCKET);
    m_sockets.push_back(quick);
    ASSERT_EQ(Register(quick, kAll), 0);
    ASSERT_EQ(::send(clients[0], "x", 1, 0), 1);
    ASSERT_TRUE(PumpUntil([&] { return Got(quick, FD_READ) && Count(listener, FD_ACCEPT) == 2; }));
    PumpFor(100ms);
    EXPECT_EQ(Events(quick), (Seq{FD_WRITE, FD_READ}));

    // Confirmed only after its first FD_READ went out (to nobody who kept it): the
    // registration starts afresh and what holds is told again.
    const SOCKET late = platform::accept(listener, nullptr, nullptr);
    ASSERT_NE(late, INVALID_SOCKET);
    m_sockets.push_back(late);
    ASSERT_EQ(::send(clients[1], "y", 1, 0), 1);
    ASSERT_TRUE(PumpUntil([&] { return Got(late, FD_READ); }));
    ASSERT_EQ(Register(late, kAll), 0);
    EXPECT_TRUE(PumpUntil([&] { return Count(late, FD_READ) == 2; })) << "unread data must be announced again";
    EXPECT_EQ(Count(late, FD_WRITE), 2);
}

TEST_F(AsyncSelectTest, AConnectionWaitingBehindAnAcceptIsClosedWithItsListener) {
    int clients[2];
    const SOCKET listener = ListenerWithTwoWaiting(clients);
    ASSERT_FALSE(HasFailure());
    const SOCKET first = platform::accept(listener, nullptr, nullptr);
    ASSERT_NE(first, INVALID_SOCKET);
    m_sockets.push_back(first);
    ASSERT_TRUE(PumpUntil([&] { return Count(listener, FD_ACCEPT) == 2; }));

    // Nobody accepts the second connection; closing the listener ends it too.
    ASSERT_EQ(Close(listener), 0);
    ASSERT_TRUE(Readable(clients[1], 1000ms)) << "the connection nobody accepted was left open";
    char c;
    EXPECT_LE(::recv(clients[1], &c, 1, 0), 0);
    EXPECT_FALSE(Readable(clients[0], 100ms)) << "the accepted connection is not the listener's to close";
}

// What the layer answers for an accepted socket without asking the kernel must be what
// the kernel would answer, on a listener bound to one address and on one bound to all.
TEST_F(AsyncSelectTest, AnAcceptedSocketsAddressesAndReceiveSizeAreTheKernels) {
    const auto name = [](SOCKET s, bool local) {
        sockaddr_in a{};
        int len = sizeof a;
        const int rc = local ? platform::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len)
                             : platform::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len);
        return rc == 0 ? std::pair{a.sin_addr.s_addr, a.sin_port} : std::pair{0u, uint16_t{0}};
    };
    const auto kernelName = [](int fd, bool local) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        const int rc = local ? ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len)
                             : ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
        return rc == 0 ? std::pair{a.sin_addr.s_addr, a.sin_port} : std::pair{0u, uint16_t{0}};
    };
    const auto receiveSize = [](SOCKET s) {
        int size = 0;
        int len = sizeof size;
        return platform::getsockopt(s, SOL_SOCKET_W, SO_RCVBUF_W, reinterpret_cast<char*>(&size), &len) == 0 ? size : -1;
    };
    const auto kernelReceiveSize = [](int fd) {
        int size = 0;
        socklen_t len = sizeof size;
        return ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) == 0 ? size : -2;
    };
    // On all addresses, a connection made to 127.0.0.2 is on 127.0.0.2, not on the listener's 0.0.0.0.
    for (const uint32_t bound : {htonl(INADDR_LOOPBACK), htonl(INADDR_ANY)}) {
        SCOPED_TRACE(bound == 0 ? "listening on all addresses" : "listening on 127.0.0.1");
        const SOCKET listener = NewSocket();
        sockaddr_in at = Loopback(0);
        at.sin_addr.s_addr = bound;
        ASSERT_EQ(platform::bind(listener, Sa(at), sizeof at), 0);
        ASSERT_EQ(platform::listen(listener, 5), 0);
        ASSERT_EQ(Register(listener, kAll), 0);
        sockaddr_in to = Loopback(LocalPort(listener));
        if (bound == 0) to.sin_addr.s_addr = htonl(0x7F000002);
        const int client = Peer(testsupport::RawSocket(SOCK_STREAM));
        ASSERT_EQ(testsupport::RawConnectTo(client, to), 0);
        ASSERT_TRUE(PumpUntil([&] { return Got(listener, FD_ACCEPT); }));
        const SOCKET s = platform::accept(listener, nullptr, nullptr);
        ASSERT_NE(s, INVALID_SOCKET);
        m_sockets.push_back(s);
        EXPECT_EQ(name(s, true), kernelName(s, true));
        EXPECT_EQ(name(s, true), kernelName(client, false));
        EXPECT_EQ(name(s, false), kernelName(s, false));
        EXPECT_EQ(name(s, false), kernelName(client, true));
        EXPECT_EQ(receiveSize(s), kernelReceiveSize(s));

        // Once bulk data went through, the kernel has sized the buffer to it.
        ASSERT_EQ(Register(s, kAll), 0);
        std::thread sender([client] {
            const std::string chunk(1 << 16, 'x');
            for (int i = 0; i < 64; ++i) testsupport::RawSend(client, chunk.data(), static_cast<int>(chunk.size()));
            testsupport::RawShutdownSend(client);
        });
        std::vector<char> buf(1 << 16);
        long total = 0;
        ASSERT_TRUE(PumpUntil([&] {
            for (int n; (n = platform::recv(s, buf.data(), static_cast<int>(buf.size()), 0)) > 0;) total += n;
            return Got(s, FD_CLOSE);
        }));
        sender.join();
        EXPECT_EQ(total, 64L << 16);
        EXPECT_EQ(receiveSize(s), kernelReceiveSize(s));

        // Once a connection's reset is known it has no peer any more: the kernel says so,
        // and so does the layer.
        const int resetting = testsupport::RawSocket(SOCK_STREAM);
        ASSERT_EQ(testsupport::RawConnectTo(resetting, to), 0);
        ASSERT_TRUE(PumpUntil([&] { return Count(listener, FD_ACCEPT) == 2; }));
        const SOCKET reset = platform::accept(listener, nullptr, nullptr);
        ASSERT_NE(reset, INVALID_SOCKET);
        m_sockets.push_back(reset);
        ResetClose(resetting);
        AwaitReset(reset);
        ASSERT_TRUE(PumpUntil([&] { return Got(reset, FD_CLOSE); }));
        EXPECT_EQ(ErrorOf(reset, FD_CLOSE), WSAECONNRESET);
        sockaddr_in peer{};
        int len = sizeof peer;
        EXPECT_EQ(platform::getpeername(reset, reinterpret_cast<sockaddr*>(&peer), &len), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
        EXPECT_EQ(name(reset, true), kernelName(reset, true));
    }
}

// A socket's number is reused at once after its close, while the socket itself may live
// on in a duplicate or a forked child: what it reports then reaches no one, and a fork
// leaves the loop with nothing to wake for.
TEST_F(AsyncSelectTest, ASocketThatOutlivesItsCloseElsewhereNeverReachesTheNextOnItsNumber) {
    for (const bool forked : {false, true}) {
        SCOPED_TRACE(forked ? "held by a forked child" : "held by a duplicate");
        int oldPeer;
        const SOCKET old = RegisteredPair(oldPeer);
        int release[2];
        ASSERT_EQ(::pipe(release), 0);
        int held = -1;
        pid_t child = -1;
        if (forked) {
            child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                char c;
                ::close(release[1]);
                (void)!::read(release[0], &c, 1);  // keeps every descriptor open until told
                ::_exit(0);
            }
        } else {
            held = ::dup(old);
        }
        ::close(release[0]);
        ASSERT_EQ(Close(old), 0);
        Received().clear();  // what came for the old socket carries the same number

        RawListener server;
        SOCKET next = NewSocket();
        for (int i = 0; i < 64 && next != old && next != INVALID_SOCKET; ++i) next = NewSocket();
        ASSERT_EQ(next, old) << "the number was not reused; the test proves nothing";
        const sockaddr_in to = Loopback(server.port);
        ASSERT_EQ(platform::connect(next, Sa(to), sizeof to), 0);
        const int nextPeer = Peer(server.Accept());
        ASSERT_EQ(Register(next, kAll), 0);
        ASSERT_TRUE(PumpUntil([&] { return Got(next, FD_WRITE); }));

        ASSERT_EQ(testsupport::RawSend(oldPeer, "late", 4), 4);
        std::this_thread::sleep_for(50ms);
        if (forked) {
            EXPECT_FALSE(Readable(platform::MessageLoopFd(), 0ms)) << "the closed socket still wakes the loop";
        }
        PumpFor(100ms);
        EXPECT_EQ(Events(next), Seq{FD_WRITE}) << "the new socket heard of the old one's data";
        char buf[8];
        EXPECT_EQ(platform::recv(next, buf, sizeof buf, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        // And what is its own is heard.
        ASSERT_EQ(testsupport::RawSend(nextPeer, "own", 3), 3);
        EXPECT_TRUE(PumpUntil([&] { return Got(next, FD_READ); }));

        ::close(release[1]);
        if (held >= 0) ::close(held);
        if (child > 0) ::waitpid(child, nullptr, 0);
        Close(next);
    }
}
#endif

TEST_F(AsyncSelectTest, ConnectNotifiesConnectThenWriteAndNothingMoreWhileIdle) {
    RawListener listener;
    const SOCKET s = NewSocket();
    ASSERT_EQ(Register(s, kAll), 0);
    const sockaddr_in to = Loopback(listener.port);
    ASSERT_EQ(platform::connect(s, Sa(to), sizeof to), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_WRITE); }));
    PumpFor(150ms);
    EXPECT_EQ(Events(s), (Seq{FD_CONNECT, FD_WRITE}));
    EXPECT_EQ(ErrorOf(s, FD_CONNECT), 0);
}

TEST_F(AsyncSelectTest, RefusedConnectNotifies10061AndTheSocketMayConnectAgain) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine fails a second connect after a refusal with 10053; Windows lets the socket connect again";
    }
    const SOCKET s = NewSocket();
    ASSERT_EQ(Register(s, kAll), 0);
    const sockaddr_in closed = Loopback(ClosedPort());
    ASSERT_EQ(platform::connect(s, Sa(closed), sizeof closed), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_CONNECT); }));
    EXPECT_EQ(ErrorOf(s, FD_CONNECT), WSAECONNREFUSED);
    PumpFor(150ms);
    EXPECT_EQ(Events(s), Seq{FD_CONNECT}) << "a refused connection can neither send nor close";

    RawListener listener;
    const sockaddr_in to = Loopback(listener.port);
    ASSERT_EQ(platform::connect(s, Sa(to), sizeof to), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_WRITE); }));
    EXPECT_EQ(Events(s), (Seq{FD_CONNECT, FD_CONNECT, FD_WRITE}));
    EXPECT_EQ(HIWORD(Received().back().lParam), 0);
}

// A connect that gets no answer (the listener's queue is full, so its SYNs are dropped)
// fails when Windows gives up, after about 21 s, with 10060: through FD_CONNECT for a
// registered socket, from the call for a blocking one. Either may connect again.
TEST_F(AsyncSelectTest, AConnectThatGetsNoAnswerFailsWith10060WhenWindowsGivesUp) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine keeps the host's connect timeout (about 127 s on Linux); Windows gives up after about 21 s";
    }
    using std::chrono::steady_clock;
    testsupport::RawListener full(/*backlog=*/0);
    const int waiting = Peer(testsupport::RawConnect(full.Port()));  // the only place in its queue
    ASSERT_GE(waiting, 0);
    const sockaddr_in to = Loopback(full.Port());

    const SOCKET registered = NewSocket();
    ASSERT_EQ(Register(registered, kAll), 0);
    const auto start = steady_clock::now();
    ASSERT_EQ(platform::connect(registered, Sa(to), sizeof to), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    const SOCKET blocking = NewSocket();
    EXPECT_EQ(platform::connect(blocking, Sa(to), sizeof to), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
    const auto blockingWaited = steady_clock::now() - start;
    ASSERT_TRUE(PumpUntil([&] { return Got(registered, FD_CONNECT); }));
    const auto registeredWaited = steady_clock::now() - start;
    EXPECT_EQ(ErrorOf(registered, FD_CONNECT), WSAETIMEDOUT);
    for (const auto waited : {blockingWaited, registeredWaited}) {
        EXPECT_GE(waited, 20s);
        EXPECT_LE(waited, 25s);
    }

    ASSERT_GE(Peer(testsupport::RawAccept(full.Fd())), 0);  // room again
    EXPECT_EQ(platform::connect(blocking, Sa(to), sizeof to), 0);
    ASSERT_GE(Peer(testsupport::RawAccept(full.Fd())), 0);
    ASSERT_EQ(platform::connect(registered, Sa(to), sizeof to), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return Got(registered, FD_WRITE); }));
    EXPECT_EQ(Events(registered), (Seq{FD_CONNECT, FD_CONNECT, FD_WRITE}));
    EXPECT_EQ(HIWORD(Received().back().lParam), 0);
}

// Windows posts FD_CONNECT for a datagram socket's connect too, although it succeeds
// at once.
TEST_F(AsyncSelectTest, ADatagramSocketsConnectIsNotifiedAtOnce) {
    if (UnderWine()) GTEST_SKIP() << "Wine posts no FD_CONNECT for a datagram socket's connect; Windows documents one";
    const SOCKET s = NewSocket(SOCK_DGRAM);
    ASSERT_EQ(Register(s, kAll), 0);
    const sockaddr_in to = Loopback(ClosedPort());
    ASSERT_EQ(platform::connect(s, Sa(to), sizeof to), 0);
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_CONNECT); }));
    EXPECT_EQ(ErrorOf(s, FD_CONNECT), 0);
}

TEST_F(AsyncSelectTest, WriteIsNotifiedOnceMoreAfterASendWouldBlock) {
    int peer;
    const SOCKET s = SmallBufferPair(peer);
    const std::string chunk(1024, 'w');
    int sent = 0;
    while (sent < (8 << 20) && platform::send(s, chunk.data(), 1024, 0) > 0) sent += 1024;
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << "the buffers never filled up";

    Drain(peer);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, FD_WRITE) == 2; })) << "no FD_WRITE once sending could go on";
    PumpFor(150ms);
    EXPECT_EQ(Count(s, FD_WRITE), 2) << "FD_WRITE repeated without another send that would block";
}

// Windows owes FD_WRITE after a send that failed with 10035, not after one that took
// only part: the sender sends again, and is refused or takes more.
TEST_F(AsyncSelectTest, AShortSendEarnsNoFdWriteButARefusedOneDoes) {
    int peer;
    const SOCKET s = SmallBufferPair(peer);
    const std::string big(1 << 20, 'b');
    const int taken = platform::send(s, big.data(), static_cast<int>(big.size()), 0);
    ASSERT_GT(taken, 0) << WSAGetLastError();
    if (taken == static_cast<int>(big.size())) GTEST_SKIP() << "the system took all of it: no short send here";
    Drain(peer);
    PumpFor(150ms);
    EXPECT_EQ(Count(s, FD_WRITE), 1) << "FD_WRITE after a send that took part";

    int more = 0;
    while (more < 64 && platform::send(s, big.data(), static_cast<int>(big.size()), 0) > 0) ++more;
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << "the buffers never filled up";
    Drain(peer);
    EXPECT_TRUE(PumpUntil([&] { return Count(s, FD_WRITE) == 2; })) << "no FD_WRITE after a send refused with 10035";
}

TEST_F(AsyncSelectTest, GracefulCloseComesOnceAndOnlyAfterTheDataWasRead) {
    int peer;
    const SOCKET s = RegisteredPair(peer);
    ASSERT_EQ(testsupport::RawSend(peer, "hello", 5), 5);
    ClosePeer(peer);
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_READ); }));
    PumpFor(150ms);
    EXPECT_FALSE(Got(s, FD_CLOSE)) << "FD_CLOSE while data was still unread";

    char buf[16];
    ASSERT_EQ(platform::recv(s, buf, sizeof buf, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_CLOSE); }));
    EXPECT_EQ(ErrorOf(s, FD_CLOSE), 0);
    EXPECT_EQ(platform::recv(s, buf, sizeof buf, 0), 0);
    PumpFor(150ms);
    EXPECT_EQ(Events(s), (Seq{FD_WRITE, FD_READ, FD_CLOSE}));
}

TEST_F(AsyncSelectTest, PeerResetNotifiesClose10054Once) {
    if (UnderWine()) GTEST_SKIP() << kWineResetIsGraceful;
    int peer;
    const SOCKET s = RegisteredPair(peer);
    ResetPeer(peer);
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_CLOSE); }));
    EXPECT_EQ(ErrorOf(s, FD_CLOSE), WSAECONNRESET);
    PumpFor(150ms);
    EXPECT_EQ(Count(s, FD_CLOSE), 1);
    EXPECT_EQ(Recv(s, 10), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    EXPECT_EQ(platform::send(s, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    PumpFor(100ms);
    EXPECT_EQ(Events(s), (Seq{FD_WRITE, FD_CLOSE}));
}

TEST_F(AsyncSelectTest, DataLeftBehindByAResetIsStillAnnouncedPerRecv) {
    if (UnderWine()) GTEST_SKIP() << kWineResetIsGraceful;
    int peer;
    const SOCKET s = RegisteredPair(peer);
    ASSERT_EQ(testsupport::RawSend(peer, "0123456789", 10), 10);
    ASSERT_TRUE(Readable(s, 1000ms));
    ResetPeer(peer);
    AwaitReset(s);
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_CLOSE); }));
    EXPECT_EQ(Events(s), (Seq{FD_WRITE, FD_READ, FD_CLOSE}));
    EXPECT_EQ(Recv(s, 4), 4);
    EXPECT_TRUE(PumpUntil([&] { return Count(s, FD_READ) == 2; }, 1000ms));
    EXPECT_EQ(Recv(s, 100), 6);
    PumpFor(150ms);
    EXPECT_EQ(Count(s, FD_READ), 2);
    EXPECT_EQ(Count(s, FD_CLOSE), 1);
}

TEST_F(AsyncSelectTest, DatagramSocketReadsOneDatagramPerNotification) {
    const SOCKET s = NewSocket(SOCK_DGRAM);
    const sockaddr_in any = Loopback(0);
    ASSERT_EQ(platform::bind(s, Sa(any), sizeof any), 0);
    ASSERT_EQ(Register(s, FD_READ | FD_WRITE), 0);
    const int sender = Peer(testsupport::RawSocket(SOCK_DGRAM));
    const sockaddr_in to = Loopback(LocalPort(s));
    ASSERT_EQ(testsupport::RawSendTo(sender, "one", 3, to), 3);
    ASSERT_EQ(testsupport::RawSendTo(sender, "two", 3, to), 3);
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_READ); }));
    PumpFor(100ms);
    // A datagram socket can always send, so its registration reports it writable.
    EXPECT_EQ(Events(s), (Seq{FD_WRITE, FD_READ}));
    EXPECT_EQ(Recv(s, 10), 3);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, FD_READ) == 2; }));
    EXPECT_EQ(Recv(s, 10), 3);
    PumpFor(100ms);
    EXPECT_EQ(Count(s, FD_READ), 2);
}

#ifndef _WIN32
// A datagram socket made and bound outside the layer is taken as it is found: it can
// receive, so each datagram is told once per receive, and an idle one costs nothing.
TEST_F(AsyncSelectTest, ADatagramSocketMadeElsewhereReadsOnePerNotificationAndLetsTheLoopRest) {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in any = Loopback(0);
    ASSERT_EQ(::bind(s, Sa(any), sizeof any), 0);
    ASSERT_EQ(Register(s, FD_READ), 0);
    const int sender = Peer(testsupport::RawSocket(SOCK_DGRAM));
    ASSERT_EQ(testsupport::RawSendTo(sender, "datagram", 8, Loopback(LocalPort(s))), 8);
    ASSERT_TRUE(PumpUntil([&] { return Got(s, FD_READ); }));
    EXPECT_EQ(Recv(s, 64), 8);
    int dispatched = 0;
    for (int i = 0; i < 20; ++i) dispatched += platform::PumpMessages(10ms);
    EXPECT_LE(dispatched, 1) << "an idle datagram socket keeps the loop busy";
    EXPECT_EQ(Count(s, FD_READ), 1);
    platform::closesocket(s);
}
#endif

TEST_F(AsyncSelectTest, ClosingWithdrawsQueuedNotificationsSoANewSocketOnTheSameNumberGetsNoneOfThem) {
    int peer;
    const SOCKET a = ConnectedPair(peer);
    SOCKET b = INVALID_SOCKET;
    // The trigger's handler closes a while a's notifications are queued behind it.
    OnRecord() = [&](const Record& r) {
        if (r.msg != WM_USER) return;
        ASSERT_EQ(Close(a), 0);
        b = NewSocket();
        for (int i = 0; i < 64 && b != a && b != INVALID_SOCKET; ++i) b = NewSocket();  // lower free numbers first
        ASSERT_EQ(b, a) << "the number was not reused; the test proves nothing";
        ASSERT_EQ(Register(b, kAll), 0);
    };
    PostMessageA(m_hwnd, WM_USER, 0, 0);
    const UINT oldMsg = RegisterWindowMessageA("platform test old registration");
    ASSERT_EQ(WSAAsyncSelect(a, m_hwnd, oldMsg, FD_WRITE), 0);  // queues an FD_WRITE at once
    ASSERT_EQ(Register(a, FD_READ | FD_CLOSE), 0);               // replaces the registration
    PostMessageA(m_hwnd, m_msg, static_cast<WPARAM>(a), MAKELONG(FD_WRITE, 0));  // posted by hand
    ASSERT_EQ(testsupport::RawSend(peer, "stale", 5), 5);
    ASSERT_EQ(testsupport::RawShutdownSend(peer), 0);
    ASSERT_TRUE(Readable(a, 1000ms));
    PumpFor(200ms);
    ASSERT_EQ(b, a);
    int stale = 0;
    for (const Record& r : Received()) stale += r.msg != WM_USER && r.wParam == static_cast<WPARAM>(b);
    EXPECT_EQ(stale, 0) << "the new socket received the old one's notifications";
}

TEST_F(AsyncSelectTest, ConnectStillCompletesWhenTheRegistrationIsCancelledMeanwhile) {
    if (kOnWindows) {
        GTEST_SKIP() << "Windows posts as soon as the connection is made, so notifications queued before the "
                        "cancel stay; the substitute posts only from the loop";
    }
    RawListener listener;
    const SOCKET s = NewSocket();
    ASSERT_EQ(Register(s, kAll), 0);
    const sockaddr_in to = Loopback(listener.port);
    ASSERT_EQ(platform::connect(s, Sa(to), sizeof to), SOCKET_ERROR);
    char c;
    EXPECT_EQ(platform::send(s, "x", 1, 0), SOCKET_ERROR) << "the loop has not reported the connection yet";
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
    ASSERT_EQ(WSAAsyncSelect(s, m_hwnd, 0, 0), 0);
    ASSERT_TRUE(testsupport::RawWritable(s, 1000ms));
    EXPECT_EQ(platform::send(s, "now", 3, 0), 3) << WSAGetLastError();
    const int peer = Peer(listener.Accept());
    EXPECT_EQ(testsupport::RawRecv(peer, &c, 1), 1);
    PumpFor(100ms);
    EXPECT_EQ(Events(s), Seq{}) << "notified after the cancel";
}

TEST_F(AsyncSelectTest, IdleLoopUsesNoCpu) {
    int port;
    const SOCKET listener = Listening(port);
    ASSERT_EQ(Register(listener, kAll), 0);
    std::vector<SOCKET> idle;
    for (int i = 0; i < 3; ++i) {
        int peer;
        idle.push_back(RegisteredPair(peer));
    }
    int closedPeer, resetPeer;
    const SOCKET closed = RegisteredPair(closedPeer);
    const SOCKET reset = RegisteredPair(resetPeer);
    ClosePeer(closedPeer);
    ResetPeer(resetPeer);
    const SOCKET refused = NewSocket();
    ASSERT_EQ(Register(refused, kAll), 0);
    const sockaddr_in nowhere = Loopback(ClosedPort());
    platform::connect(refused, Sa(nowhere), sizeof nowhere);
    const SOCKET datagram = NewSocket(SOCK_DGRAM);
    const sockaddr_in any = Loopback(0);
    ASSERT_EQ(platform::bind(datagram, Sa(any), sizeof any), 0);
    ASSERT_EQ(Register(datagram, kAll), 0);
    ASSERT_TRUE(PumpUntil([&] {
        return Got(closed, FD_CLOSE) && Got(reset, FD_CLOSE) && Got(refused, FD_CONNECT);
    }));
    EXPECT_EQ(Recv(closed, 10), 0);  // re-enables FD_READ on a socket whose peer is gone
    PumpFor(20ms);

    const size_t before = Received().size();
    timespec cpu0, cpu1;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + 300ms;
    int calls = 0;
    for (auto now = start; now < deadline; now = std::chrono::steady_clock::now()) {
        PumpMessages(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        ++calls;
    }
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    const double cpuMs = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    EXPECT_LT(cpuMs, 30.0) << "the idle loop is spinning";
    EXPECT_LE(calls, 3) << "PumpMessages returned early " << calls << " times";
    EXPECT_EQ(Received().size(), before) << "an idle loop dispatched something";
}

}  // namespace
}  // namespace platformtest
