// SPDX-License-Identifier: MIT
#include "platform/MessageLoop.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/linux/EventLoop.h"

namespace platform {

namespace {

// QuitOnSignals' self-pipe: the handler writes the signal's number into [1]; the
// loop watches [0]. Made once, kept for the life of the process.
int quitPipe[2] = {-1, -1};

extern "C" void OnQuitSignal(int signo) {
    // Only what is safe in a signal handler: a write that cannot block. When the pipe
    // is full, the requests already in it stand for this one.
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(quitPipe[1], &byte, 1);
    errno = saved;
}

// On the loop's thread: every signal that came since the last look is one request,
// and the last one's number makes the exit code.
void TakeSignals() {
    unsigned char bytes[64];
    int last = 0;
    ssize_t n;
    while ((n = ::read(quitPipe[0], bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) last = bytes[n - 1];
    }
    if (last != 0) detail::EventLoop::Instance().Quit(128 + last);
}

}  // namespace

int PumpMessages(std::chrono::milliseconds maxWait) {
    return detail::EventLoop::Instance().Pump(maxWait, false);
}

int RunMessageLoop() { return detail::EventLoop::Instance().Run(); }

void PostQuitMessage(int exitCode) { detail::EventLoop::Instance().Quit(exitCode); }

void QuitOnSignals(std::initializer_list<int> signalNumbers) {
    detail::CheckLoopThread("QuitOnSignals");
    if (quitPipe[0] < 0) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
        if (const int error = detail::EventLoop::Instance().WatchReadable(fds[0], TakeSignals); error != 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            throw std::system_error(error, std::generic_category(), "epoll_ctl");
        }
        quitPipe[0] = fds[0];
        quitPipe[1] = fds[1];
    }
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // other blocking calls of the program go on as before
    for (const int signo : signalNumbers) {
        if (::sigaction(signo, &action, nullptr) != 0) {
            throw std::system_error(errno, std::generic_category(), "sigaction " + std::to_string(signo));
        }
    }
}

std::optional<int> TakeQuitRequest() {
    // A signal that came since the last pump counts too, without waiting for one.
    if (quitPipe[0] >= 0) TakeSignals();
    int exitCode = 0;
    if (detail::EventLoop::Instance().TakeQuit(exitCode)) return exitCode;
    return std::nullopt;
}

int MessageLoopFd() { return detail::EventLoop::Instance().ExposeFd(); }

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd == 0) return 0;
    detail::EventLoop::Instance().Post(hwnd, msg, wParam, lParam);
    return 1;
}

}  // namespace platform
