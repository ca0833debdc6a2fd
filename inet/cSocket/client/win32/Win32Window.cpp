// SPDX-License-Identifier: MIT
#include "inet/cSocket/client/win32/Win32Window.h"

#include <algorithm>

#include "inet/cSocket/SocketError.h"
#include "inet/cSocket/client/ClientForm.h"
#include "inet/cSocket/client/win32/LayoutFont.h"
#include "platform/Window.h"

namespace win32client {

namespace {

constexpr wchar_t kClassName[] = L"wlclient";
constexpr wchar_t kCaption[] = L"ZEDizud Arovov";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// The window's own messages.
constexpr UINT kShowErrors = WM_APP + 1;  // errors are waiting to be shown
constexpr UINT kRunAction = WM_APP + 2;   // RunAfter with no delay; wParam is the id

// The check box's caption starts this far after its tick mark.
constexpr int kCheckMarkGap = 4;

// The edit controls' inner margins: one pixel on the left, none on the right, so
// that five digits fit the port box.
constexpr LPARAM kEditMargins = MAKELONG(1, 0);

int Width(const RECT& r) { return r.right - r.left; }
int Height(const RECT& r) { return r.bottom - r.top; }

HWND MakeControl(HWND parent, DWORD exStyle, const wchar_t* cls, const wchar_t* text, DWORD style, const RECT& box,
                 int id) {
    return CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, box.left, box.top, Width(box),
                           Height(box), parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
}

// Text of the handlers' narrow strings, one character per byte.
std::wstring Widen(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size());
    for (char c : bytes) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return text;
}

// The number of ResCode's first visible line.
int FirstVisibleLine(HWND res) { return static_cast<int>(SendMessageW(res, EM_GETFIRSTVISIBLELINE, 0, 0)); }

// Puts ResCode's scroll bar, while it shows, in step with its lines: the edit
// control keeps only a scroll bar that it was made with.
void UpdateScrollBar(HWND res, int lines, int visible) {
    if ((GetWindowLongW(res, GWL_STYLE) & WS_VSCROLL) == 0) return;
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    info.nMin = 0;
    info.nMax = lines - 1;
    info.nPage = static_cast<UINT>(visible);
    info.nPos = FirstVisibleLine(res);
    SetScrollInfo(res, SB_VERT, &info, TRUE);
}

// ResCode's lines of text (its line count less the empty one after a final line
// end), and how many the box shows.
int TextLines(HWND res) {
    int lines = static_cast<int>(SendMessageW(res, EM_GETLINECOUNT, 0, 0));
    const int lastStart = static_cast<int>(SendMessageW(res, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0));
    if (lines > 1 && SendMessageW(res, EM_LINELENGTH, static_cast<WPARAM>(lastStart), 0) == 0) --lines;
    return lines;
}

int VisibleLines(HWND res) {
    RECT text{};
    SendMessageW(res, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&text));
    HDC dc = GetDC(res);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(res, WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(res, dc);
    return metrics.tmHeight > 0 ? std::max(1, static_cast<int>(Height(text) / metrics.tmHeight)) : 1;
}

// ResCode's procedure in front of the edit control's own: a multi-line edit asks
// for every key, Tab included, and would keep the focus. ResCode is read-only, so
// Tab and Shift+Tab move on to the next control, as everywhere else in the window.
// And whatever scrolls it (the scroll bar, the wheel, the keys) moves the scroll
// bar's thumb along.
LRESULT CALLBACK ResCodeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    const auto editProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    const LRESULT result = CallWindowProcW(editProc, hwnd, msg, wParam, lParam);
    switch (msg) {
        case WM_GETDLGCODE:
            return result & ~static_cast<LRESULT>(DLGC_WANTALLKEYS | DLGC_WANTTAB);
        case WM_VSCROLL:
        case WM_MOUSEWHEEL:
        case WM_KEYDOWN:
        case EM_LINESCROLL:
        case EM_SCROLLCARET:
            UpdateScrollBar(hwnd, static_cast<int>(SendMessageW(hwnd, EM_GETLINECOUNT, 0, 0)), VisibleLines(hwnd));
            break;
        default:
            break;
    }
    return result;
}

