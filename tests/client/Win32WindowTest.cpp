// SPDX-License-Identifier: MIT
// The Windows window (plain user32) under Wine or Windows: its layout (again at
// each new DPI), what it shows (the last line of a text taller than the box), and
// an error box that leaves the socket notifications flowing. The
// handlers themselves are the shared ones, tested against a test view elsewhere.
#include "inet/cSocket/client/win32/Win32Window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "inet/cSocket/SocketError.h"
#include "inet/cSocket/client/ClientForm.h"
#include "platform/Window.h"
#include "platform/Winsock.h"
#include "tests/support/Loopback.h"

namespace {

using namespace std::chrono_literals;
using win32client::Win32Window;

std::wstring TextOf(HWND control) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

// The box of a control relative to the window's client area.
RECT BoxOf(HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// The height `text` takes when the control draws it word-wrapped in `width` pixels.
int WrappedHeight(HWND control, const std::wstring& text, int width) {
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT r{0, 0, width, 0};
    DrawTextW(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return r.bottom;
}

int LineHeight(HWND control) {
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return tm.tmHeight;
}

// Whatever face this machine gave: "Local  Port" on one line in the label,
// "Connect" on one line beside its tick mark, five digits in the port box.
void ExpectEveryCaptionWhole(const Win32Window& window) {
    HWND label = window.Control(Win32Window::kLabel1Id), port = window.Control(Win32Window::kPortId),
         check = window.Control(Win32Window::kCheckCnctId);
    const RECT labelBox = BoxOf(label), checkBox = BoxOf(check);
    const int line = LineHeight(label);
    EXPECT_LE(line, labelBox.bottom - labelBox.top);
    EXPECT_EQ(WrappedHeight(label, L"Local  Port", labelBox.right - labelBox.left), line);
    HDC screen = GetDC(nullptr);
    const int systemDpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    const int mark = MulDiv(GetSystemMetrics(SM_CXMENUCHECK), static_cast<int>(window.Dpi()), systemDpi);
    const int checkRoom = checkBox.right - checkBox.left - mark - MulDiv(4, static_cast<int>(window.Dpi()), 96);
    EXPECT_EQ(WrappedHeight(check, L"Connect", checkRoom), line);
    RECT portRoom{};
    SendMessageW(port, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&portRoom));
    HDC dc = GetDC(port);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(port, WM_GETFONT, 0, 0)));
    for (const wchar_t* digits : {L"00000", L"44444", L"65535", L"88888"}) {
        SIZE size{};
        GetTextExtentPoint32W(dc, digits, 5, &size);
        EXPECT_LE(size.cx, portRoom.right - portRoom.left) << digits;
    }
    SelectObject(dc, old);
    ReleaseDC(port, dc);
}

TEST(Win32Window, ControlsSitAtTheirTwipBoxesInTabOrderWithEveryCaptionWhole) {
    Win32Window window;
    ASSERT_TRUE(window.Create());
    ASSERT_EQ(window.Dpi(), 96u) << "the test's screen is not at 96 DPI";
    RECT client{};
    GetClientRect(window.Handle(), &client);
    EXPECT_EQ(client.right, 197);
    EXPECT_EQ(client.bottom, 65);

    HWND label = window.Control(Win32Window::kLabel1Id), port = window.Control(Win32Window::kPortId),
         res = window.Control(Win32Window::kResCodeId), check = window.Control(Win32Window::kCheckCnctId);
    EXPECT_TRUE(SameRect(BoxOf(label), RECT{8, 8, 65, 21}));
    EXPECT_TRUE(SameRect(BoxOf(port), RECT{68, 4, 101, 23}));
    EXPECT_TRUE(SameRect(BoxOf(res), RECT{4, 24, 193, 61}));
    EXPECT_TRUE(SameRect(BoxOf(check), RECT{120, 4, 189, 21}));

    // Tab goes Port, ResCode, "Connect" and round again (the label takes no focus).
    EXPECT_EQ(GetNextDlgTabItem(window.Handle(), port, FALSE), res);
    EXPECT_EQ(GetNextDlgTabItem(window.Handle(), res, FALSE), check);
    EXPECT_EQ(GetNextDlgTabItem(window.Handle(), check, FALSE), port);
    EXPECT_EQ(SendMessageW(res, WM_GETDLGCODE, VK_TAB, 0) & DLGC_WANTALLKEYS, 0) << "ResCode keeps Tab";

    // The start: "8765", editable; an empty, read-only, multi-line ResCode; unticked.
    EXPECT_EQ(TextOf(port), L"8765");
    EXPECT_TRUE(IsWindowEnabled(port));
    EXPECT_EQ(TextOf(res), L"");
    const LONG resStyle = GetWindowLongW(res, GWL_STYLE);
    EXPECT_TRUE((resStyle & ES_MULTILINE) && (resStyle & ES_READONLY));
    EXPECT_EQ(window.CheckValue(), 0);
    EXPECT_EQ(TextOf(label), L"Local  Port");
    EXPECT_EQ(TextOf(check), L"Connect");

    ExpectEveryCaptionWhole(window);
}

