// SPDX-License-Identifier: MIT
#include "platform/Winsock.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/linux/ErrorMap.h"
#include "platform/linux/EventLoop.h"
#include "platform/linux/SocketRecord.h"
#include "platform/linux/SystemCall.h"
#include "platform/Testing.h"

namespace platform {

using detail::Fail;
using detail::FailErrno;
using detail::FindRecord;
using detail::SocketPhase;
using detail::SocketRecord;
using detail::Started;

namespace {

thread_local int lastError = 0;
int startCount = 0;

// The Linux option for a Windows (level, name); false when there is none.
bool MapOption(int level, int name, int& linuxLevel, int& linuxName) {
    if (level == SOL_SOCKET_W) {
        linuxLevel = SOL_SOCKET;
        switch (name) {
            case SO_REUSEADDR_W: linuxName = SO_REUSEADDR; return true;
            case SO_BROADCAST_W: linuxName = SO_BROADCAST; return true;
            case SO_SNDBUF_W: linuxName = SO_SNDBUF; return true;
            case SO_RCVBUF_W: linuxName = SO_RCVBUF; return true;
            case SO_ERROR_W: linuxName = SO_ERROR; return true;
            case SO_TYPE_W: linuxName = SO_TYPE; return true;
            case SO_KEEPALIVE_W: linuxName = SO_KEEPALIVE; return true;
            case SO_LINGER_W: linuxName = SO_LINGER; return true;
            default: return false;
        }
    }
    if (level == IPPROTO_TCP && name == TCP_NODELAY_W) {
        linuxLevel = IPPROTO_TCP;
        linuxName = TCP_NODELAY;
        return true;
    }
    return false;
}

// Windows' linger record has two 16-bit fields where Linux has two ints.
struct WinLinger {
    uint16_t onoff;
    uint16_t seconds;
};

bool IsLinger(int linuxLevel, int linuxName) { return linuxLevel == SOL_SOCKET && linuxName == SO_LINGER; }

bool NotConnectedStream(const SocketRecord* rec) { return rec != nullptr && rec->NotConnectedStream(); }

// A blocking connect waits for its answer at most as long as Windows waits
// (detail::kConnectGiveUp), and a signal does not cut the wait short. 0, or -1 with
// errno (ETIMEDOUT when the time ran out).
int ConnectWaiting(int fd, const sockaddr* name, socklen_t len) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return ::connect(fd, name, len);
    int rc = ::connect(fd, name, len);
    if (rc < 0 && errno == EINPROGRESS) {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + detail::kConnectGiveUp;
        pollfd p{fd, POLLOUT, 0};
        int ready;
        do {
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            ready = ::poll(&p, 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            detail::AbandonConnect(fd);
            errno = ETIMEDOUT;
        } else if (ready > 0) {
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) error = errno;
            rc = error == 0 ? 0 : -1;
            errno = error;
        }
    }
    const int saved = errno;
    ::fcntl(fd, F_SETFL, flags);
    errno = saved;
    return rc;
}

}  // namespace

bool detail::Started() {
    detail::CheckLoopThread("a Windows Sockets call");
    if (startCount > 0) return true;
    lastError = WSANOTINITIALISED;
    return false;
}

int WSAStartup(WORD versionRequested, WSADATA* data) {
    if (const int failure = testing::detail::TakeStartupFailure()) return failure;
    if ((versionRequested & 0xFF) == 0) return WSAVERNOTSUPPORTED;
    if (data == nullptr) return WSAEFAULT;
    *data = WSADATA{};
    // The low byte is the major version: 1.3 (0x0301) is older than 2.2 (0x0202).
    const auto older = [](WORD a, WORD b) { return ((a & 0xFF) << 8 | a >> 8) < ((b & 0xFF) << 8 | b >> 8); };
    data->wVersion = older(versionRequested, 0x0202) ? versionRequested : WORD{0x0202};
    data->wHighVersion = 0x0202;
    std::strcpy(data->szDescription, "Windows Sockets over POSIX sockets");
    std::strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = testing::detail::MaxUdpDatagram();
    ++startCount;
    return 0;
}

int WSACleanup() {
    if (startCount == 0) return Fail(WSANOTINITIALISED);
    --startCount;
    return 0;
}

