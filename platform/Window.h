// Hidden windows and registered messages, as far as the socket layer needs them.
//
// A window here is only a target for posted messages: a handle and the procedure
// that handles them. Only the predefined "STATIC" kind can be created. Handles are
// never reused, so a message for a destroyed window can be recognised and dropped.
// All of it belongs to the loop thread.
#pragma once

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
