// SPDX-License-Identifier: MIT
#include "platform/linux/EventLoop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/linux/SocketRecord.h"
#include "platform/linux/SystemCall.h"
#include "platform/Window.h"

namespace platform::detail {

namespace {

// True while this thread turns epoll's reports into messages. Nothing of the host
// runs then, and the pump that collects dispatches them next: those posts need no
// wake-up. Every other post may be waited for (a handler can run a loop of its own)
// once the descriptor is exposed.
thread_local bool collecting = false;
// True while this thread is inside Pump: a pump looks at the queue before it waits,
// so its own posts need no wake-up while nobody else watches the descriptor.
thread_local bool pumping = false;

[[noreturn]] void Die(const char* what) {
    std::perror(what);
    std::abort();
}

}  // namespace

#ifndef NDEBUG
void CheckLoopThread(const char* call) {
    static std::atomic<std::thread::id> owner{};
    const std::thread::id self = std::this_thread::get_id();
    std::thread::id expected{};
    if (owner.compare_exchange_strong(expected, self) || expected == self) return;
    std::fprintf(stderr,
                 "cSocket platform: %s was called on a thread that is not the loop's. Every socket, window "
                 "and loop call belongs to the thread that pumps the messages; only PostMessageA may come from "
                 "another thread.\n",
                 call);
    std::abort();
}
#endif

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
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (m_timerFd < 0) Die("timerfd_create");
    ev.data.fd = m_timerFd;
    if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_timerFd, &ev) < 0) Die("epoll_ctl(timer)");
}

EventLoop::TimerId EventLoop::RunAfter(std::chrono::milliseconds delay, std::function<void()> onTimer) {
    const auto due = std::chrono::steady_clock::now() + std::max(delay, std::chrono::milliseconds(1));
    m_timers.push_back(Timer{due, ++m_lastTimer, std::move(onTimer)});
    ArmTimerFd();
    return m_lastTimer;
}

int EventLoop::WatchReadable(int fd, std::function<void()> onReadable) {
    // One-shot, with generation 0 as the loop's own descriptors: a report becomes one
    // task, and the descriptor is watched again once the task has taken what it found.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.u64 = static_cast<uint32_t>(fd);
    if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &ev) < 0) return errno;
    m_readable.emplace_back(fd, std::move(onReadable));
    return 0;
}

void EventLoop::CancelTimer(TimerId id) {
    if (id == 0) return;
    std::erase_if(m_timers, [id](const Timer& t) { return t.id == id; });
    ArmTimerFd();
}

// The timerfd expires when the earliest timer is due; with none, it is stopped.
void EventLoop::ArmTimerFd() {
    itimerspec when{};
    if (!m_timers.empty()) {
        const auto earliest = std::min_element(m_timers.begin(), m_timers.end(),
                                               [](const Timer& a, const Timer& b) { return a.due < b.due; });
        // steady_clock is CLOCK_MONOTONIC, the timerfd's clock.
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(earliest->due.time_since_epoch()).count();
        when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;  // 0 would stop it
    }
    // Only bad arguments make it fail.
    if (::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &when, nullptr) < 0) Die("timerfd_settime");
}

void EventLoop::RunDueTimers() {
    uint64_t expirations;
    if (::read(m_timerFd, &expirations, sizeof expirations) < 0 && errno != EAGAIN) return;
    const auto now = std::chrono::steady_clock::now();
    // One at a time, earliest first: a timer may start others, or cancel one that is due too.
    for (;;) {
        const auto next = std::min_element(m_timers.begin(), m_timers.end(),
                                           [](const Timer& a, const Timer& b) { return a.due < b.due; });
        if (next == m_timers.end() || next->due > now) break;
        const std::function<void()> run = std::move(next->run);
        m_timers.erase(next);
        run();
    }
    ArmTimerFd();
}