int WSAGetLastError() { return lastError; }
void WSASetLastError(int error) { lastError = error; }

SOCKET socket(int af, int type, int protocol) {
    if (!Started()) return INVALID_SOCKET;
    const int fd = detail::SystemCall(testing::SystemCall::Socket,
                                      [&] { return ::socket(af, type | SOCK_CLOEXEC, protocol); });
    if (fd < 0) return FailErrno();
    detail::AddRecord(fd, type == SOCK_DGRAM).NoteType(type);
    return fd;
}

int closesocket(SOCKET s) {
    if (!Started()) {
        // Windows' last WSACleanup ends every socket still open, so a handle kept past
        // it is gone all the same: one this layer made is closed now, or it would leak.
        if (FindRecord(s) != nullptr) {
            detail::RemoveRecord(s);
            ::close(s);
        }
        return SOCKET_ERROR;
    }
    if (FindRecord(s) == nullptr) {
        int type = 0;
        socklen_t len = sizeof type;
        if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) < 0) return FailErrno();  // not a socket: left open
    }
    // Leave epoll and withdraw queued notifications first: the number is reused at once.
    detail::RemoveRecord(s);
    if (::close(s) < 0) return FailErrno();
    return 0;
}

int shutdown(SOCKET s, int how) {
    if (!Started()) return SOCKET_ERROR;
    if (how < SD_RECEIVE || how > SD_BOTH) return Fail(WSAEINVAL);
    SocketRecord* rec = FindRecord(s);
    if (rec != nullptr) rec->SettleConnect();
    if (NotConnectedStream(rec)) return Fail(WSAENOTCONN);
    if (::shutdown(s, how) < 0) return FailErrno();
    if (rec != nullptr) rec->ShutDown(how);
    return 0;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
    if (!Started()) return SOCKET_ERROR;
    if (name == nullptr || namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    SocketRecord* rec = FindRecord(s);
    if (rec != nullptr) {
        rec->SettleConnect();
        if (rec->Phase() == SocketPhase::Listening) return Fail(WSAEINVAL);
        if (rec->Phase() == SocketPhase::Connecting) return Fail(WSAEALREADY);
        // Linux would answer 0 once more after a non-blocking connect completed.
        if (rec->Phase() == SocketPhase::Connected && !rec->Datagram()) return Fail(WSAEISCONN);
    }
    sockaddr_in to;
    std::memcpy(&to, name, sizeof to);
    if (to.sin_family == AF_INET && (to.sin_addr.s_addr == INADDR_ANY || to.sin_port == 0)) {
        return Fail(WSAEADDRNOTAVAIL);
    }
    const bool blocking = rec != nullptr && !rec->NonBlocking() && !rec->Datagram();
    const auto attempt = [&] { return blocking ? ConnectWaiting(s, name, sizeof to) : ::connect(s, name, sizeof to); };
    int rc = attempt();
    if (rc < 0 && !detail::ConnectUnderWay(errno) && rec != nullptr && rec->Phase() == SocketPhase::Failed) {
        // After a failed attempt Linux reports that failure once more (ECONNABORTED once
        // SO_ERROR was read); the new attempt Windows allows starts with the next call.
        rc = attempt();
    }
    const int error = rc == 0 ? 0 : errno;
    if (rec != nullptr && (rc == 0 || detail::ConnectUnderWay(error))) rec->StartConnect(rc == 0);
    if (rc == 0) return 0;
    return Fail(detail::ConnectError(error));
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
    if (!Started()) return SOCKET_ERROR;
    if (name == nullptr || namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    SocketRecord* rec = FindRecord(s);
    if (::bind(s, name, sizeof(sockaddr_in)) < 0) {
        // Windows lets a stream socket take a port whose old connections still linger in
        // TIME_WAIT; on Linux that takes SO_REUSEADDR, which still refuses a port that a
        // live socket holds. Trying without it first keeps that refusal for bound sockets.
        const int refused = detail::WsaErrorFromErrno(errno);
        if (refused != WSAEADDRINUSE || rec == nullptr || rec->Datagram()) return Fail(refused);
        const int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(s, name, sizeof(sockaddr_in)) < 0) {
            const int error = errno;
            const int off = 0;
            ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
            return Fail(detail::WsaErrorFromErrno(error));
        }
    }
    if (rec != nullptr) rec->NoteBound();
    return 0;
}

int listen(SOCKET s, int backlog) {
    if (!Started()) return SOCKET_ERROR;
    SocketRecord* rec = FindRecord(s);
    if (rec != nullptr && rec->Datagram()) return Fail(WSAEOPNOTSUPP);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) < 0) return FailErrno();
    if (local.sin_port == 0) return Fail(WSAEINVAL);  // Linux would bind on its own
    // Accepted connections inherit the option, so the TIME_WAIT they leave behind
    // lets the port be bound again (see bind).
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::listen(s, backlog) < 0) return FailErrno();
    if (rec != nullptr) {
        // Read once here rather than for every connection it accepts, which takes it.
        int size = 0;
        socklen_t sizeLen = sizeof size;
        if (rec->BufferSizeSet(SO_RCVBUF) != 0 || ::getsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, &sizeLen) < 0) size = 0;
        rec->StartListening(local, size);
    }
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
    if (!Started()) return INVALID_SOCKET;
    if (addr != nullptr && (addrlen == nullptr || *addrlen < static_cast<int>(sizeof(sockaddr_in)))) {
        return Fail(WSAEFAULT);
    }
    SocketRecord* rec = FindRecord(s);
    if (rec != nullptr && rec->Phase() != SocketPhase::Listening) return Fail(WSAEINVAL);
    // The accepted socket is non-blocking when the listener is (Linux would not carry it over).
    bool nonBlocking;
    if (rec != nullptr) {
        nonBlocking = rec->NonBlocking();
    } else {
        const int listenerFlags = ::fcntl(s, F_GETFL);
        nonBlocking = listenerFlags >= 0 && (listenerFlags & O_NONBLOCK);
    }
    sockaddr_in peer{};
    int fd;
    int error = 0;
    if (rec == nullptr || !rec->TakeFetched(fd, peer, error)) {
        socklen_t len = sizeof peer;
        fd = detail::SystemCall(testing::SystemCall::Accept, [&] {
            return ::accept4(s, reinterpret_cast<sockaddr*>(&peer), &len,
                             SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
        });
        error = fd < 0 ? detail::WsaErrorFromErrno(errno) : 0;
    }
    if (rec != nullptr) rec->AfterAccept(error);
    if (fd < 0) return Fail(error);
    if (addr != nullptr) {
        std::memcpy(addr, &peer, sizeof peer);
        *addrlen = sizeof peer;
    }
    detail::AddAccepted(fd, rec, nonBlocking, peer);
    return fd;
}

