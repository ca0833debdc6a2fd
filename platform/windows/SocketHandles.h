// SPDX-License-Identifier: MIT
// Internal to the Windows pass-through: the socket handle's two widths, and which
// windows each socket's notifications go to.
//
// Windows hands a closed socket's handle value out again, as Linux does with a
// descriptor, only later. A notification still queued for the closed socket would
// then reach the new socket. Windows leaves such messages queued, and the socket
// object could not tell them apart, so closesocket takes them out of the queue,
// as the substitute does on Linux.
#pragma once

#include <climits>
#include <cstdint>

#include "platform/WinTypes.h"

namespace platform::detail {

// The narrow handle and the Windows one: kernel handles fit in 32 bits, and
// INVALID_SOCKET is all ones in either width (see SOCKET in WinTypes.h).
inline ::SOCKET Wide(SOCKET s) {
    return s == INVALID_SOCKET ? ~::SOCKET{0} : static_cast<::SOCKET>(static_cast<uint32_t>(s));
}
inline SOCKET Narrow(::SOCKET s) {
    return s == ~::SOCKET{0} ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<uint32_t>(s));
}
// A handle that a socket object could not keep (never seen: handles are small).
inline bool FitsNarrow(::SOCKET s) { return s <= static_cast<::SOCKET>(INT32_MAX); }

// Remembers that s notifies (hwnd, msg).
void RememberRegistration(SOCKET s, HWND hwnd, UINT msg);
// An accepted socket notifies where its listener does.
void InheritRegistration(SOCKET listener, SOCKET accepted);
// Takes every notification still queued for s out of the thread's queue, for every
// registration it ever had, and forgets s.
void WithdrawNotifications(SOCKET s);

}  // namespace platform::detail
