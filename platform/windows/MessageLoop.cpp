// The message loop on Windows: the thread's own message queue.
//
// PumpMessages and RunMessageLoop dispatch what PeekMessageA hands out. A quit
// request (PostQuitMessage here, or a WM_QUIT that another part of the program
// posted) ends RunMessageLoop after the message being handled, as on Linux, and
// leaves the messages still queued for later.
#include "platform/MessageLoop.h"

#include <algorithm>
#include <exception>

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

}  // namespace platform