// The DPI of the window's monitor, where Windows tells it (10 and later); else the
// system's.
UINT WindowDpi(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow != nullptr) {
        if (const UINT dpi = getDpiForWindow(window); dpi != 0) return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kLayoutDpi;
}

// The system's DPI, which GetSystemMetrics answers for.
UINT SystemDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kLayoutDpi;
}

// The check box's tick mark at `dpi`.
int CheckMarkWidth(UINT dpi) {
    return MulDiv(GetSystemMetrics(SM_CXMENUCHECK), static_cast<int>(dpi), static_cast<int>(SystemDpi()));
}

// The frame around a client area of `box` at `dpi`.
void AdjustFrame(RECT& box, UINT dpi) {
    using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = reinterpret_cast<AdjustForDpiFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    if (adjustForDpi == nullptr || !adjustForDpi(&box, kStyle, FALSE, 0, dpi)) AdjustWindowRectEx(&box, kStyle, FALSE, 0);
}

}  // namespace

Win32Window::Win32Window() = default;

Win32Window::~Win32Window() {
    if (m_window != nullptr) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);  // no handler runs from here on
        DestroyWindow(m_window);
    }
    if (m_font != nullptr) DeleteObject(m_font);
}

bool Win32Window::Create() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Win32Window::WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    // The program's icon (icon 1 of its resources) in the title bar and the taskbar,
    // at the sizes the system asks for; a program without one gets the stock icon.
    const auto programIcon = [&wc](int widthMetric, int heightMetric) {
        auto icon = static_cast<HICON>(LoadImageW(wc.hInstance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                  GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric),
                                                  LR_DEFAULTCOLOR | LR_SHARED));
        return icon != nullptr ? icon : LoadIconA(nullptr, IDI_APPLICATION);
    };
    wc.hIcon = programIcon(SM_CXICON, SM_CYICON);
    wc.hIconSm = programIcon(SM_CXSMICON, SM_CYSMICON);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

    // Made at the layout's own size; Layout sizes it for its monitor's DPI, known
    // once the window exists.
    RECT outer{0, 0, ClientSize(kLayoutDpi).cx, ClientSize(kLayoutDpi).cy};
    AdjustWindowRectEx(&outer, kStyle, FALSE, 0);
    CreateWindowExW(0, kClassName, kCaption, kStyle, CW_USEDEFAULT, CW_USEDEFAULT, Width(outer), Height(outer),
                    nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (m_window == nullptr) return false;

    // In tab order. The text boxes have a thin sunken edge (a thick one would
    // leave the port box too little room for five digits).
    const RECT none{};
    HWND label = MakeControl(m_window, 0, L"STATIC", L"Local  Port", SS_LEFT, none, kLabel1Id);
    HWND port = MakeControl(m_window, WS_EX_STATICEDGE, L"EDIT", m_portText.c_str(),
                            WS_TABSTOP | ES_AUTOHSCROLL, none, kPortId);
    HWND res = MakeControl(m_window, WS_EX_STATICEDGE, L"EDIT", L"",
                           WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, none, kResCodeId);
    HWND check = MakeControl(m_window, 0, L"BUTTON", L"Connect", WS_TABSTOP | BS_AUTOCHECKBOX, none, kCheckCnctId);
    if (label == nullptr || port == nullptr || res == nullptr || check == nullptr) return false;
    SetWindowLongPtrW(res, GWLP_USERDATA, GetWindowLongPtrW(res, GWLP_WNDPROC));
    SetWindowLongPtrW(res, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ResCodeProc));

    Layout(WindowDpi(m_window));
    return m_font != nullptr;
}

