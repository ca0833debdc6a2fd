// SPDX-License-Identifier: MIT
#include "platform/linux/SocketWatch.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <vector>

#include "platform/linux/ErrorMap.h"
#include "platform/linux/EventLoop.h"
#include "platform/linux/SystemCall.h"

namespace platform::detail {

namespace {

// How often the process has forked. A socket made before a fork may be open in the
// child too, and then its close here does not take it out of epoll by itself.
std::atomic<uint32_t> forks{0};

uint32_t ForkCount() {
    static const bool registered = [] {
        return ::pthread_atfork([] { forks.fetch_add(1, std::memory_order_relaxed); }, nullptr, nullptr) == 0;
    }();
    // Without the hook no fork can be told: every socket counts as shared.
    return registered ? forks.load(std::memory_order_relaxed) : ~0u;
}

uint32_t NextGeneration() {
    static uint32_t last = 0;
    if (++last == 0) ++last;  // 0 marks the loop's own descriptors
    return last;
}

// Connections fetched ahead, by listener: only listeners fetch, and few listen at once,
// so the sockets' own watches stay small.
struct Fetched {
    int listener;
    int fd;         // -1 when fetching failed
    int error;      // the Windows number of that failure
    sockaddr_in peer;
};

std::vector<Fetched>& FetchedConnections() {
    static auto* fetched = new std::vector<Fetched>;  // a listener may close after main returns
    return *fetched;
}

std::vector<Fetched>::iterator FetchedOf(int listener) {
    auto& fetched = FetchedConnections();
    return std::find_if(fetched.begin(), fetched.end(), [&](const Fetched& f) { return f.listener == listener; });
}

}  // namespace

SocketWatch::SocketWatch(int fd) : m_fd(fd), m_generation(NextGeneration()), m_forksAtMaking(ForkCount()) {}

int SocketWatch::Set(uint32_t events, bool edge, bool recheck) {
    EventLoop& loop = EventLoop::Instance();
    int error;
    if (edge && events != 0) {
        if (m_edge && m_interest == events && !recheck && !m_lingering) return 0;
        error = loop.Watch(m_fd, m_generation, events, m_watched, EPOLLET);
        m_edge = m_watched && error == 0;
        m_interest = events;
    } else if (events == 0 && m_edge && m_watched && !edge) {
        // An edge-triggered watch reports only what happens from now on: it lingers.
        m_lingering = true;
        return 0;
    } else if (events == 0 && m_disarmed) {
        return 0;  // its report disarmed it: it is silent already
    } else {
        error = loop.Watch(m_fd, m_generation, events, m_watched);  // re-arming re-checks
        m_edge = false;
    }
    m_lingering = false;
    m_disarmed = false;
    return error == 0 ? 0 : WsaErrorFromErrno(error);
}

bool SocketWatch::Hears(uint32_t generation) {
    if (generation != m_generation) return false;  // closed since epoll saw it
    if (m_lingering) {
        // Wants nothing: what it reports now is not heard, and it leaves the set.
        EventLoop::Instance().Watch(m_fd, m_generation, 0, m_watched);
        m_edge = false;
        m_lingering = false;
        return false;
    }
    if (!m_edge && m_watched) m_disarmed = true;  // one-shot: the report disarmed it
    return true;
}

bool SocketWatch::Fetch() {
    if (HoldsFetched()) return true;
    Fetched next{m_fd, -1, 0, {}};
    socklen_t len = sizeof next.peer;
    next.fd = SystemCall(testing::SystemCall::Accept, [&] {
        return ::accept4(m_fd, reinterpret_cast<sockaddr*>(&next.peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    });
    if (next.fd < 0) {
        next.error = WsaErrorFromErrno(errno);
        if (next.error == WSAEWOULDBLOCK) return false;  // none waits
        // Kept for the accept call, which reports it.
    }
    FetchedConnections().push_back(next);
    return true;
}

bool SocketWatch::HoldsFetched() const { return FetchedOf(m_fd) != FetchedConnections().end(); }

bool SocketWatch::TakeFetched(int& fd, sockaddr_in& peer, int& error) {
    const auto it = FetchedOf(m_fd);
    if (it == FetchedConnections().end()) return false;
    fd = it->fd;
    error = it->error;
    peer = it->peer;
    FetchedConnections().erase(it);
    return true;
}

void SocketWatch::Leave() {
    // Closing the descriptor takes it out of epoll, unless a fork since it was made may
    // hold it open in the child: then it leaves the set now. (Were it still held
    // elsewhere, its late reports carry its own generation and are dropped.)
    if (m_forksAtMaking != ForkCount()) EventLoop::Instance().Watch(m_fd, m_generation, 0, m_watched);
    if (const auto it = FetchedOf(m_fd); it != FetchedConnections().end()) {
        if (it->fd >= 0) ::close(it->fd);  // a connection nobody accepted goes with its listener
        FetchedConnections().erase(it);
    }
}

void SocketWatch::CheckInvariants([[maybe_unused]] bool wantsEdge, [[maybe_unused]] uint32_t events) const {
    // Only a watch in the set is edge-triggered, lingers or is disarmed.
    assert(!m_edge || m_watched);
    assert(!m_lingering || m_edge);
    assert(!m_disarmed || (m_watched && !m_edge));
    // What it does is what was asked for.
    if (wantsEdge && events != 0) {
        assert(m_edge && !m_lingering && m_interest == events);
    } else if (events != 0) {
        assert(m_watched && !m_edge && !m_disarmed);
    } else {
        assert(!m_watched || m_lingering || m_disarmed);
    }
}

}  // namespace platform::detail
