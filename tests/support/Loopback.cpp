#include "tests/support/Loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/MessageLoop.h"

namespace testsupport {

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
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(0);
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(m_fd, backlog) < 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    m_port = LocalPortOf(m_fd);
}

RawListener::~RawListener() {
    if (m_fd >= 0) ::close(m_fd);
}

int RawListener::Accept(std::chrono::milliseconds limit) {
    int fd = -1;
    PumpUntil([&] {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 0) == 1) fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        return fd >= 0;
    }, limit);
    return fd;
}

int ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const int port = LocalPortOf(fd);
    ::close(fd);
    return port;
}

int RawConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
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
        pollfd p{fd, POLLIN, 0};
        while (got.size() < count && ::poll(&p, 1, 0) == 1) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
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
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

int LocalPortOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

}  // namespace testsupport
