// SPDX-License-Identifier: MIT
#include "fuzz/FuzzSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "inet/cSocket/CSocket.h"
#include "platform/MessageLoop.h"
#include "platform/Testing.h"

namespace fuzz {

void Fail(const std::string& message) {
    std::fprintf(stderr, "property failed: %s\n", message.c_str());
    std::abort();
}

bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return pred();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        platform::PumpMessages(std::min<std::chrono::milliseconds>(left, std::chrono::milliseconds(5)));
    }
    return true;
}

void PumpReady() { platform::PumpMessages(std::chrono::milliseconds(0)); }

void Setup() {
    static const bool done = [] {
        ::signal(SIGPIPE, SIG_IGN);
        platform::MessageLoopFd();  // the loop's own descriptors exist from here on
        platform::testing::SetReverseResolver([](uint32_t) { return std::optional<std::string>(); });
        return true;
    }();
    (void)done;
}

int RawListen(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(fd, 64) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) < 0) {
        Fail("cannot listen on loopback");
    }
    port = ntohs(a.sin_port);
    return fd;
}

int RawAccept(int listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }

}  // namespace fuzz
