// SPDX-License-Identifier: MIT
// The message loop on Windows: the thread's own message queue.
//
// PumpMessages and RunMessageLoop dispatch what PeekMessageA hands out. A quit
// request (PostQuitMessage here, or a WM_QUIT that another part of the program
// posted, such as QuitOnSignals' console handler) ends RunMessageLoop after the
// message being handled, as on Linux, and leaves the messages still queued for later.
#include "platform/MessageLoop.h"

#include <csignal>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <string>
#include <system_error>

#include "platform/Window.h"

namespace platform {

namespace {

struct Quit {
    bool requested = false;
    int exitCode = 0;
};

thread_local Quit quit;

// More than this many messages in one pump yields to the caller: a handler that
// always posts another message must not keep PumpMessages(0ms) from returning.
constexpr int kBudget = 4096;

bool Pending() {
    MSG m;
    return ::PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE) != 0;
}

void WaitForMessage(std::chrono::milliseconds maxWait, bool stopAtQuit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + maxWait;
    while (!Pending() && !(stopAtQuit && quit.requested)) {
        DWORD timeout = INFINITE;
        if (maxWait.count() >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return;
            timeout = static_cast<DWORD>(std::min<long long>(left, 1 << 30));
        }
        ::MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

int Pump(std::chrono::milliseconds maxWait, bool stopAtQuit) {
    if (maxWait.count() != 0) WaitForMessage(maxWait, stopAtQuit);
    int dispatched = 0;
    MSG m;
    for (int budget = kBudget; budget > 0 && !(stopAtQuit && quit.requested); --budget) {
        if (!::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) break;
        if (m.message == WM_QUIT) {
            quit.requested = true;
            quit.exitCode = static_cast<int>(m.wParam);
            break;
        }
        // A message for a window destroyed since it was posted goes nowhere.
        if (m.hwnd != nullptr && !::IsWindow(m.hwnd)) continue;
        ::TranslateMessage(&m);
        ::DispatchMessageA(&m);
        if (m.hwnd != nullptr) ++dispatched;
        // What a handler let out leaves the pump here; the queue holds the rest.
        if (auto error = detail::TakeExceptionOfDispatch()) std::rethrow_exception(error);
    }
    return dispatched;
}

// QuitOnSignals: the loop's thread and the signals asked for, one bit each. The
// console control handler runs on a thread of its own, so it only posts.
std::atomic<DWORD> signalLoopThread{0};
std::atomic<unsigned> signalsWanted{0};

unsigned Bit(int signo) { return 1u << signo; }
bool Wanted(int signo) { return (signalsWanted.load() & Bit(signo)) != 0; }

// The signal that stands for a console event, or 0 when none of those asked for does.
int SignalFor(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT: return Wanted(SIGINT) ? SIGINT : 0;
        case CTRL_BREAK_EVENT: return Wanted(SIGBREAK) ? SIGBREAK : Wanted(SIGTERM) ? SIGTERM : 0;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: return Wanted(SIGTERM) ? SIGTERM : 0;
        default: return 0;
    }
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    const int signo = SignalFor(event);
    if (signo == 0) return FALSE;  // the next handler, or the default (ending the process)
    ::PostThreadMessageA(signalLoopThread.load(), WM_QUIT, static_cast<WPARAM>(128 + signo), 0);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Returning lets the system end the process at once: wait instead, while the
        // loop's thread finishes. The process ends when main returns, or when the
        // system's grace time is over.
        ::Sleep(10000);
    }
    return TRUE;
}

}  // namespace

int PumpMessages(std::chrono::milliseconds maxWait) { return Pump(maxWait, false); }

int RunMessageLoop() {
    while (!quit.requested) Pump(std::chrono::milliseconds(-1), true);
    quit.requested = false;
    return quit.exitCode;
}

void PostQuitMessage(int exitCode) {
    quit.requested = true;
    quit.exitCode = exitCode;
}

void QuitOnSignals(std::initializer_list<int> signalNumbers) {
    unsigned wanted = 0;
    for (const int signo : signalNumbers) {
        if (signo != SIGINT && signo != SIGTERM && signo != SIGBREAK) {
            throw std::system_error(EINVAL, std::generic_category(),
                                    "no console event stands for signal " + std::to_string(signo));
        }
        wanted |= Bit(signo);
    }
    signalLoopThread = ::GetCurrentThreadId();
    if (signalsWanted.fetch_or(wanted) == 0 && !::SetConsoleCtrlHandler(&OnConsoleControl, TRUE)) {
        signalsWanted = 0;
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "SetConsoleCtrlHandler");
    }
}

std::optional<int> TakeQuitRequest() {
    if (quit.requested) {
        quit.requested = false;
        return quit.exitCode;
    }
    // A WM_QUIT that no pump has seen yet (posted by the console handler, say).
    MSG m;
    if (::PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return static_cast<int>(m.wParam);
    return std::nullopt;
}

}  // namespace platform
