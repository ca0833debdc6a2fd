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
// A descriptor that is readable whenever PumpMessages(0ms) has work: lets another
// event loop (Qt's) drive this one.
int  MessageLoopFd();

// Queues a message for the window; safe from any thread. A message whose window no
// longer exists when its turn comes is dropped. Returns FALSE only for window 0.
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

}  // namespace platform
