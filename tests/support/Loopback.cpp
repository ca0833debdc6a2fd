// SPDX-License-Identifier: MIT
#include "tests/support/Loopback.h"

#ifdef _WIN32
#include "platform/WinTypes.h"
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <malloc.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <stdexcept>

#include "platform/MessageLoop.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's own count (g++ ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace testsupport {

namespace {

// The few system calls that differ between the platforms.
#ifdef _WIN32
::SOCKET Wide(int fd) { return fd < 0 ? ~::SOCKET{0} : static_cast<::SOCKET>(static_cast<uint32_t>(fd)); }
int Narrow(::SOCKET s) { return s == ~::SOCKET{0} ? -1 : static_cast<int>(static_cast<uint32_t>(s)); }
// Windows counts start-ups for the whole process, and the last cleanup ends every
// socket still open: the peers hold a start-up of their own, so that they work
// before the layer starts and outlive the layer's cleanup.
void StartPeers() {
    static const bool started = [] {
        ::WSADATA data;
        return ::WSAStartup(0x0202, &data) == 0;
    }();
    (void)started;
}
int NewSocket(int type) {
    StartPeers();
    return Narrow(::socket(AF_INET, type, 0));
}
int AcceptOne(int fd) { return Narrow(::accept(Wide(fd), nullptr, nullptr)); }
int CloseFd(int fd) { return ::closesocket(Wide(fd)); }
bool PollIn(int fd, int timeoutMs) {
    WSAPOLLFD p{};
    p.fd = Wide(fd);
    p.events = POLLRDNORM;
    return ::WSAPoll(&p, 1, timeoutMs) == 1;
}
bool PollOut(int fd, int timeoutMs) {
    WSAPOLLFD p{};
    p.fd = Wide(fd);
    p.events = POLLWRNORM;
    return ::WSAPoll(&p, 1, timeoutMs) == 1;
}
bool WouldBlock() { return ::WSAGetLastError() == 10035; }
bool Interrupted() { return false; }
thread_local bool lastWasReset = false;
void NoteFailure() { lastWasReset = ::WSAGetLastError() == 10054; }
constexpr int kNoSignal = 0;
constexpr int kDontWait = 0;  // peers read only after polling
using Length = int;
#else
int Wide(int fd) { return fd; }
int NewSocket(int type) { return ::socket(AF_INET, type | SOCK_CLOEXEC, 0); }
int AcceptOne(int fd) { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
int CloseFd(int fd) { return ::close(fd); }
bool PollIn(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}
bool PollOut(int fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}
bool WouldBlock() { return errno == EAGAIN; }
bool Interrupted() { return errno == EINTR; }
thread_local bool lastWasReset = false;
void NoteFailure() { lastWasReset = errno == ECONNRESET; }
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kDontWait = MSG_DONTWAIT;
using Length = socklen_t;
#endif

const sockaddr* Sa(const sockaddr_in& a) { return reinterpret_cast<const sockaddr*>(&a); }

}  // namespace

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return pred();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        platform::PumpMessages(std::min<std::chrono::milliseconds>(left, 20ms));
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
        platform::PumpMessages(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
    }
}

RawListener::RawListener(int backlog) {
    m_fd = NewSocket(SOCK_STREAM);
    sockaddr_in a = LoopbackAddress(0);
    if (m_fd < 0 || ::bind(Wide(m_fd), Sa(a), sizeof a) < 0 || ::listen(Wide(m_fd), backlog) < 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    m_port = LocalPortOf(m_fd);
}

RawListener::~RawListener() {
    if (m_fd >= 0) CloseFd(m_fd);
}

int RawListener::Accept(std::chrono::milliseconds limit) {
    int fd = -1;
    PumpUntil([&] {
        if (PollIn(m_fd, 0)) fd = AcceptOne(m_fd);
        return fd >= 0;
    }, limit);
    return fd;
}

int ClosedPort() {
    const int fd = NewSocket(SOCK_STREAM);
    sockaddr_in a = LoopbackAddress(0);
    ::bind(Wide(fd), Sa(a), sizeof a);
    const int port = LocalPortOf(fd);
    CloseFd(fd);
    return port;
}

int RawConnect(int port) {
    const int fd = NewSocket(SOCK_STREAM);
    if (RawConnectTo(fd, LoopbackAddress(port)) < 0) {
        CloseFd(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const int n = ::send(Wide(fd), data.data() + done, static_cast<int>(data.size() - done), kNoSignal);
        if (n < 0) {
            if (Interrupted()) continue;
            if (WouldBlock()) {
                platform::PumpMessages(std::chrono::milliseconds(1));
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string ReadSome(int fd, size_t count, std::chrono::milliseconds limit) {
    std::string got;
    bool closed = false;
    PumpUntil([&] {
        char buf[65536];
        while (got.size() < count && PollIn(fd, 0)) {
            const int n = ::recv(Wide(fd), buf, sizeof buf, kDontWait);
            if (n <= 0) {
                closed = true;
                break;
            }
            got.append(buf, static_cast<size_t>(n));
        }
        return closed || got.size() >= count;
    }, limit);
    return got;
}

void ResetClose(int fd) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(Wide(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    CloseFd(fd);
}

int LocalPortOf(int fd) {
    sockaddr_in a{};
    Length len = sizeof a;
    ::getsockname(Wide(fd), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

int RawSocket(int type) { return NewSocket(type); }

int RawConnectTo(int fd, const sockaddr_in& to) {
    if (::connect(Wide(fd), Sa(to), sizeof to) == 0) return 0;
    NoteFailure();
    return -1;
}

int RawBind(int fd, const sockaddr_in& at) { return ::bind(Wide(fd), Sa(at), sizeof at) == 0 ? 0 : -1; }

int RawAccept(int listenFd) { return AcceptOne(listenFd); }

int RawSend(int fd, const char* data, int len) {
    const int n = static_cast<int>(::send(Wide(fd), data, len, kNoSignal));
    if (n < 0) NoteFailure();
    return n;
}

int RawSendTo(int fd, const char* data, int len, const sockaddr_in& to) {
    const int n = static_cast<int>(::sendto(Wide(fd), data, len, kNoSignal, Sa(to), sizeof to));
    if (n < 0) NoteFailure();
    return n;
}

int RawRecv(int fd, char* buf, int len) {
    const int n = static_cast<int>(::recv(Wide(fd), buf, len, 0));
    if (n < 0) NoteFailure();
    return n;
}

int RawShutdownSend(int fd) {
#ifdef _WIN32
    return ::shutdown(Wide(fd), 1);
#else
    return ::shutdown(fd, SHUT_WR);
#endif
}

void RawClose(int fd) { CloseFd(fd); }

bool RawReadable(int fd, std::chrono::milliseconds limit) { return PollIn(fd, static_cast<int>(limit.count())); }

bool RawWritable(int fd, std::chrono::milliseconds limit) { return PollOut(fd, static_cast<int>(limit.count())); }

int RawSetReceiveBuffer(int fd, int bytes) {
    return ::setsockopt(Wide(fd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

bool UnderWine() {
#ifdef _WIN32
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool RawFailedWithReset() { return lastWasReset; }

#ifndef _WIN32
size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return ::mallinfo2().uordblks;
#endif
}

#endif

}  // namespace testsupport
