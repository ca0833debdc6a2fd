// SPDX-License-Identifier: MIT
// Hidden windows and registered messages, as far as the socket layer needs them.
//
// A window here is only a target for posted messages: a handle and the procedure
// that handles them. Only the predefined "STATIC" kind can be created. Handles are
// never reused, so a message for a destroyed window can be recognised and dropped.
// All of it belongs to the loop thread.
#pragma once

#include <exception>
#include <utility>

#include "platform/WinTypes.h"

namespace platform {

// The same name, in any case, always gives the same number (0xC000 to 0xFFFF) for the
// life of the process; an empty or null name gives 0.
UINT RegisterWindowMessageA(const char* name);

// Creates a window of class "STATIC", in any case (any other class fails with 0).
// Only the class and the window name are looked at.
HWND CreateWindowExA(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                     int x, int y, int width, int height, HWND parent, uintptr_t menu,
                     HINSTANCE instance, void* param);

// With GWL_WNDPROC: installs newProc and returns the previous procedure; nullptr for
// an unknown window or another index.
WNDPROC SetWindowLongA(HWND hwnd, int index, WNDPROC newProc);

#ifdef _WIN32
// Windows' own: a second function of the same signature would make every call with
// a window argument ambiguous (argument-dependent lookup finds both).
using ::CallWindowProcA;
using ::DefWindowProcA;
using ::DestroyWindow;
using ::IsWindow;
#else
LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL    DestroyWindow(HWND hwnd);
BOOL    IsWindow(HWND hwnd);
#endif

// A window procedure never lets an exception out through the dispatch: on Windows it
// would cross the system's own frames. One that must let a failure out (an event
// handler of the program threw) hands it over here, and the pump that dispatched the
// message (PumpMessages, RunMessageLoop) throws it as soon as that dispatch has
// returned; the messages still queued stay for the next pump. Of several handed
// over during one dispatch, the first is thrown.
namespace detail {
inline std::exception_ptr& ExceptionOfDispatch() {
    thread_local std::exception_ptr error;
    return error;
}
// What the dispatch that just returned handed over, if anything.
inline std::exception_ptr TakeExceptionOfDispatch() { return std::exchange(ExceptionOfDispatch(), nullptr); }
}  // namespace detail

inline void ThrowAfterDispatch(std::exception_ptr error) {
    if (!detail::ExceptionOfDispatch()) detail::ExceptionOfDispatch() = std::move(error);
}

// WM_GETDLGCODE and the answer of the "STATIC" procedure to it.
inline constexpr UINT    WM_GETDLGCODE = 0x0087;
inline constexpr LRESULT DLGC_STATIC   = 0x0100;

#ifndef _WIN32
namespace detail {
// Hands a queued message to its window's procedure; false when the window is gone.
bool DispatchToWindow(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
}
#endif

}  // namespace platform

#ifdef _WIN32
using platform::DLGC_STATIC;
using platform::WM_GETDLGCODE;
#endif
