// SPDX-License-Identifier: MIT
// Host lookups of Windows Sockets: by name, asynchronously, with the answer posted as
// a message; by address, blocking.
#pragma once

#ifndef _WIN32
#include <netdb.h>
#endif

#include "platform/WinTypes.h"

namespace platform {

// Starts a lookup of name; its completion comes as message wMsg to hwnd with
// wParam the returned handle, LOWORD(lParam) the result's length and
// HIWORD(lParam) the error. On success buf holds a hostent and all it points to.
// buf must stay valid until the completion has been dispatched. Returns 0 on failure.
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT wMsg, const char* name, char* buf, int buflen);
// Withdraws a lookup: no completion will be posted for it.
int WSACancelAsyncRequest(HANDLE asyncTaskHandle);
// Whether a lookup still runs: its completion has been neither delivered nor
// withdrawn, and its buffer may still be written. A completion message that names a
// lookup still running did not come from it. (Not a Windows call. Windows cannot tell
// of its own lookups without withdrawing them, so there only the test seam's steered
// lookups answer true, and a message that names one of Windows' lookups is taken as
// its completion.)
bool AsyncRequestRunning(HANDLE asyncTaskHandle);

// Blocking reverse lookup; the record stays valid until the next call on this thread.
hostent* gethostbyaddr(const char* addr, int len, int type);

}  // namespace platform