namespace {

// send, and sendto without an address.
int SendNow(SOCKET s, SocketRecord* rec, const char* buf, int len, int flags) {
    if (rec != nullptr) {
        rec->SettleConnect();
        if (NotConnectedStream(rec)) return Fail(WSAENOTCONN);
        if (rec->ShutSend()) return Fail(WSAESHUTDOWN);
        if (rec->ResetError() != 0 && !rec->Datagram()) return Fail(rec->ResetError());
    }
    const ssize_t n = detail::SystemCall(testing::SystemCall::Send, [&] {
        return ::send(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
    });
    if (n >= 0) return static_cast<int>(n);
    const detail::CallFailure failure = detail::SendFailure(errno, rec != nullptr ? &rec->Facts() : nullptr);
    if (failure.reset && rec != nullptr) rec->NoteReset();
    return Fail(failure.error);
}

}  // namespace

int send(SOCKET s, const char* buf, int len, int flags) {
    if (!Started()) return SOCKET_ERROR;
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    SocketRecord* rec = FindRecord(s);
    const int result = SendNow(s, rec, buf, len, flags);
    // Every call re-enables FD_WRITE; one that would have blocked has it owed once room
    // returns. A send that took only part owes nothing: the next says 10035 or takes more.
    if (rec != nullptr) rec->AfterSend(result == SOCKET_ERROR ? WSAGetLastError() : 0);
    return result;
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
    if (!Started()) return SOCKET_ERROR;
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    SocketRecord* rec = FindRecord(s);
    if (rec == nullptr || !rec->Datagram() || to == nullptr) return send(s, buf, len, flags);
    if (tolen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    sockaddr_in dest;
    std::memcpy(&dest, to, sizeof dest);
    int result;
    if (dest.sin_port == 0) {
        result = Fail(WSAEADDRNOTAVAIL);
    } else {
        const ssize_t n = detail::SystemCall(testing::SystemCall::Send, [&] {
            return ::sendto(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to, sizeof dest);
        });
        if (n >= 0) rec->NoteBound();  // the first datagram binds the socket
        result = n >= 0 ? static_cast<int>(n) : Fail(detail::SendToError(errno, dest.sin_addr.s_addr));
    }
    rec->AfterSend(result == SOCKET_ERROR ? WSAGetLastError() : 0);
    return result;
}

namespace {

// recv and recvfrom share everything but the sender's address.
int ReceiveNow(SOCKET s, SocketRecord* rec, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    if (from != nullptr && (fromlen == nullptr || *fromlen < static_cast<int>(sizeof(sockaddr_in)))) {
        return Fail(WSAEFAULT);
    }
    if (rec != nullptr) {
        rec->SettleConnect();
        if (NotConnectedStream(rec)) return Fail(WSAENOTCONN);
        if (rec->ShutRecv()) return Fail(WSAESHUTDOWN);  // Linux would report an end of stream
        if (rec->Datagram() && !rec->Bound()) return Fail(WSAEINVAL);
    }
    const bool datagram = rec != nullptr && rec->Datagram();
    // Once the peer's close was seen with nothing left, the end of the stream is all a
    // receive can find: it is answered without asking.
    const bool atEnd = rec != nullptr && rec->AtEnd() && (flags & ~MSG_PEEK) == 0;
    sockaddr_in sender{};
    socklen_t senderLen = sizeof sender;
    // MSG_TRUNC makes Linux tell a datagram's real length: Windows reports a datagram
    // that does not fit as 10040 where Linux cuts it silently.
    const ssize_t n = detail::SystemCall(testing::SystemCall::Recv, [&]() -> ssize_t {
        if (atEnd) return 0;
        return ::recvfrom(s, buf, static_cast<size_t>(len), flags | (datagram ? MSG_TRUNC : 0),
                          reinterpret_cast<sockaddr*>(&sender), &senderLen);
    });
    if (n < 0) {
        const detail::CallFailure failure = detail::ReceiveFailure(errno);
        if (rec != nullptr) {
            // A reset found earlier is what a datagram receive that finds nothing reports.
            if (failure.error == WSAEWOULDBLOCK) {
                if (const int reset = rec->TakeDatagramReset()) return Fail(reset);
            }
            if (failure.reset) rec->NoteReset();
        }
        return Fail(failure.error);
    }
    if (from != nullptr) {
        std::memcpy(from, &sender, sizeof sender);
        *fromlen = sizeof sender;
    }
    if (datagram && n > len) return Fail(WSAEMSGSIZE);
    if (n == 0 && rec != nullptr && !datagram && rec->ResetError() != 0) return Fail(rec->ResetError());
    return static_cast<int>(n);
}

int Receive(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    if (!Started()) return SOCKET_ERROR;
    SocketRecord* rec = FindRecord(s);
    const int result = ReceiveNow(s, rec, buf, len, flags, from, fromlen);
    // Every call, even a failed one, re-enables FD_READ, and what is left is announced.
    if (rec != nullptr) rec->AfterReceive(result, len, flags);
    return result;
}

}  // namespace

int recv(SOCKET s, char* buf, int len, int flags) { return Receive(s, buf, len, flags, nullptr, nullptr); }

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    return Receive(s, buf, len, flags, from, fromlen);
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    if (!Started()) return SOCKET_ERROR;
    if (optval == nullptr || optlen == nullptr || *optlen < static_cast<int>(sizeof(int))) {
        return Fail(WSAEFAULT);
    }
    int linuxLevel, linuxName;
    if (!MapOption(level, optname, linuxLevel, linuxName)) return Fail(WSAENOPROTOOPT);
    SocketRecord* rec = FindRecord(s);
    if (rec != nullptr && linuxLevel == SOL_SOCKET && linuxName == SO_TYPE) {
        const int type = rec->Type();
        std::memcpy(optval, &type, sizeof type);
        *optlen = sizeof type;
        return 0;
    }
    if (rec != nullptr && linuxLevel == SOL_SOCKET) {
        // Linux doubles the sizes it is given; Windows reads back what was set.
        int known = rec->BufferSizeSet(linuxName);
        if (known == 0 && linuxName == SO_RCVBUF) known = rec->KnownReceiveBufferSize();
        if (known != 0) {
            std::memcpy(optval, &known, sizeof known);
            *optlen = sizeof known;
            return 0;
        }
    }
    if (IsLinger(linuxLevel, linuxName)) {
        linger l{};
        socklen_t len = sizeof l;
        if (::getsockopt(s, SOL_SOCKET, SO_LINGER, &l, &len) < 0) return FailErrno();
        const WinLinger w{static_cast<uint16_t>(l.l_onoff != 0), static_cast<uint16_t>(l.l_linger)};
        std::memcpy(optval, &w, sizeof w);
        *optlen = sizeof w;
        return 0;
    }
    socklen_t len = static_cast<socklen_t>(*optlen);
    if (::getsockopt(s, linuxLevel, linuxName, optval, &len) < 0) return FailErrno();
    *optlen = static_cast<int>(len);
    if (linuxName == SO_ERROR && linuxLevel == SOL_SOCKET) {
        int value;
        std::memcpy(&value, optval, sizeof value);
        value = detail::WsaErrorFromErrno(value);
        std::memcpy(optval, &value, sizeof value);
    }
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    if (!Started()) return SOCKET_ERROR;
    if (optval == nullptr || optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
    int linuxLevel, linuxName;
    if (!MapOption(level, optname, linuxLevel, linuxName)) return Fail(WSAENOPROTOOPT);
    if (IsLinger(linuxLevel, linuxName)) {
        WinLinger w;
        std::memcpy(&w, optval, sizeof w);
        const linger l{w.onoff != 0 ? 1 : 0, w.seconds};
        if (::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0) return FailErrno();
        return 0;
    }
    if (::setsockopt(s, linuxLevel, linuxName, optval, static_cast<socklen_t>(optlen)) < 0) return FailErrno();
    if (SocketRecord* rec = FindRecord(s); rec != nullptr && linuxLevel == SOL_SOCKET) {
        int value;
        std::memcpy(&value, optval, sizeof value);
        rec->NoteBufferSize(linuxName, value);
    }
    return 0;
}

namespace {

// getsockname and getpeername: the caller's record must hold a sockaddr_in.
int AddressOf(SOCKET s, sockaddr* name, int* namelen, bool local) {
    if (!Started()) return SOCKET_ERROR;
    if (name == nullptr || namelen == nullptr || *namelen < static_cast<int>(sizeof(sockaddr_in))) {
        return Fail(WSAEFAULT);
    }
    sockaddr_in address{};
    socklen_t len = sizeof address;
    auto* into = reinterpret_cast<sockaddr*>(&address);
    const SocketRecord* rec = FindRecord(s);
    const bool known = rec != nullptr && (local ? rec->KnownLocal(address) : rec->KnownPeer(address));
    if (!known && (local ? ::getsockname(s, into, &len) : ::getpeername(s, into, &len)) < 0) return FailErrno();
    if (local && address.sin_port == 0) return Fail(WSAEINVAL);  // not bound yet
    std::memcpy(name, &address, sizeof address);
    *namelen = sizeof address;
    return 0;
}

}  // namespace

int getsockname(SOCKET s, sockaddr* name, int* namelen) { return AddressOf(s, name, namelen, true); }

int getpeername(SOCKET s, sockaddr* name, int* namelen) { return AddressOf(s, name, namelen, false); }

uint32_t inet_addr(const char* cp) {
    if (cp == nullptr) return INADDR_NONE;
    return ::inet_addr(cp);
}

char* inet_ntoa(in_addr in) {
    // Formatted here: the C library's version goes through snprintf, a cost every
    // accepted connection would pay twice.
    thread_local char text[16];
    const auto* bytes = reinterpret_cast<const unsigned char*>(&in.s_addr);
    char* out = text;
    for (int i = 0; i < 4; ++i) {
        const unsigned v = bytes[i];
        if (v >= 100) *out++ = static_cast<char>('0' + v / 100);
        if (v >= 10) *out++ = static_cast<char>('0' + v / 10 % 10);
        *out++ = static_cast<char>('0' + v % 10);
        *out++ = i < 3 ? '.' : '\0';
    }
    return text;
}

}  // namespace platform
