#include "inet/cSocket/client/CloseOnSignal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <QApplication>
#include <QSocketNotifier>

namespace {

int wakeFds[2] = {-1, -1};  // [0] read by the GUI thread, [1] written by the handler

void OnSignal(int number) {
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t n = ::write(wakeFds[1], &byte, 1);
    ::signal(number, SIG_DFL);  // the next one is not caught
    errno = saved;
}

}  // namespace

CloseOnSignal::CloseOnSignal(QObject* parent) : QObject(parent) {
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) return;  // then the signals keep their default
    auto* notifier = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &CloseOnSignal::CloseWindows);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

CloseOnSignal::~CloseOnSignal() {
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    for (int& fd : wakeFds) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void CloseOnSignal::CloseWindows() {
    char bytes[16];
    while (::read(wakeFds[0], bytes, sizeof bytes) > 0) {
    }
    QApplication::closeAllWindows();
}