void Win32Window::Layout(UINT dpi, const POINT* origin) {
    m_dpi = dpi;
    RECT outer{0, 0, ClientSize(dpi).cx, ClientSize(dpi).cy};
    AdjustFrame(outer, dpi);
    RECT now{};
    GetWindowRect(m_window, &now);
    const POINT at = origin != nullptr ? *origin : POINT{now.left, now.top};
    SetWindowPos(m_window, nullptr, at.x, at.y, Width(outer), Height(outer), SWP_NOZORDER | SWP_NOACTIVATE);
    // Where the frame is not what was reckoned (a window that Windows scales for
    // us, say), the client area still gets its size.
    RECT client{};
    GetClientRect(m_window, &client);
    const int moreX = ClientSize(dpi).cx - client.right, moreY = ClientSize(dpi).cy - client.bottom;
    if (moreX != 0 || moreY != 0) {
        SetWindowPos(m_window, nullptr, 0, 0, Width(outer) + moreX, Height(outer) + moreY,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    }

    HWND label = Control(kLabel1Id), port = Control(kPortId), res = Control(kResCodeId), check = Control(kCheckCnctId);
    for (int id : {kLabel1Id, kPortId, kResCodeId, kCheckCnctId}) {
        const RECT box = ControlBox(id, dpi);
        MoveWindow(Control(id), box.left, box.top, Width(box), Height(box), FALSE);
    }

    // The font: the first candidate whose captions fit the room the boxes leave.
    SendMessageW(port, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, kEditMargins);
    RECT portText{};
    SendMessageW(port, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&portText));
    layoutfont::Room room;
    room.label = Width(ControlBox(kLabel1Id, dpi));
    room.labelHeight = Height(ControlBox(kLabel1Id, dpi));
    room.checkCaption = Width(ControlBox(kCheckCnctId, dpi)) - CheckMarkWidth(dpi) - MulDiv(kCheckMarkGap, static_cast<int>(dpi), static_cast<int>(kLayoutDpi));
    room.portText = Width(portText);
    HFONT font = layoutfont::Choose(room, dpi);
    if (font == nullptr) return;
    for (HWND control : {label, port, res, check}) SendMessageW(control, WM_SETFONT, WPARAM(font), FALSE);
    if (m_font != nullptr) DeleteObject(m_font);
    m_font = font;
    // (A new font resets an edit control's margins.)
    for (HWND edit : {port, res}) SendMessageW(edit, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, kEditMargins);
    ShowNewestText();
    RedrawWindow(m_window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void Win32Window::Show(int showCommand) {
    ShowWindow(m_window, showCommand);
    UpdateWindow(m_window);
    SetFocus(Control(kPortId));
    if (!m_shownOnce) {
        m_shownOnce = true;
        m_loaded = true;
        if (m_handlers.load) m_handlers.load();
    }
}

void Win32Window::Close() {
    if (m_window != nullptr) PostMessageW(m_window, WM_CLOSE, 0, 0);
}

int Win32Window::RunMessageLoop() {
    MSG msg;
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) return 1;
        if (m_window != nullptr && IsDialogMessageW(m_window, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

// ---- ClientView ----

std::string Win32Window::PortText() const {
    HWND port = Control(kPortId);
    if (port == nullptr) {
        std::string text;
        for (wchar_t c : m_portText) text.push_back(static_cast<char>(c));
        return text;
    }
    std::wstring wide(static_cast<size_t>(GetWindowTextLengthW(port)) + 1, L'\0');
    wide.resize(static_cast<size_t>(GetWindowTextW(port, wide.data(), static_cast<int>(wide.size()))));
    // One byte per character; one beyond Latin-1 cannot be part of a number anyway.
    std::string text;
    text.reserve(wide.size());
    for (wchar_t c : wide) text.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    return text;
}

void Win32Window::SetPortText(const std::string& text) {
    m_portText = Widen(text);
    if (HWND port = Control(kPortId)) SetWindowTextW(port, m_portText.c_str());
}

void Win32Window::SetPortEnabled(bool enabled) {
    if (HWND port = Control(kPortId)) EnableWindow(port, enabled ? TRUE : FALSE);
}

int Win32Window::CheckValue() const {
    HWND check = Control(kCheckCnctId);
    return check != nullptr ? static_cast<int>(SendMessageW(check, BM_GETCHECK, 0, 0)) : wlclientcore::kUnticked;
}

void Win32Window::SetCheckValue(int value) {
    if (HWND check = Control(kCheckCnctId)) SendMessageW(check, BM_SETCHECK, static_cast<WPARAM>(value), 0);
}

std::wstring Win32Window::DisplayText(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size() + bytes.size() / 8);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' || c == '\n') {
            text += L"\r\n";
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        } else if (c == 0) {
            text.push_back(L'\xFFFD');
        } else {
            text.push_back(static_cast<wchar_t>(c));
        }
    }
    return text;
}

void Win32Window::SetResCodeText(const std::string& text) {
    HWND res = Control(kResCodeId);
    if (res == nullptr) return;
    SetWindowTextW(res, DisplayText(text).c_str());
    ShowNewestText();
}

void Win32Window::ShowNewestText() {
    HWND res = Control(kResCodeId);
    // The text as it wraps without a scroll bar first: most texts fit.
    ShowScrollBar(res, SB_VERT, FALSE);
    int lines = TextLines(res);
    int visible = VisibleLines(res);
    if (lines > visible) {
        // Taller than the box: the scroll bar shows that there is more above, and the
        // narrower text wraps again before the last line is brought into view.
        ShowScrollBar(res, SB_VERT, TRUE);
        lines = TextLines(res);
        visible = VisibleLines(res);
    }
    SendMessageW(res, EM_LINESCROLL, 0, std::max(0, lines - visible) - FirstVisibleLine(res));
    UpdateScrollBar(res, static_cast<int>(SendMessageW(res, EM_GETLINECOUNT, 0, 0)), visible);
}

void Win32Window::Beep() { MessageBeep(MB_OK); }

void Win32Window::ShowError(const inet::SocketError& error) {
    m_errors.push_back(Widen(wlclientcore::ErrorMessageText(error) + "\n\n" + wlclientcore::ErrorSourceText(error)));
    if (m_window != nullptr) PostMessageW(m_window, kShowErrors, 0, 0);
}

void Win32Window::ShowFailure(const std::string& text, const std::string& detail) {
    m_errors.push_back(Widen(detail.empty() ? text : text + "\n\n" + detail));
    if (m_window != nullptr) PostMessageW(m_window, kShowErrors, 0, 0);
}

void Win32Window::RunAfter(std::chrono::milliseconds delay, std::function<void()> action) {
    if (m_window == nullptr) return;  // destroyed: the action would never run anyway
    const UINT_PTR id = m_nextActionId++;
    m_actions[id] = std::move(action);
    if (delay.count() <= 0) {
        PostMessageW(m_window, kRunAction, id, 0);
    } else {
        SetTimer(m_window, id, static_cast<UINT>(delay.count()), nullptr);
    }
}

// ---- Messages ----

void Win32Window::ShowQueuedErrors() {
    // One box at a time; a box's own loop may bring more errors, shown after it.
    if (m_showingErrors) return;
    m_showingErrors = true;
    while (!m_errors.empty() && m_window != nullptr) {
        const std::wstring text = std::move(m_errors.front());
        m_errors.pop_front();
        MessageBoxW(m_window, text.c_str(), kCaption, MB_OK | MB_ICONEXCLAMATION);
    }
    m_showingErrors = false;
}

void Win32Window::RunAction(UINT_PTR id) {
    const auto found = m_actions.find(id);
    if (found == m_actions.end()) return;
    const std::function<void()> action = std::move(found->second);
    m_actions.erase(found);
    if (action) action();
}

LRESULT CALLBACK Win32Window::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<Win32Window*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->m_window = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, msg, wParam, lParam);
    return self->OnMessage(msg, wParam, lParam);
}

