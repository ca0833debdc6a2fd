// SPDX-License-Identifier: MIT
// Internal to the platform layer: the queue, the epoll set and the wake-up
// descriptor behind the public message loop.
//
// One instance per process, used from the loop thread, except Post and
// PostTask, which any thread may call. The epoll descriptor is the loop's
// readiness descriptor: the wake-up eventfd and the timers' timerfd sit in it, beside
// the sockets. When the wake-up eventfd is readable is decided in one place,
// UpdateWakeUpLocked.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/WinTypes.h"

namespace platform::detail {

// Debug builds stop the process with a clear message when `call` (a socket, window or
// loop call) comes from another thread than the loop's: the first that made one.
#ifdef NDEBUG
inline void CheckLoopThread(const char*) {}
#else
void CheckLoopThread(const char* call);
#endif

class EventLoop {
public:
    static EventLoop& Instance();

    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    int Fd() const { return m_epollFd; }
    // The descriptor, handed to a loop outside: from now on it is kept readable
    // exactly while the queue holds something.
    int ExposeFd();

    // Any thread.
    void Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    // Any thread: runs task on the loop thread in its turn among the messages; the task
    // tells whether it delivered a message.
    void PostTask(std::function<bool()> task);

    // Drops every queued message for (hwnd, msg, wParam): a closed socket's leftovers.
    void Withdraw(HWND hwnd, UINT msg, WPARAM wParam);

    // Watches fd with the given epoll interest and mode (EPOLLONESHOT or EPOLLET);
    // interest 0 stops watching. Returns 0, or the errno of an epoll_ctl that failed
    // (then `watched` tells whether fd is still in the set, with its old interest).
    // Reports carry `generation` beside fd, so that one for a socket closed since
    // (whose number may be in use again) is told from one for the socket now there.
    int Watch(int fd, uint32_t generation, uint32_t interest, bool& watched, uint32_t mode = EPOLLONESHOT_BIT);

    // Loop thread: `onTimer` runs once, from a pump, when `delay` is over; the loop
    // descriptor is readable then. Timers are independent of each other: each runs
    // unless it is cancelled by its own id.
    using TimerId = uint64_t;  // 0 is never one
    TimerId RunAfter(std::chrono::milliseconds delay, std::function<void()> onTimer);
    // Loop thread: the timer will not run. An id that ran or is 0 is ignored.
    void CancelTimer(TimerId id);

    // Loop thread: from now on, whenever fd (a descriptor of the caller's, such as the
    // read end of a self-pipe) is readable, a pump runs onReadable once, in its turn
    // among the messages; onReadable takes what made fd readable, and fd is watched
    // again after it. Returns 0, or the errno of the epoll_ctl that failed.
    int WatchReadable(int fd, std::function<void()> onReadable);

    static constexpr uint32_t EPOLLONESHOT_BIT = 1u << 30;  // the value of EPOLLONESHOT

    // stopAtQuit: a quit request ends the wait and the dispatching (RunMessageLoop);
    // PumpMessages leaves the request for the next RunMessageLoop.
    int Pump(std::chrono::milliseconds maxWait, bool stopAtQuit);
    int Run();
    void Quit(int exitCode);
    // A quit request not yet acted on: true and its exit code, and the request is gone.
    bool TakeQuit(int& exitCode) {
        if (!std::exchange(m_quit, false)) return false;
        exitCode = m_exitCode;
        return true;
    }

private:
    EventLoop();

    struct Entry {
        HWND hwnd;
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
        std::function<bool()> task;
    };

    struct Timer {
        std::chrono::steady_clock::time_point due;
        TimerId id;
        std::function<void()> run;
    };

    void PushLocked(Entry entry);
    void UpdateWakeUpLocked(bool unseenPost);
    bool WakeUpInStep();
    bool QueueEmpty();
    void Collect(int timeoutMs);
    void ArmTimerFd();
    void RunDueTimers();

    int m_epollFd = -1;
    int m_wakeFd = -1;
    int m_timerFd = -1;
    std::vector<Timer> m_timers;     // loop thread only; in no particular order
    TimerId m_lastTimer = 0;
    std::vector<std::pair<int, std::function<void()>>> m_readable;  // WatchReadable's descriptors
    std::mutex m_mutex;
    std::deque<Entry> m_queue;       // guarded by m_mutex
    bool m_quit = false;
    int m_exitCode = 0;
    bool m_signalled = false;        // guarded by m_mutex: the wake-up eventfd is readable
    bool m_exposed = false;          // guarded by m_mutex: see ExposeFd
};

}  // namespace platform::detail
