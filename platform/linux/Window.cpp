// SPDX-License-Identifier: MIT
#include "platform/Window.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <unordered_map>

#include "platform/linux/EventLoop.h"
#include "platform/Testing.h"

namespace platform {

namespace {

struct WindowRecord {
    WNDPROC proc;
    std::string name;
};

struct Windows {
    std::unordered_map<HWND, WindowRecord> byHandle;
    std::unordered_map<std::string, UINT> messages;
    HWND nextHandle = 0x100;
    UINT nextMessage = 0xC000;
};

// Message and class names compare without regard to case, as Windows atoms do.
std::string Folded(const char* name) {
    std::string s(name);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

Windows& State() {
    // Never destroyed: the last socket object may end after main returns and destroy
    // its window then.
    static Windows* windows = new Windows;
    return *windows;
}

LRESULT StaticWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_GETDLGCODE) return DLGC_STATIC;
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace

UINT RegisterWindowMessageA(const char* name) {
    if (name == nullptr || *name == '\0') return 0;
    Windows& w = State();
    const std::string key = Folded(name);
    if (auto it = w.messages.find(key); it != w.messages.end()) return it->second;
    if (w.nextMessage > 0xFFFF) return 0;  // the range is used up
    w.messages.emplace(key, w.nextMessage);
    return w.nextMessage++;
}

HWND CreateWindowExA(DWORD, const char* className, const char* windowName, DWORD, int, int, int,
                     int, HWND, uintptr_t, HINSTANCE, void*) {
    detail::CheckLoopThread("CreateWindowExA");
    if (testing::detail::TakeWindowCreationFailure()) return 0;
    if (className == nullptr || Folded(className) != "static") return 0;
    Windows& w = State();
    const HWND hwnd = w.nextHandle++;
    w.byHandle.emplace(hwnd, WindowRecord{&StaticWindowProc, windowName ? windowName : ""});
    return hwnd;
}

WNDPROC SetWindowLongA(HWND hwnd, int index, WNDPROC newProc) {
    if (index != GWL_WNDPROC || newProc == nullptr) return nullptr;
    auto it = State().byHandle.find(hwnd);
    if (it == State().byHandle.end()) return nullptr;
    WNDPROC previous = it->second.proc;
    it->second.proc = newProc;
    return previous;
}

LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

BOOL DestroyWindow(HWND hwnd) {
    detail::CheckLoopThread("DestroyWindow");
    return State().byHandle.erase(hwnd) ? 1 : 0;
}

BOOL IsWindow(HWND hwnd) { return State().byHandle.count(hwnd) ? 1 : 0; }

namespace detail {

bool DispatchToWindow(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto it = State().byHandle.find(hwnd);
    if (it == State().byHandle.end()) return false;
    WNDPROC proc = it->second.proc;  // the record may go while the procedure runs
    proc(hwnd, msg, wParam, lParam);
    return true;
}

}  // namespace detail

}  // namespace platform
