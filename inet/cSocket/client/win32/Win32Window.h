// SPDX-License-Identifier: MIT
// Win32Window: the client window "ZEDizud Arovov" in plain user32, no toolkit.
//
// A 2955 x 975 twip client area (197 x 65 pixels at 96 dots per inch) holding, in
// tab order, the label "Local  Port", the port box, the read-only multi-line text
// box ResCode and the check box "Connect", each at its twip box, in the layout's
// 8-point font (see LayoutFont.h). Twips are 1/1440 inch: the boxes and the font
// follow the DPI of the window's monitor (the program declares itself aware of it
// per monitor), and are laid out again when it changes (WM_DPICHANGED). It is the Windows view of the shared handlers (ClientForm): it
// calls them on load (once the window is first shown), after each click on
// "Connect" has changed the box, and on unload (when the window is closed), and
// offers them the controls through ClientView.
//
// Everything runs on the thread that made the window, in whatever loop dispatches
// its messages: RunMessageLoop, or a message box's own loop while one is open; the
// socket component's notifications arrive through the same queue either way.
// Not copyable.
#pragma once

#include "platform/WinTypes.h"  // the Windows headers, as the platform layer includes them

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "inet/cSocket/client/ClientView.h"

namespace win32client {

// The layout is drawn in twips, 1440 to the inch: 15 to the pixel at 96 dots per inch.
inline constexpr int kTwipsPerInch = 1440;
inline constexpr UINT kLayoutDpi = 96;

constexpr int TwipsToPixels(int twips, UINT dpi) { return twips * static_cast<int>(dpi) / kTwipsPerInch; }

// A box given in twips, in pixels at `dpi`: its edges are the twip edges in pixels.
constexpr RECT TwipBox(int left, int top, int width, int height, UINT dpi = kLayoutDpi) {
    return RECT{TwipsToPixels(left, dpi), TwipsToPixels(top, dpi), TwipsToPixels(left + width, dpi),
                TwipsToPixels(top + height, dpi)};
}

class Win32Window final : public wlclientcore::ClientView {
public:
    struct Handlers {
        std::function<void()> load;
        std::function<void()> click;
        std::function<void()> unload;
    };

    // Control identifiers, in tab order (none is IDOK or IDCANCEL, which Enter and
    // Escape send to the window).
    enum : int { kLabel1Id = 100, kPortId, kResCodeId, kCheckCnctId };

    // The client area and the controls' boxes, in pixels at `dpi`.
    static constexpr SIZE ClientSize(UINT dpi) { return SIZE{TwipsToPixels(2955, dpi), TwipsToPixels(975, dpi)}; }
    static constexpr RECT ControlBox(int id, UINT dpi) {
        switch (id) {
            case kLabel1Id: return TwipBox(120, 120, 855, 195, dpi);
            case kPortId: return TwipBox(1020, 60, 495, 285, dpi);
            case kResCodeId: return TwipBox(60, 360, 2835, 555, dpi);
            default: return TwipBox(1800, 60, 1035, 255, dpi);
        }
    }

    Win32Window();
    // Destroys the window without running the unload handler: whoever owns the
    // handlers unloads by itself when it ends first.
    ~Win32Window();
    Win32Window(const Win32Window&) = delete;
    Win32Window& operator=(const Win32Window&) = delete;

    void SetHandlers(Handlers handlers) { m_handlers = std::move(handlers); }

    // Makes the window and its controls, hidden. False when it could not be made.
    bool Create();
    // Shows the window; the first time, the load handler then runs.
    void Show(int showCommand = SW_SHOWNORMAL);
    // Closes the window as the user would: the unload handler runs, the window goes
    // and RunMessageLoop ends. (From another thread: post WM_CLOSE to Handle().)
    void Close();
    // Dispatches the thread's messages, with Tab moving between the controls, until
    // the window is gone. Returns the exit code.
    int RunMessageLoop();

    HWND Handle() const { return m_window; }
    // The DPI the window is laid out for: its monitor's.
    UINT Dpi() const { return m_dpi; }
    HWND Control(int id) const { return m_window != nullptr ? GetDlgItem(m_window, id) : nullptr; }

    // ---- ClientView ----
    std::string PortText() const override;
    void SetPortText(const std::string& text) override;
    void SetPortEnabled(bool enabled) override;
    int CheckValue() const override;
    void SetCheckValue(int value) override;
    void SetResCodeText(const std::string& text) override;
    void Beep() override;
    // Queues the error and returns; the window shows it in a modal message box
    // once the handler that failed has ended (several in turn).
    void ShowError(const inet::SocketError& error) override;
    // The same: one box with the text, a blank line and the detail.
    void ShowFailure(const std::string& text, const std::string& detail) override;
    void RunAfter(std::chrono::milliseconds delay, std::function<void()> action) override;

    // ResCode's text as shown (scrolled to its last line, with a scroll bar when it
    // is taller than the box): byte n is character n (Latin-1), a line end
    // (LF, CR or CR LF) is the edit control's CR LF, and NUL, which would end
    // the text, shows as U+FFFD.
    static std::wstring DisplayText(std::string_view bytes);

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    // Places the controls and makes the font for `dpi`, with the client area's top
    // left corner where it is (or at `origin`, the window's new top left corner).
    void Layout(UINT dpi, const POINT* origin = nullptr);
    // Shows ResCode's last line, and a scroll bar when its text is taller than the box.
    void ShowNewestText();
    void ShowQueuedErrors();
    void RunAction(UINT_PTR id);

    Handlers m_handlers;
    HWND m_window = nullptr;
    HFONT m_font = nullptr;
    UINT m_dpi = kLayoutDpi;
    std::wstring m_portText = L"8765";
    bool m_shownOnce = false;
    bool m_loaded = false;

    std::deque<std::wstring> m_errors;  // waiting to be shown
    bool m_showingErrors = false;

    std::map<UINT_PTR, std::function<void()>> m_actions;  // RunAfter, by timer id
    UINT_PTR m_nextActionId = 1;
};

}  // namespace win32client
