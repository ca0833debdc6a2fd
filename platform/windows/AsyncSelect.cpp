// SPDX-License-Identifier: MIT
// WSAAsyncSelect on Windows: straight through, remembering where each socket's
// notifications go (SocketHandles.h).
#include "platform/AsyncSelect.h"

#include <map>
#include <utility>
#include <vector>

#include "platform/Testing.h"
#include "platform/windows/SocketHandles.h"

namespace platform {

namespace {

// Every (window, message) a socket was registered with, so that closesocket can
// withdraw what is still queued for it, a cancelled registration's messages too.
std::map<SOCKET, std::vector<std::pair<HWND, UINT>>>& Registrations() {
    static std::map<SOCKET, std::vector<std::pair<HWND, UINT>>> registrations;
    return registrations;
}

void Remember(SOCKET s, HWND hwnd, UINT msg) {
    auto& list = Registrations()[s];
    for (const auto& r : list) {
        if (r.first == hwnd && r.second == msg) return;
    }
    list.emplace_back(hwnd, msg);
}

// Takes the socket's notifications out of the thread's queue. The queue cannot be
// edited in place: every message of that number for that window is taken out, and
// the other sockets' are posted again in their order.
void Withdraw(SOCKET s) {
    auto it = Registrations().find(s);
    if (it == Registrations().end()) return;
    for (const auto& [hwnd, msg] : it->second) {
        std::vector<MSG> others;
        MSG m;
        while (::PeekMessageA(&m, hwnd, msg, msg, PM_REMOVE | PM_NOYIELD)) {
            if (static_cast<SOCKET>(m.wParam) != s) others.push_back(m);
        }
        for (const MSG& o : others) ::PostMessageA(o.hwnd, o.message, o.wParam, o.lParam);
    }
    Registrations().erase(it);
}

}  // namespace

namespace detail {

void RememberRegistration(SOCKET s, HWND hwnd, UINT msg) { Remember(s, hwnd, msg); }

void InheritRegistration(SOCKET listener, SOCKET accepted) {
    const auto it = Registrations().find(listener);
    if (it == Registrations().end()) return;
    const auto list = it->second;  // Remember may grow the map
    for (const auto& [hwnd, msg] : list) Remember(accepted, hwnd, msg);
}

void WithdrawNotifications(SOCKET s) { Withdraw(s); }

}  // namespace detail

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT wMsg, long lEvent) {
    if (lEvent != 0) {
        if (const int failure = testing::detail::TakeAsyncSelectFailure()) {
            ::WSASetLastError(failure);
            return SOCKET_ERROR;
        }
    }
    if (::WSAAsyncSelect(detail::Wide(s), hwnd, wMsg, lEvent) == SOCKET_ERROR) return SOCKET_ERROR;
    if (lEvent != 0 && wMsg != 0) Remember(s, hwnd, wMsg);
    return 0;
}

}  // namespace platform
