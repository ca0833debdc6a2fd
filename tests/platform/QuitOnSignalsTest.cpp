// SPDX-License-Identifier: MIT
// QuitOnSignals: a stop signal ends RunMessageLoop promptly, with nothing else to do,
// and each signal is one quit request, used up by the loop that returns for it.
//
// A program of its own: signal dispositions belong to the whole process. On Linux
// the signal is sent to the process with kill, from another thread; on Windows it is
// the console's Ctrl+C, raised with GenerateConsoleCtrlEvent.
#include <gtest/gtest.h>

#include <signal.h>
#ifdef _WIN32
#include "platform/WinTypes.h"
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <system_error>
#include <thread>

#include "platform/MessageLoop.h"
#include "platform/Window.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Wine raises the console's Ctrl+C but not its Ctrl+Break: there both are SIGINT.
#ifdef _WIN32
constexpr int kFirstSignal = SIGINT;
#else
constexpr int kFirstSignal = SIGTERM;
#endif

// A window whose procedure turns WM_USER into PostQuitMessage(wParam): how another
// thread asks the loop to quit, and the watchdog that keeps a broken loop from
// hanging the test.
platform::LRESULT CALLBACK QuitProc(platform::HWND, platform::UINT msg, platform::WPARAM wParam, platform::LPARAM) {
    if (msg == platform::WM_USER) platform::PostQuitMessage(static_cast<int>(wParam));
    return 0;
}

class QuitOnSignals : public ::testing::Test {
protected:
    void SetUp() override {
        m_window = platform::CreateWindowExA(0, "STATIC", "quit test", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
        ASSERT_NE(m_window, platform::HWND{});
        platform::SetWindowLongA(m_window, platform::GWL_WNDPROC, &QuitProc);
#ifdef _WIN32
        // A console of its own, so that the events raised in it reach this process
        // alone (ctest gives the program none that takes them).
        FreeConsole();
        AllocConsole();
#endif
        platform::QuitOnSignals({SIGINT, SIGTERM});
    }
    void TearDown() override {
        if (m_helper.joinable()) m_helper.join();
        platform::DestroyWindow(m_window);
    }

    // After `delay`, from another thread: raises the signal and notes when.
    void SignalAfter(std::chrono::milliseconds delay, int signo) {
        m_helper = std::thread([this, delay, signo] {
            std::this_thread::sleep_for(delay);
            m_signalledAt = Clock::now();
            m_raised = Raise(signo);
        });
    }
    // After `delay`, from another thread: asks the loop to quit with `code`.
    void QuitAfter(std::chrono::milliseconds delay, int code) {
        m_helper = std::thread([this, delay, code] {
            std::this_thread::sleep_for(delay);
            platform::PostMessageA(m_window, platform::WM_USER, static_cast<platform::WPARAM>(code), 0);
        });
    }
    // Runs the loop with a watchdog: -1 when nothing but the watchdog ended it.
    int RunBounded() {
        std::atomic<bool> done{false};
        std::thread watchdog([&] {
            for (auto end = Clock::now() + 3s; !done && Clock::now() < end;) std::this_thread::sleep_for(5ms);
            if (!done) platform::PostMessageA(m_window, platform::WM_USER, static_cast<platform::WPARAM>(-1), 0);
        });
        const int code = platform::RunMessageLoop();
        m_returnedAt = Clock::now();
        done = true;
        watchdog.join();
        if (m_helper.joinable()) m_helper.join();
        return code;
    }
    std::chrono::milliseconds SignalToReturn() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(m_returnedAt - m_signalledAt.load());
    }

    static bool Raise(int signo) {
#ifdef _WIN32
        return GenerateConsoleCtrlEvent(signo == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT, 0) != 0;  // Break: SIGTERM
#else
        return ::kill(::getpid(), signo) == 0;
#endif
    }

    platform::HWND m_window{};
    std::thread m_helper;
    std::atomic<Clock::time_point> m_signalledAt{};
    std::atomic<bool> m_raised{false};
    Clock::time_point m_returnedAt{};
};

TEST_F(QuitOnSignals, RunMessageLoopReturnsWithin100msOfTheSignalAndEachSignalIsOneRequest) {
    // Nothing else happens: no socket, no message, no timer.
    SignalAfter(50ms, kFirstSignal);
    const int first = RunBounded();
    if (!m_raised) GTEST_SKIP() << "the stop signal could not be raised here";
    EXPECT_EQ(first, 128 + kFirstSignal);
    EXPECT_LT(SignalToReturn(), 100ms);

    // That request is used up: the next loop runs until its own.
    QuitAfter(150ms, 7);
    EXPECT_EQ(RunBounded(), 7) << "a loop after the signal stopped for the old request";

    // The handler is still there: another signal stops another loop, as promptly.
    SignalAfter(50ms, SIGINT);
    EXPECT_EQ(RunBounded(), 128 + SIGINT);
    EXPECT_LT(SignalToReturn(), 100ms);
}

TEST_F(QuitOnSignals, PumpMessagesStopsWaitingAndTakeQuitRequestHandsTheSignalOverOnce) {
    SignalAfter(50ms, SIGINT);
    const auto start = Clock::now();
    platform::PumpMessages(3000ms);
    const auto returned = Clock::now();
    m_helper.join();
    if (!m_raised) GTEST_SKIP() << "the stop signal could not be raised here";
    EXPECT_LT(returned - start, 1000ms) << "the signal did not end the wait";
    EXPECT_EQ(platform::TakeQuitRequest(), 128 + SIGINT);
    EXPECT_EQ(platform::TakeQuitRequest(), std::nullopt);
}

#ifndef _WIN32
TEST_F(QuitOnSignals, MessageLoopFdBecomesReadableForALoopThatEmbedsThisOne) {
    // The way poll, epoll or Qt learn of it: the descriptor, then one pump.
    const int fd = platform::MessageLoopFd();
    while (platform::PumpMessages(0ms) > 0) {
    }
    SignalAfter(20ms, SIGTERM);
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, 3000);  // the handler may interrupt it: poll is never restarted
    } while (ready < 0 && errno == EINTR);
    ASSERT_EQ(ready, 1) << "the descriptor did not wake the outer loop";
    platform::PumpMessages(0ms);
    EXPECT_EQ(platform::TakeQuitRequest(), 128 + SIGTERM);
}
#endif

TEST_F(QuitOnSignals, SignalThatCannotStopTheLoopIsRefused) {
#ifdef _WIN32
    const int uncatchable = SIGSEGV;  // no console event stands for it
#else
    const int uncatchable = SIGKILL;
#endif
    EXPECT_THROW(platform::QuitOnSignals({uncatchable}), std::system_error);
}

}  // namespace
