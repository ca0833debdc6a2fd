// SPDX-License-Identifier: MIT
// The message loop, hidden windows and registered messages.
#ifndef _WIN32
#include <poll.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <thread>

#ifndef _WIN32
#include "platform/linux/EventLoop.h"
#endif
#include "tests/platform/PlatformTest.h"

namespace platformtest {
namespace {

class LoopTest : public PlatformTest {};

#ifndef _WIN32
bool LoopFdReadable() {
    pollfd p{MessageLoopFd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}
#endif

TEST_F(LoopTest, RegisteredMessageNumbersAreStablePerNameAndAboveC000) {
    const UINT a = RegisterWindowMessageA("loop test A");
    EXPECT_GE(a, 0xC000u);
    EXPECT_LE(a, 0xFFFFu);
    EXPECT_EQ(RegisterWindowMessageA("loop test A"), a);
    EXPECT_EQ(RegisterWindowMessageA("LOOP TEST a"), a) << "names compare without regard to case";
    const UINT b = RegisterWindowMessageA("loop test B");
    EXPECT_GE(b, 0xC000u);
    EXPECT_NE(b, a);
    EXPECT_EQ(RegisterWindowMessageA(""), 0u);
    EXPECT_EQ(RegisterWindowMessageA(nullptr), 0u);
}

TEST_F(LoopTest, OnlyStaticWindowsAreCreatedAndTheirProcedureCanBeReplaced) {
#ifndef _WIN32
    EXPECT_EQ(CreateWindowExA(0, "BUTTON", "", 0, 0, 0, 0, 0, 0, 0, 0, nullptr), 0u) << "the substitute has no other class";
#endif
    const HWND w = CreateWindowExA(0, "static", "", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    ASSERT_NE(w, HWND{});
    EXPECT_NE(w, m_hwnd) << "handles are never handed out twice";

    const WNDPROC original = SetWindowLongA(w, GWL_WNDPROC, &RecordingProc);
    ASSERT_NE(original, nullptr);
    EXPECT_EQ(CallWindowProcA(original, w, WM_GETDLGCODE, 0, 0), DLGC_STATIC);
    EXPECT_EQ(SetWindowLongA(w, GWL_WNDPROC, original), &RecordingProc) << "returns the procedure it replaced";

    EXPECT_TRUE(DestroyWindow(w));
    EXPECT_FALSE(IsWindow(w));
    EXPECT_EQ(SetWindowLongA(w, GWL_WNDPROC, &RecordingProc), nullptr);
}

TEST_F(LoopTest, MessagesAreDispatchedInOrderAndThoseForADestroyedWindowAreDropped) {
    const HWND doomed = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    SetWindowLongA(doomed, GWL_WNDPROC, &RecordingProc);
    EXPECT_TRUE(PostMessageA(m_hwnd, WM_USER, 1, 0));
    EXPECT_TRUE(PostMessageA(doomed, WM_USER, 2, 0));
    EXPECT_TRUE(PostMessageA(m_hwnd, WM_USER, 3, 0));
#ifndef _WIN32
    EXPECT_FALSE(PostMessageA(HWND{}, WM_USER, 4, 0)) << "the substitute has no thread messages";
#endif
    DestroyWindow(doomed);

    EXPECT_EQ(PumpMessages(0ms), 2);
    std::vector<WPARAM> posted;  // Windows also sends the doomed window its WM_DESTROY
    for (const Record& r : Received()) {
        if (r.msg == WM_USER) posted.push_back(r.wParam);
    }
    EXPECT_EQ(posted, (std::vector<WPARAM>{1, 3}));
    EXPECT_EQ(PumpMessages(0ms), 0);
}

TEST_F(LoopTest, PostFromAnotherThreadWakesAWaitingPump) {
    std::thread poster([this] {
        std::this_thread::sleep_for(50ms);
        PostMessageA(m_hwnd, WM_USER, 42, 0);
    });
    const auto start = std::chrono::steady_clock::now();
    const int dispatched = PumpMessages(3000ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    poster.join();
    EXPECT_EQ(dispatched, 1);
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Received()[0].wParam, 42u);
    EXPECT_LT(waited, 1000ms) << "the pump slept through the post";
}

TEST_F(LoopTest, PumpWaitsItsFullTimeWhenReadinessYieldsNoMessage) {
    int peer;
    const SOCKET s = ConnectedPair(peer);
    ASSERT_EQ(Register(s, FD_CLOSE), 0);
    // The peer's close wakes the loop, but unread data holds FD_CLOSE back.
    std::thread closer([peer] {
        std::this_thread::sleep_for(50ms);
        testsupport::RawSend(peer, "x", 1);
        testsupport::RawShutdownSend(peer);
    });
    const auto start = std::chrono::steady_clock::now();
    const int dispatched = PumpMessages(300ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    closer.join();
    EXPECT_EQ(dispatched, 0);
    EXPECT_GE(waited, 290ms) << "the pump returned early";
    EXPECT_TRUE(Received().empty());

    char c;
    ASSERT_EQ(platform::recv(s, &c, 1, 0), 1);
    EXPECT_TRUE(PumpUntil([&] { return Got(s, FD_CLOSE); }, 1000ms)) << "no FD_CLOSE once the data was read";
}

#ifndef _WIN32
TEST_F(LoopTest, LoopDescriptorIsReadableExactlyWhileThereIsWork) {
    EXPECT_FALSE(LoopFdReadable());
    PostMessageA(m_hwnd, WM_USER, 0, 0);
    EXPECT_TRUE(LoopFdReadable());
    EXPECT_EQ(PumpMessages(0ms), 1);
    EXPECT_FALSE(LoopFdReadable());

    int peer;
    const SOCKET s = ConnectedPair(peer);
    ASSERT_EQ(Register(s, FD_READ), 0);
    EXPECT_FALSE(LoopFdReadable()) << "nothing to read yet";
    ASSERT_EQ(testsupport::RawSend(peer, "x", 1), 1);
    pollfd p{MessageLoopFd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1) << "data arrived but the loop descriptor stayed quiet";
    EXPECT_EQ(PumpMessages(0ms), 1);
    EXPECT_EQ(Events(s), std::vector<int>{FD_READ});
    EXPECT_FALSE(LoopFdReadable()) << "the FD_READ waits for a recv: nothing more to do";
}

// Until the descriptor is handed out, handlers' posts skip the wake-up: nothing they
// post may be lost or waited for, and the descriptor, once asked for, tells of it.
TEST_F(LoopTest, PostsFromHandlersAreNeverWaitedForAndShowOnceTheDescriptorIsAskedFor) {
    int chain = 0;
    OnRecord() = [&](const Record& r) {
        // Each message posts the next, more than one pump takes: some are left over.
        if (r.wParam == 1 && ++chain < 100) PostMessageA(m_hwnd, WM_USER, 1, 0);
    };
    PostMessageA(m_hwnd, WM_USER, 1, 0);
    const int first = PumpMessages(0ms);
    EXPECT_GT(first, 0);
    EXPECT_LT(first, 100) << "the chain should outlast one pump";
    const auto start = std::chrono::steady_clock::now();
    while (chain < 100 && std::chrono::steady_clock::now() - start < 2000ms) PumpMessages(3000ms);
    EXPECT_EQ(chain, 100);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms) << "a pump waited with messages queued";

    chain = 0;
    PostMessageA(m_hwnd, WM_USER, 1, 0);
    PumpMessages(0ms);
    ASSERT_LT(chain, 100);
    EXPECT_TRUE(LoopFdReadable()) << "asked for while messages wait, the descriptor must show them";
    while (chain < 100 && LoopFdReadable()) PumpMessages(0ms);
    EXPECT_EQ(chain, 100);
    EXPECT_FALSE(LoopFdReadable());
}
#endif

#ifndef _WIN32
// The substitute's timers serve independent users (the accept probe, the nudge after a
// close): starting or cancelling one leaves every other to run.
TEST_F(LoopTest, TimersRunIndependentlyAndOnlyTheirOwnCancelStopsThem) {
    auto& loop = platform::detail::EventLoop::Instance();
    std::vector<int> ran;
    loop.RunAfter(150ms, [&] { ran.push_back(2); });
    const auto cancelled = loop.RunAfter(10ms, [&] { ran.push_back(0); });
    loop.RunAfter(5ms, [&] {
        ran.push_back(1);
        loop.RunAfter(1ms, [&] { ran.push_back(3); });  // started from a timer
    });
    loop.CancelTimer(cancelled);
    ASSERT_TRUE(PumpUntil([&] { return ran.size() >= 3; }, 2000ms));
    PumpFor(30ms);
    std::vector<int> sorted = ran;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<int>{1, 2, 3})) << "a timer was lost, or the cancelled one ran";
    EXPECT_LT(std::find(ran.begin(), ran.end(), 1), std::find(ran.begin(), ran.end(), 3));
}
#endif

TEST_F(LoopTest, RunMessageLoopReturnsTheQuitCodeAndLeavesLaterMessagesQueued) {
    OnRecord() = [](const Record& r) {
        if (r.wParam == 1) PostQuitMessage(7);
    };
    PostMessageA(m_hwnd, WM_USER, 1, 0);
    PostMessageA(m_hwnd, WM_USER, 2, 0);
    EXPECT_EQ(RunMessageLoop(), 7);
    EXPECT_EQ(Received().size(), 1u);
    EXPECT_EQ(PumpMessages(0ms), 1);
    EXPECT_EQ(Received().size(), 2u);
}

TEST_F(LoopTest, QuitRequestedOutsideTheLoopDoesNotStopPumpMessages) {
    PostQuitMessage(3);
    PostMessageA(m_hwnd, WM_USER, 0, 0);
    EXPECT_EQ(PumpMessages(0ms), 1);
    EXPECT_EQ(RunMessageLoop(), 3) << "the request still ends the next RunMessageLoop at once";
}

TEST_F(LoopTest, ACallFromAnotherThreadStopsADebugBuildWithAClearMessage) {
#if defined(NDEBUG) || defined(_WIN32)
    GTEST_SKIP() << "the check is made in debug builds of the Linux substitute";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            PumpMessages(0ms);  // the loop's thread is this one
            std::thread other([] { platform::socket(AF_INET, SOCK_STREAM, 0); });
            other.join();
        },
        "a Windows Sockets call was called on a thread that is not the loop's");
#endif
}

}  // namespace
}  // namespace platformtest