// The wake-up rule. Once the loop descriptor has been handed out (ExposeFd), another
// loop may wait on it: the eventfd is then readable exactly while the queue holds
// something, at every point where code outside the layer can run (the end of each
// pump checks it). Until then the only waiter is Pump, which looks at the queue before
// it waits, so only a post it may not see, made from another thread or outside a pump,
// signals the eventfd: a batch of notifications costs no eventfd calls. An empty queue
// always clears it.
void EventLoop::UpdateWakeUpLocked(bool unseenPost) {
    const bool readable = !m_queue.empty() && (m_exposed || m_signalled || unseenPost);
    if (readable == m_signalled) return;
    ssize_t n;
    uint64_t value = 1;
    do {
        n = readable ? ::write(m_wakeFd, &value, sizeof value) : ::read(m_wakeFd, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    m_signalled = readable;
}

// Debug builds: the eventfd is as the wake-up rule says, asked of the kernel.
bool EventLoop::WakeUpInStep() {
    std::lock_guard lock(m_mutex);
    pollfd p{m_wakeFd, POLLIN, 0};
    const bool readable = ::poll(&p, 1, 0) == 1;
    const bool queued = !m_queue.empty();
    return readable == m_signalled && (m_exposed ? readable == queued : !readable || queued);
}

void EventLoop::PushLocked(Entry entry) {
    m_queue.push_back(std::move(entry));
    // While epoll's reports are turned into messages nothing outside the layer runs, and
    // the pump brings the wake-up in step before it dispatches.
    if (collecting) return;
    UpdateWakeUpLocked(/*unseenPost=*/!pumping);
}

int EventLoop::ExposeFd() {
    std::lock_guard lock(m_mutex);
    m_exposed = true;
    UpdateWakeUpLocked(false);
    return m_epollFd;
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
    UpdateWakeUpLocked(false);
}

int EventLoop::Watch(int fd, uint32_t generation, uint32_t interest, bool& watched, uint32_t mode) {
    static_assert(EPOLLONESHOT_BIT == EPOLLONESHOT);
    using testing::SystemCall::EpollCtl;
    if (interest == 0) {
        if (watched) {
            // Leaving the set fails only for a descriptor that is no longer in it (closed
            // behind the layer's back): it is out all the same.
            SystemCall(EpollCtl, [&] { return ::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr); });
            watched = false;
        }
        return 0;
    }
    epoll_event ev{};
    ev.events = interest | mode;
    ev.data.u64 = uint64_t{generation} << 32 | static_cast<uint32_t>(fd);
    if (watched) {
        if (SystemCall(EpollCtl, [&] { return ::epoll_ctl(m_epollFd, EPOLL_CTL_MOD, fd, &ev); }) == 0) return 0;
        if (errno != ENOENT) return errno;
        watched = false;  // the descriptor was closed behind our back and its number reused
    }
    if (SystemCall(EpollCtl, [&] { return ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &ev); }) < 0) return errno;
    watched = true;
    return 0;
}

void EventLoop::Collect(int timeoutMs) {
    epoll_event events[64];
    int n;
    do {
        n = ::epoll_wait(m_epollFd, events, 64, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n < 0) Die("epoll_wait");  // only a broken loop descriptor fails here
    collecting = true;
    for (int i = 0; i < n; ++i) {
        // The loop's own descriptors are entered with generation 0, every socket with more.
        const int fd = static_cast<int>(static_cast<uint32_t>(events[i].data.u64));
        const auto generation = static_cast<uint32_t>(events[i].data.u64 >> 32);
        if (generation == 0 && fd == m_wakeFd) continue;
        if (generation == 0 && fd == m_timerFd) {
            RunDueTimers();
            continue;
        }
        if (generation == 0) {
            for (const auto& watched : m_readable) {
                if (watched.first != fd) continue;
                PostTask([this, fd, onReadable = watched.second] {
                    onReadable();
                    epoll_event again{};
                    again.events = EPOLLIN | EPOLLONESHOT;
                    again.data.u64 = static_cast<uint32_t>(fd);
                    ::epoll_ctl(m_epollFd, EPOLL_CTL_MOD, fd, &again);
                    return false;
                });
            }
            continue;
        }
        OnSocketReady(fd, generation, events[i].events);
    }
    collecting = false;
}

bool EventLoop::QueueEmpty() {
    std::lock_guard lock(m_mutex);
    return m_queue.empty();
}

int EventLoop::Pump(std::chrono::milliseconds maxWait, bool stopAtQuit) {
    CheckLoopThread("PumpMessages");
    struct Pumping {
        bool outer = std::exchange(pumping, true);
        ~Pumping() { pumping = outer; }
    } inside;
    using Clock = std::chrono::steady_clock;
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
    // Whatever is left for the next Pump keeps the loop descriptor readable, also when
    // a handler's exception leaves the pump.
    struct KeepInStep {
        EventLoop& loop;
        ~KeepInStep() {
            std::lock_guard lock(loop.m_mutex);
            loop.UpdateWakeUpLocked(false);
        }
    };
    int dispatched = 0;
    {
        const KeepInStep keepInStep{*this};
        while (budget-- > 0 && !(stopAtQuit && m_quit)) {
            Entry entry;
            {
                std::lock_guard lock(m_mutex);
                if (m_queue.empty()) break;
                entry = std::move(m_queue.front());
                m_queue.pop_front();
                // A handler may wait on the descriptor in a loop of its own.
                UpdateWakeUpLocked(false);
            }
            const bool delivered =
                entry.task ? entry.task() : DispatchToWindow(entry.hwnd, entry.msg, entry.wParam, entry.lParam);
            if (delivered) ++dispatched;
            // What a handler let out leaves the pump here; the queue holds the rest.
            if (auto error = TakeExceptionOfDispatch()) std::rethrow_exception(error);
        }
    }
    assert(WakeUpInStep());
    return dispatched;
}

int EventLoop::Run() {
    CheckLoopThread("RunMessageLoop");
    while (!m_quit) Pump(std::chrono::milliseconds(-1), true);
    m_quit = false;
    return m_exitCode;
}

void EventLoop::Quit(int exitCode) {
    m_exitCode = exitCode;
    m_quit = true;
}

}  // namespace platform::detail
