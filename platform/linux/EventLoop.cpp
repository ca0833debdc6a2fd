#include "platform/linux/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/SocketRecord.h"
#include "platform/Window.h"

namespace platform::detail {

namespace {

// How deep this thread is inside Pump; posts made there need no wake-up.
thread_local int pumpDepth = 0;

struct PumpScope {
    PumpScope() { ++pumpDepth; }
    ~PumpScope() { --pumpDepth; }
    PumpScope(const PumpScope&) = delete;
    PumpScope& operator=(const PumpScope&) = delete;
};

[[noreturn]] void Die(const char* what) {
    std::perror(what);
    std::abort();
}

}  // namespace

EventLoop& EventLoop::Instance() {
    // Never destroyed: the lookup worker may still post while the process exits.
    static EventLoop* loop = new EventLoop;
    return *loop;
}

EventLoop::EventLoop() {
    m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epollFd < 0) Die("epoll_create1");
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) Die("eventfd");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_wakeFd;
    if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_wakeFd, &ev) < 0) Die("epoll_ctl(wake)");
}

void EventLoop::SignalLocked() {
    if (m_signalled) return;
    const uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(m_wakeFd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    m_signalled = true;
}

void EventLoop::PushLocked(Entry entry) {
    m_queue.push_back(std::move(entry));
    // A pump looks at the queue before it waits and signals what it leaves behind.
    if (pumpDepth > 0) return;
    SignalLocked();
}

void EventLoop::ResetWakeIfEmptyLocked() {
    if (!m_queue.empty() || !m_signalled) return;
    uint64_t value;
    ssize_t n;
    do {
        n = ::read(m_wakeFd, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    m_signalled = false;
}

void EventLoop::Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard lock(m_mutex);
    PushLocked(Entry{hwnd, msg, wParam, lParam, {}});
}

void EventLoop::PostTask(std::function<bool()> task) {
    std::lock_guard lock(m_mutex);
    PushLocked(Entry{0, 0, 0, 0, std::move(task)});
}

void EventLoop::Withdraw(HWND hwnd, UINT msg, WPARAM wParam) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_queue, [&](const Entry& e) {
        return !e.task && e.hwnd == hwnd && e.msg == msg && e.wParam == wParam;
    });
    ResetWakeIfEmptyLocked();
}

void EventLoop::Watch(int fd, uint32_t interest, bool& watched, uint32_t mode) {
    static_assert(EPOLLONESHOT_BIT == EPOLLONESHOT);
    if (interest == 0) {
        if (watched) {
            ::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
            watched = false;
        }
        return;
    }
    epoll_event ev{};
    ev.events = interest | mode;
    ev.data.fd = fd;
    if (watched) {
        if (::epoll_ctl(m_epollFd, EPOLL_CTL_MOD, fd, &ev) == 0) return;
        if (errno != ENOENT) return;
    }
    // ENOENT: the descriptor was closed behind our back and its number reused.
    watched = ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void EventLoop::Collect(int timeoutMs) {
    epoll_event events[64];
    int n;
    do {
        n = ::epoll_wait(m_epollFd, events, 64, timeoutMs);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) {
        if (events[i].data.fd == m_wakeFd) continue;
        OnSocketReady(events[i].data.fd, events[i].events);
    }
}

bool EventLoop::QueueEmpty() {
    std::lock_guard lock(m_mutex);
    return m_queue.empty();
}

int EventLoop::Pump(std::chrono::milliseconds maxWait, bool stopAtQuit) {
    using Clock = std::chrono::steady_clock;
    const PumpScope scope;
    if (maxWait.count() == 0 || !QueueEmpty()) Collect(0);
    if (maxWait.count() != 0) {
        const auto deadline = Clock::now() + maxWait;
        // Readiness that yields no message does not end the wait early.
        while (QueueEmpty() && !(stopAtQuit && m_quit)) {
            int timeoutMs = -1;
            if (maxWait.count() > 0) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                if (left <= 0) break;
                timeoutMs = static_cast<int>(std::min<long long>(left, 1 << 30));
            }
            Collect(timeoutMs);
        }
    }

    size_t budget;
    {
        std::lock_guard lock(m_mutex);
        // Also what the dispatch itself posts, up to a few: a receive that leaves data
        // behind posts its own next FD_READ.
        budget = m_queue.size() + 16;
    }
    int dispatched = 0;
    while (budget-- > 0 && !(stopAtQuit && m_quit)) {
        Entry entry;
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.empty()) break;
            entry = std::move(m_queue.front());
            m_queue.pop_front();
            ResetWakeIfEmptyLocked();
        }
        const bool delivered =
            entry.task ? entry.task() : DispatchToWindow(entry.hwnd, entry.msg, entry.wParam, entry.lParam);
        if (delivered) ++dispatched;
    }
    {
        // Whatever is left for the next Pump keeps the loop descriptor readable.
        std::lock_guard lock(m_mutex);
        if (!m_queue.empty()) SignalLocked();
    }
    return dispatched;
}

int EventLoop::Run() {
    while (!m_quit) Pump(std::chrono::milliseconds(-1), true);
    m_quit = false;
    return m_exitCode;
}

void EventLoop::Quit(int exitCode) {
    m_exitCode = exitCode;
    m_quit = true;
}

}  // namespace platform::detail
