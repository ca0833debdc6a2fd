// The message loop of the thread that owns every socket object.
//
// Messages are (window, message, wParam, lParam) quadruples in one first-in,
// first-out queue. Socket notifications and host-lookup completions are posted
// into it by the substitute Windows Sockets layer; PostMessageA adds others.
// Everything is dispatched on the thread that pumps; only PostMessageA may be
// called from any thread.
#pragma once

#include <chrono>

#include "platform/WinTypes.h"

namespace platform {

// Dispatches every message that is ready; when none is, waits up to maxWait for the first.
// A negative maxWait waits without limit. Returns how many messages were dispatched.
int  PumpMessages(std::chrono::milliseconds maxWait);
// Dispatches until PostQuitMessage; returns its exit code.
int  RunMessageLoop();
// Makes RunMessageLoop return once the message being handled is done (at once if none
// runs yet); messages still queued stay for later. PumpMessages does not look at it.
void PostQuitMessage(int exitCode);
#ifndef _WIN32
// A descriptor that is readable whenever PumpMessages(0ms) has work: lets another
// event loop (Qt's) drive this one.
int  MessageLoopFd();
#endif
// On Windows the queue is the thread's own message queue: there is no such
// descriptor, and none is needed, since any loop that dispatches the thread's
// messages (Qt's, a dialog's, GetMessage/DispatchMessage) drives the sockets too.
// Socket notifications then reach the hidden window without PumpMessages.

// Queues a message for the window; safe from any thread. A message whose window no
// longer exists when its turn comes is dropped. Returns FALSE only for window 0
// (on Windows, window 0 posts to the thread, as Windows' own PostMessageA does).
#ifdef _WIN32
using ::PostMessageA;
#else
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
#endif

}  // namespace platform