LRESULT Win32Window::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_COMMAND:
            if (LOWORD(wParam) == kCheckCnctId && HIWORD(wParam) == BN_CLICKED) {
                if (m_handlers.click) m_handlers.click();
                return 0;
            }
            break;
        case WM_TIMER:
            KillTimer(m_window, wParam);
            RunAction(wParam);
            return 0;
        case kRunAction:
            RunAction(wParam);
            return 0;
        case kShowErrors:
            ShowQueuedErrors();
            return 0;
        case WM_DPICHANGED: {
            // Moved to a monitor of another DPI, or its DPI changed: the boxes and the
            // font in step, at the top left corner Windows suggests.
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            const POINT origin{suggested->left, suggested->top};
            Layout(HIWORD(wParam), &origin);
            return 0;
        }
        case WM_CLOSE:
            if (m_loaded) {
                m_loaded = false;
                if (m_handlers.unload) m_handlers.unload();
            }
            DestroyWindow(m_window);
            return 0;
        case WM_DESTROY: {
            // Pending actions and errors go with the window.
            for (const auto& entry : m_actions) KillTimer(m_window, entry.first);
            m_actions.clear();
            m_errors.clear();
            SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
            m_window = nullptr;
            PostQuitMessage(0);
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcW(m_window, msg, wParam, lParam);
}

}  // namespace win32client