// Moved to a monitor of another DPI (or the DPI changed): the boxes are the twips at
// the new DPI, the font grows in step, and every caption still shows whole.
TEST(Win32Window, LaysItselfOutAgainAtEachNewDpi) {
    Win32Window window;
    ASSERT_TRUE(window.Create());
    HWND label = window.Control(Win32Window::kLabel1Id);
    const int lineAt96 = LineHeight(label);
    for (const UINT dpi : {120u, 144u, 192u, 96u}) {
        SCOPED_TRACE("at " + std::to_string(dpi) + " DPI");
        RECT suggested{40, 30, 40 + 600, 30 + 300};
        SendMessageW(window.Handle(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        EXPECT_EQ(window.Dpi(), dpi);
        RECT client{};
        GetClientRect(window.Handle(), &client);
        EXPECT_EQ(client.right, Win32Window::ClientSize(dpi).cx);
        EXPECT_EQ(client.bottom, Win32Window::ClientSize(dpi).cy);
        for (int id : {Win32Window::kLabel1Id, Win32Window::kPortId, Win32Window::kResCodeId, Win32Window::kCheckCnctId}) {
            EXPECT_TRUE(SameRect(BoxOf(window.Control(id)), Win32Window::ControlBox(id, dpi))) << "control " << id;
        }
        if (dpi > 96) {
            EXPECT_GT(LineHeight(label), lineAt96);
        }
        ExpectEveryCaptionWhole(window);
    }
    EXPECT_EQ(LineHeight(label), lineAt96);
}

// A burst of presses in one read: the box shows the last line, with a scroll bar;
// a press that fits shows from its start, without one.
TEST(Win32Window, ShowsTheLastLineOfATextTallerThanTheBox) {
    Win32Window window;
    ASSERT_TRUE(window.Create());
    HWND res = window.Control(Win32Window::kResCodeId);
    const auto hasScrollBar = [&] { return (GetWindowLongW(res, GWL_STYLE) & WS_VSCROLL) != 0; };
    // Whether the line holding character `at` is among those the box shows.
    const auto showsLineOf = [&](int at) {
        const auto line = static_cast<int>(SendMessageW(res, EM_LINEFROMCHAR, static_cast<WPARAM>(at), 0));
        const auto first = static_cast<int>(SendMessageW(res, EM_GETFIRSTVISIBLELINE, 0, 0));
        RECT text{};
        SendMessageW(res, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&text));
        return line >= first && line < first + (text.bottom - text.top) / LineHeight(res);
    };

    window.SetResCodeText("0000000000f40bf0 00 KEY_UP myremote\n");
    EXPECT_FALSE(hasScrollBar());
    EXPECT_TRUE(showsLineOf(0));

    std::string burst;
    for (int i = 1; i <= 6; ++i) burst += "000000000000000" + std::to_string(i) + " 00 KEY_" + std::to_string(i) + " r\n";
    window.SetResCodeText(burst);
    EXPECT_TRUE(hasScrollBar());
    const auto shown = static_cast<int>(Win32Window::DisplayText(burst).size());
    EXPECT_TRUE(showsLineOf(shown - 3)) << "the sixth line is not in view";  // before its CR LF
    EXPECT_FALSE(showsLineOf(0));

    window.SetResCodeText("0000000000f40bf0 00 KEY_UP myremote\n");
    EXPECT_FALSE(hasScrollBar());
    EXPECT_TRUE(showsLineOf(0));
}

TEST(Win32Window, ShowsEachByteAsOneCharacterAndEveryLineEndAsOne) {
    EXPECT_EQ(Win32Window::DisplayText("a\nb\r\nc\rd\n\ne"), L"a\r\nb\r\nc\r\nd\r\n\r\ne");
    EXPECT_EQ(Win32Window::DisplayText(std::string("x\0y", 3)), L"x\xFFFDy");
    EXPECT_EQ(Win32Window::DisplayText("\xE9\x80\xFF"), L"\xE9\x80\xFF");

    Win32Window window;
    ASSERT_TRUE(window.Create());
    window.SetResCodeText(std::string("0000000000f40bf0 00 KEY_UP myremote\n\0!", 38));
    EXPECT_EQ(TextOf(window.Control(Win32Window::kResCodeId)), L"0000000000f40bf0 00 KEY_UP myremote\r\n\xFFFD!");
    window.SetPortText(" 8\xE9");
    EXPECT_EQ(window.PortText(), " 8\xE9");
}

// While an error box is up, its own message loop runs: a text the server sends
// then still reaches ResCode, with its beep, before the user dismisses the box.
struct BoxWatch {
    std::function<void(HWND box)> whileUp;
    HWND box = nullptr;
    std::vector<std::wstring> texts;  // of the box's controls
    bool done = false;
};
BoxWatch* g_watch = nullptr;

BOOL CALLBACK AddChildText(HWND child, LPARAM watch) {
    reinterpret_cast<BoxWatch*>(watch)->texts.push_back(TextOf(child));
    return TRUE;
}

void CALLBACK WatchForBox(HWND, UINT, UINT_PTR timer, DWORD) {
    if (g_watch == nullptr || g_watch->done) return;
    HWND box = FindWindowW(L"#32770", L"ZEDizud Arovov");
    if (box == nullptr) return;
    g_watch->box = box;
    if (g_watch->texts.empty()) {
        EnumChildWindows(box, &AddChildText, reinterpret_cast<LPARAM>(g_watch));
    }
    g_watch->whileUp(box);
    if (g_watch->done) {
        KillTimer(nullptr, timer);
        SendMessageW(box, WM_COMMAND, IDOK, 0);
    }
}

TEST(Win32Window, AnErrorBoxLetsTheServersTextThroughWhileItIsUp) {
    // The test's own peer needs the socket service before any object starts it.
    platform::WSADATA data{};
    ASSERT_EQ(platform::WSAStartup(0x0101, &data), 0);
    struct Cleanup {
        ~Cleanup() { platform::WSACleanup(); }
    } cleanup;
    testsupport::RawListener listener;
    Win32Window window;
    wlclientcore::ClientOptions options;
    options.port = std::to_string(listener.Port());
    wlclientcore::ClientForm form(window, options);
    window.SetHandlers({[&] { form.Form_Load(); }, [&] { form.CheckCnct_Click(); }, [&] { form.Form_Unload(); }});
    ASSERT_TRUE(window.Create());
    window.Show(SW_SHOWNOACTIVATE);
    ASSERT_TRUE(form.Loaded());
    form.ClickConnect();
    const int peer = listener.Accept(5000ms);
    ASSERT_GE(peer, 0);
    EXPECT_FALSE(IsWindowEnabled(window.Control(Win32Window::kPortId)));

    // The box comes up once the failed handler has ended, not inside ShowError.
    window.ShowError(inet::SocketError(6, "PortText.ToPortNumber", "Overflow"));
    EXPECT_EQ(FindWindowW(L"#32770", L"ZEDizud Arovov"), nullptr);

    const std::string line = "0000000000f40bf0 00 KEY_UP myremote\n";
    bool sent = false;
    std::wstring shownWhileUp;
    BoxWatch watch;
    watch.whileUp = [&](HWND) {
        if (!sent) sent = testsupport::WriteAll(peer, line);
        shownWhileUp = TextOf(window.Control(Win32Window::kResCodeId));
        watch.done = !shownWhileUp.empty() || !sent;
    };
    g_watch = &watch;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, &WatchForBox);
    const bool dismissed = testsupport::PumpUntil([&] { return watch.done; }, 10000ms);
    KillTimer(nullptr, timer);
    g_watch = nullptr;

    ASSERT_NE(watch.box, nullptr) << "no error box came up";
    EXPECT_TRUE(sent);
    EXPECT_TRUE(dismissed) << "no text reached ResCode while the box was up";
    EXPECT_EQ(shownWhileUp, L"0000000000f40bf0 00 KEY_UP myremote\r\n");
    std::wstring all;
    for (const auto& text : watch.texts) all += text + L"|";
    EXPECT_NE(all.find(L"Error 6: Overflow"), std::wstring::npos) << std::string(all.begin(), all.end());
    EXPECT_NE(all.find(L"PortText.ToPortNumber"), std::wstring::npos);
    EXPECT_TRUE(testsupport::PumpUntil([&] { return FindWindowW(L"#32770", L"ZEDizud Arovov") == nullptr; }));

    // The window goes on: unloading closes the connection.
    window.Close();
    EXPECT_TRUE(testsupport::PumpUntil([&] { return window.Handle() == nullptr; }));
    EXPECT_FALSE(form.Loaded());
    testsupport::RawClose(peer);
    // (The window's end posted WM_QUIT for the program's loop; no other test wants it.)
    MSG quit;
    while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

}  // namespace
