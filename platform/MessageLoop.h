// SPDX-License-Identifier: MIT
// The message loop of the thread that owns every socket object.
//
// Messages are (window, message, wParam, lParam) quadruples in one first-in,
// first-out queue. Socket notifications and host-lookup completions are posted
// into it by the substitute Windows Sockets layer; PostMessageA adds others.
// Everything is dispatched on the thread that pumps, and every socket object's
// event handler runs inside a dispatch. The first thread that pumps (or makes a
// socket or window) is the loop's thread; on Linux, debug builds stop with a
// message when another thread calls in. Only PostMessageA may be called from any
// thread.
//
// A program either lets the loop run (RunMessageLoop, until PostQuitMessage or a
// signal named to QuitOnSignals), or drives it from a loop of its own: it calls
// PumpMessages(0ms) whenever MessageLoopFd() is readable (Linux), or lets its own
// loop dispatch the thread's messages (Windows).
//
// An exception that a window procedure lets out (through the socket component: one
// that a host's event handler threw) leaves PumpMessages or RunMessageLoop, and the
// loop can be pumped again afterwards; the messages not yet dispatched stay queued.
#pragma once

#include <chrono>
#include <initializer_list>
#include <optional>

#include "platform/WinTypes.h"

namespace platform {

// PumpMessages()
//
// Dispatches the messages that are ready, a bounded batch of them: what is left
// stays for the next call. When none is ready, waits up to maxWait for the first:
// 0ms does not wait, a negative maxWait waits without limit. A signal named to
// QuitOnSignals ends the wait early. Returns how many messages reached a window (0
// when the time ran out). It does not stop at a quit request: that waits for
// RunMessageLoop, or for TakeQuitRequest. Call it from outside any event handler:
// a handler that pumps may be entered again for the same object.
int  PumpMessages(std::chrono::milliseconds maxWait);

// RunMessageLoop()
//
// Waits for messages and dispatches them until a quit request: PostQuitMessage, or
// a signal named to QuitOnSignals. Returns that request's exit code (128 plus the
// signal's number for a signal: 130 for SIGINT, 143 for SIGTERM), once the message
// being handled is done; messages still queued stay for later. The request is
// then used up, so a later RunMessageLoop runs until the next one. A request made
// while no RunMessageLoop ran (from inside PumpMessages, say) makes the next one
// return at once. Call it from outside any event handler, as PumpMessages.
int  RunMessageLoop();

// PostQuitMessage()
//
// Makes RunMessageLoop return exitCode once the message being handled is done (at
// once if none runs yet). Call it on the loop's thread, typically from an event
// handler; it is not safe in a signal handler (use QuitOnSignals for signals). A
// second request before the first is used replaces its exit code.
void PostQuitMessage(int exitCode);

// QuitOnSignals()
//
// From now on each of these signals asks the loop to quit, as PostQuitMessage(128 +
// the signal's number) would, but safely: a RunMessageLoop that waits with nothing
// to do returns promptly (within milliseconds), and PumpMessages stops waiting.
//
//   platform::QuitOnSignals({SIGINT, SIGTERM});
//   const int status = platform::RunMessageLoop();   // 130 after Ctrl-C, 143 after SIGTERM
//
// Call it on the loop's thread, before the signals may come; calling it again adds
// signals. Every later signal of the list is one more request, so a second Ctrl-C
// stops a second RunMessageLoop too (a program that wants it to kill instead
// restores the default itself). A signal that came before a RunMessageLoop makes
// that loop return at once; one that a loop already returned for is used up.
//
// Linux: the handler (sigaction, SA_RESTART) only writes the signal's number into
// a pipe that the loop watches; the loop's thread then makes the request. Any
// signal that can be caught may be named; SIGKILL, SIGSTOP or a number that is no
// signal throw std::system_error, and so does a failure to make the pipe.
// Windows: a console control handler (SetConsoleCtrlHandler) posts WM_QUIT to the
// loop's thread, so any loop that dispatches that thread's messages ends too. SIGINT
// stands for Ctrl+C; SIGBREAK for Ctrl+Break; SIGTERM for closing the console,
// logging off or shutting down (and for Ctrl+Break when SIGBREAK is not named).
// Other signals throw std::system_error. After a close, log-off or shut-down the
// system ends the process when its own grace time (about 5 s) is over.
// (The parameter is not called `signals`: Qt defines that word as a macro.)
void QuitOnSignals(std::initializer_list<int> signalNumbers);

// TakeQuitRequest()
//
// For a program that drives the loop with PumpMessages from a loop of its own: the
// exit code of a quit request that is waiting (PostQuitMessage, or a signal named
// to QuitOnSignals), which is then used up; nullopt when none waits. Ask after
// each PumpMessages:
//
//   while (!platform::TakeQuitRequest()) { poll(...); platform::PumpMessages(0ms); }
std::optional<int> TakeQuitRequest();

#ifndef _WIN32
// MessageLoopFd()
//
// A descriptor that is readable whenever PumpMessages(0ms) has work: lets another
// event loop (poll, epoll, Qt's) drive this one. Watch it for reading, level-
// triggered, and call PumpMessages(0ms) when it is readable; it stays readable
// while work is left (PumpMessages dispatches a bounded batch per call), and a
// signal named to QuitOnSignals makes it readable too. Never read it, write it or
// close it. The same descriptor for the life of the process.
int  MessageLoopFd();
#endif
// On Windows the queue is the thread's own message queue: there is no such
// descriptor, and none is needed, since any loop that dispatches the thread's
// messages (Qt's, a dialog's, GetMessage/DispatchMessage) drives the sockets too.
// Socket notifications then reach the hidden window without PumpMessages.

// PostMessageA()
//
// Queues a message for the window; safe from any thread. A message whose window no
// longer exists when its turn comes is dropped. Returns FALSE only for window 0
// (on Windows, window 0 posts to the thread, as Windows' own PostMessageA does).
#ifdef _WIN32
using ::PostMessageA;
#else
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
#endif

}  // namespace platform
