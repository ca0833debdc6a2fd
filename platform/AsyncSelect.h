// SPDX-License-Identifier: MIT
// WSAAsyncSelect: a socket's network events as messages to a window.
#pragma once

#include "platform/WinTypes.h"

namespace platform {

// Asks for the events in lEvent as messages wMsg to hwnd: wParam the socket,
// LOWORD(lParam) the event, HIWORD(lParam) the error. Makes the socket
// non-blocking. One message per event until the call that re-enables it; a
// message at once for a condition that already holds. lEvent 0 cancels.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT wMsg, long lEvent);

}  // namespace platform
