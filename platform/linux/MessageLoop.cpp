#include "platform/MessageLoop.h"

#include "platform/linux/EventLoop.h"

namespace platform {

int PumpMessages(std::chrono::milliseconds maxWait) {
    return detail::EventLoop::Instance().Pump(maxWait, false);
}

int RunMessageLoop() { return detail::EventLoop::Instance().Run(); }

void PostQuitMessage(int exitCode) { detail::EventLoop::Instance().Quit(exitCode); }

int MessageLoopFd() { return detail::EventLoop::Instance().ExposeFd(); }

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd == 0) return 0;
    detail::EventLoop::Instance().Post(hwnd, msg, wParam, lParam);
    return 1;
}

}  // namespace platform
