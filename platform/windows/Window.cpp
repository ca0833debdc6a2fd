// SPDX-License-Identifier: MIT
// Registered messages and windows on Windows: straight through to user32.
#include "platform/Window.h"

#include "platform/Testing.h"

namespace platform {

UINT RegisterWindowMessageA(const char* name) {
    if (name == nullptr || *name == '\0') return 0;
    return ::RegisterWindowMessageA(name);
}

HWND CreateWindowExA(DWORD exStyle, const char* className, const char* windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, uintptr_t menu, HINSTANCE instance, void* param) {
    if (testing::detail::TakeWindowCreationFailure()) return 0;
    return ::CreateWindowExA(exStyle, className, windowName, style, x, y, width, height, parent,
                             reinterpret_cast<HMENU>(menu), reinterpret_cast<::HINSTANCE>(instance), param);
}

// Win64 keeps a procedure in a pointer-sized slot: SetWindowLongPtrA.
WNDPROC SetWindowLongA(HWND hwnd, int index, WNDPROC newProc) {
    if (index != GWL_WNDPROC || newProc == nullptr) return nullptr;
    return reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(newProc)));
}

}  // namespace platform
