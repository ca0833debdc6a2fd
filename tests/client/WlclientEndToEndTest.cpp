// SPDX-License-Identifier: MIT
// The real wlclient program. First its options on the offscreen platform (--help,
// --version and mistakes without any display; --host with a name that resolves and
// one that cannot; --reconnect across a server restart); then on a real X server
// (Xvfb, no window manager): a click on "Connect" with xdotool, a server on
// 127.0.0.1 that sends two lines a moment apart, and --echo showing each as the
// window shows it; a refused port and a server that closes (a message box, and
// "Connect" unticked); six lines in one read (the last in view); the window at 144
// DPI. The server is a plain loopback peer, then Debian's lircd fed with irsend
// SIMULATE. The same Xvfb tests run the Windows program (the plain user32 window)
// under Wine, when the build was given one (CSOCKET_WINDOWS_WLCLIENT), and its
// command line runs there too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "tests/client/ChildProcess.h"
#include "tests/support/Loopback.h"

namespace {

using clienttest::ChildProcess;
using namespace std::chrono_literals;

// The Windows program, run under Wine in a prefix of its own; "" when not given.
const std::string kWindowsClient = WINDOWS_WLCLIENT_PATH;
const std::string kWine = "/usr/lib/wine/wine64";
const std::string kWineServer = "/usr/lib/wine/wineserver";
const std::filesystem::path kWinePrefix = WINE_PREFIX_DIR;
// Wine's own faces (Debian's fonts-wine), which Debian's Wine does not find by itself.
const std::filesystem::path kWineFonts = "/usr/share/wine/fonts";

// Where the check box's tick mark is, in both windows: the box spans 120..189 x
// 4..21 pixels and the mark sits at its left, centred in its height.
constexpr int kTickX = 127;
constexpr int kTickY = 12;

const std::string kFirstLine = "0000000000f40bf0 00 KEY_UP myremote\n";
const std::string kSecondLine = "0000000000f40bf0 01 KEY_UP myremote\n";

// What lircd logs when it takes on a TCP client.
const std::string kTcpClientAccepted = "accepted new client from 127.0.0.1";

// A private folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "wlclient-e2e-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        m_path = pattern;  // mkdtemp makes it 0700
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Whether a TCP socket on 127.0.0.1:port is in the given state (/proc/net/tcp:
// "0A" listening, "01" established).
bool LocalSocketInState(int port, const std::string& state) {
    std::ifstream table("/proc/net/tcp");
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, localAddress, remoteAddress, st;
        fields >> slot >> localAddress >> remoteAddress >> st;
        if (localAddress == local && st == state) return true;
    }
    return false;
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Reads from a connection until its peer closes it (true) or the time is up or it resets.
bool SeesEndOfStream(int fd, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buf[512];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n == 0) return true;
        if (n < 0) return false;
    }
}

// The environment for the program under test, with `changes` applied. (The leak
// suppressions only matter to a sanitizer build of the program.)
std::vector<std::string> ClientEnvironment(std::vector<std::string> changes) {
    changes.push_back(std::string("LSAN_OPTIONS=suppressions=") + LSAN_SUPPRESSIONS);
    return clienttest::EnvironmentWith(changes);
}

// The options alone, on Qt's offscreen platform: --port with a leading blank,
// --connect ticking the box at the start and --echo writing what is shown, byte
// for byte.
TEST(WlclientProgram, ConnectsAtStartToThePortGivenAndEchoesWhatItShows) {
    testsupport::RawListener listener;
    TempDir runtime;
    ChildProcess client({{WLCLIENT_PATH, "--port", " " + std::to_string(listener.Port()), "--connect", "--echo"},
                         ClientEnvironment({"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime.Path().string()}),
                         true, -1});
    const int peer = listener.Accept(10000ms);
    ASSERT_GE(peer, 0) << "--connect made no connection";
    ASSERT_TRUE(testsupport::WriteAll(peer, kFirstLine));
    EXPECT_TRUE(client.WaitForOutput([](const std::string& out) { return out.size() >= kFirstLine.size(); }, 10000ms));
    EXPECT_EQ(client.Output(), kFirstLine);

    // Bytes beyond ASCII come out one for one, as they arrived, not re-encoded.
    std::string high;
    for (int b = 0x80; b <= 0xff; ++b) high.push_back(static_cast<char>(b));
    high += "\n";
    ASSERT_TRUE(testsupport::WriteAll(peer, high));
    const std::string expected = kFirstLine + high;
    EXPECT_TRUE(client.WaitForOutput([&](const std::string& out) { return out.size() >= expected.size(); }, 10000ms));
    EXPECT_EQ(client.Output(), expected);

    const int status = client.Stop(SIGTERM, 5000ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_TRUE(SeesEndOfStream(peer, 5000ms)) << "the window did not close its connection";
    ::close(peer);
}

// The program on the offscreen platform with its standard error joining its output.
std::unique_ptr<ChildProcess> StartOffscreen(const TempDir& runtime, std::vector<std::string> args) {
    args.insert(args.begin(), WLCLIENT_PATH);
    return std::make_unique<ChildProcess>(ChildProcess::Options{
        args, ClientEnvironment({"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime.Path().string()}), true,
        -1, true});
}

// A listening socket on 127.0.0.1:port, for a server that comes back on its port; -1 on failure.
int ListenOn(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = testsupport::LoopbackAddress(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int AcceptWithin(int listenFd, std::chrono::milliseconds limit) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

// --help and --version answer without a display; a mistake is one line and status 2.
TEST(WlclientProgram, AnswersHelpAndVersionWithoutADisplayAndRefusesAMistake) {
    const auto noDisplay = ClientEnvironment({"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
    const auto help = clienttest::RunForOutput({WLCLIENT_PATH, "--help"}, noDisplay);
    ASSERT_TRUE(help) << "--help failed";
    EXPECT_EQ(help->rfind("Usage: wlclient [options]\n", 0), 0u) << *help;
    for (const char* option : {"--port <TEXT>", "--host <NAME>", "--connect", "--reconnect", "--echo", "--version"}) {
        EXPECT_NE(help->find(option), std::string::npos) << option;
    }
    EXPECT_EQ(clienttest::RunForOutput({WLCLIENT_PATH, "--version"}, noDisplay), "wlclient " CSOCKET_VERSION "\n");

    ChildProcess bad({{WLCLIENT_PATH, "--port", "8765", "--bogus"}, noDisplay, true, -1, true});
    const auto status = bad.Wait(10000ms);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2) << "wait status " << *status;
    EXPECT_EQ(bad.Output(), "wlclient: unknown option '--bogus' (see 'wlclient --help')\n");
}

// Qt's own options are still Qt's, and the program's options may follow them.
TEST(WlclientProgram, LetsQtTakeItsOwnOptions) {
    TempDir runtime;
    ChildProcess client({{WLCLIENT_PATH, "-platform", "offscreen", "--version"},
                         ClientEnvironment({"QT_QPA_PLATFORM", "DISPLAY"}), true, -1, true});
    ASSERT_TRUE(client.Wait(10000ms));
    EXPECT_EQ(client.Output(), "wlclient " CSOCKET_VERSION "\n");
}

TEST(WlclientProgram, HostOptionConnectsToANameThroughTheLookup) {
    testsupport::RawListener listener;
    TempDir runtime;
    auto client = StartOffscreen(runtime, {"--host", "localhost", "--port", std::to_string(listener.Port()),
                                           "--connect", "--echo"});
    const int peer = listener.Accept(10000ms);
    ASSERT_GE(peer, 0) << "no connection came: " << client->Output();
    ASSERT_TRUE(testsupport::WriteAll(peer, kFirstLine));
    EXPECT_TRUE(client->WaitForOutput([](const std::string& out) { return out.size() >= kFirstLine.size(); }, 10000ms));
    EXPECT_EQ(client->Output(), kFirstLine);
    ::close(peer);
}

TEST(WlclientProgram, AFailedLookupNamesTheHostAndTheWindowGoesOn) {
    TempDir runtime;
    auto client = StartOffscreen(runtime, {"--host", "no-such-host..invalid", "--connect"});
    const std::string expected = "wlclient: Host 'no-such-host..invalid' not found (11001)\n";
    EXPECT_TRUE(client->WaitForOutput([&](const std::string& out) { return out.find(expected) != std::string::npos; },
                                      10000ms))
        << client->Output();
    const int status = client->Stop(SIGTERM, 5000ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

// The server stops and starts again on its port: the window shows its next line.
TEST(WlclientProgram, ReconnectOptionSurvivesAServerRestart) {
    int listenFd = ListenOn(0);
    ASSERT_GE(listenFd, 0);
    const int port = testsupport::LocalPortOf(listenFd);
    TempDir runtime;
    auto client = StartOffscreen(runtime, {"--port", std::to_string(port), "--connect", "--reconnect", "--echo"});
    int peer = AcceptWithin(listenFd, 10000ms);
    ASSERT_GE(peer, 0) << "no connection came: " << client->Output();
    ASSERT_TRUE(testsupport::WriteAll(peer, kFirstLine));
    ASSERT_TRUE(client->WaitForOutput([](const std::string& out) { return out.size() >= kFirstLine.size(); }, 10000ms));

    // Down for long enough that one try is refused (after 1 s), back before the next (2 s later).
    ::close(peer);
    ::close(listenFd);
    std::this_thread::sleep_for(1500ms);
    listenFd = ListenOn(port);
    ASSERT_GE(listenFd, 0) << "cannot listen on port " << port << " again";
    peer = AcceptWithin(listenFd, 10000ms);
    ASSERT_GE(peer, 0) << "no connection after the restart: " << client->Output();
    ASSERT_TRUE(testsupport::WriteAll(peer, kSecondLine));
    EXPECT_TRUE(client->WaitForOutput(
        [](const std::string& out) { return out.size() >= kFirstLine.size() + kSecondLine.size(); }, 10000ms));
    EXPECT_EQ(client->Output(), kFirstLine + kSecondLine);

    const int status = client->Stop(SIGTERM, 5000ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    ::close(peer);
    ::close(listenFd);
}

// The Windows program's command line under Wine, no display needed: "/?", which
// Windows users try first, is --help, and a mistake ends with status 2.
TEST(WlclientWindowsProgram, TakesSlashQuestionMarkForHelpAndEndsAMistakeWithStatus2) {
    if (kWindowsClient.empty()) {
        GTEST_SKIP() << "no Windows build given (configure with -DCSOCKET_WINDOWS_WLCLIENT=.../wlclient.exe)";
    }
    const auto environment = clienttest::EnvironmentWith(
        {"WINEPREFIX=" + kWinePrefix.string(), "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY"});
    const auto help = clienttest::RunForOutput({kWine, kWindowsClient, "/?"}, environment, 180000ms);
    ASSERT_TRUE(help) << "/? failed";
    EXPECT_EQ(help->rfind("Usage: wlclient [options]", 0), 0u) << *help;
    EXPECT_NE(help->find("start /wait"), std::string::npos) << *help;

    ChildProcess bad({{kWine, kWindowsClient, "--bogus"}, environment, true, -1, true});
    const auto status = bad.Wait(60000ms);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2) << "wait status " << *status;
    EXPECT_NE(bad.Output().find("wlclient: unknown option '--bogus'"), std::string::npos) << bad.Output();
    clienttest::RunForOutput({kWineServer, "-k"}, environment, 20000ms);
}

// Which window the program shows: the Qt one on Linux, or the Windows one under Wine.
enum class Toolkit { Qt, Win32 };

std::string ToolkitName(const ::testing::TestParamInfo<Toolkit>& info) {
    return info.param == Toolkit::Qt ? "Qt" : "Win32UnderWine";
}

// An Xvfb of its own (it picks a free display) and the wlclient program on it.
class WlclientEndToEnd : public ::testing::TestWithParam<Toolkit> {
protected:
    bool UnderWine() const { return GetParam() == Toolkit::Win32; }

    void SetUp() override {
        if (UnderWine()) {
            if (kWindowsClient.empty()) {
                GTEST_SKIP() << "no Windows build given (configure with -DCSOCKET_WINDOWS_WLCLIENT=.../wlclient.exe)";
            }
            ASSERT_TRUE(std::filesystem::exists(kWindowsClient)) << kWindowsClient;
            ASSERT_TRUE(std::filesystem::exists(kWine)) << "Wine is missing: run scripts/deps";
        }
        for (const char* tool : {"Xvfb", "xdotool", "xwininfo", "import"}) {
            ASSERT_FALSE(clienttest::FindProgram(tool).empty()) << tool << " is missing: run scripts/deps";
        }
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        // -noreset: otherwise the server resets whenever its last client leaves (an
        // xdotool run while the window is still starting), and a connection made
        // during the reset is refused.
        m_xvfb = std::make_unique<ChildProcess>(ChildProcess::Options{
            {clienttest::FindProgram("Xvfb"), "-displayfd", "3", "-screen", "0", "640x480x24", "-nolisten", "tcp",
             "-noreset"},
            clienttest::EnvironmentWith({}), false, fds[1]});
        ::close(fds[1]);
        // Xvfb writes the number and the line end separately, and stops with an error
        // if the second write finds the pipe closed: read up to the line end.
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 100) != 1) continue;
            char buf[32];
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            number.append(buf, static_cast<size_t>(n));
        }
        ::close(fds[0]);
        ASSERT_NE(number.find('\n'), std::string::npos) << "Xvfb named no display";
        number.pop_back();
        m_display = ":" + number;
        if (UnderWine()) PrepareWinePrefix();
    }

    void TearDown() override {
        m_client.reset();
        if (m_wineDpiSet) SetWineDpi(0);  // the prefix is shared
        // Wine's helpers (wineserver, explorer.exe, ...) would outlive the test and
        // its display: end them, this prefix's only.
        if (UnderWine() && std::filesystem::exists(kWinePrefix)) {
            clienttest::RunForOutput({kWineServer, "-k"}, WineEnvironment(), 20000ms);
        }
        m_xvfb.reset();
    }

    std::vector<std::string> WineEnvironment() const {
        return clienttest::EnvironmentWith({"DISPLAY=" + m_display, "WINEPREFIX=" + kWinePrefix.string(),
                                            "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="});
    }

    // The prefix, made once (Wine's X11 driver; about 15 s) with Wine's own faces
    // in its font folder, as a Windows machine has them.
    void PrepareWinePrefix() {
        const std::filesystem::path ready = kWinePrefix / ".ready";
        if (std::filesystem::exists(ready)) return;
        ASSERT_TRUE(clienttest::RunForOutput({kWine, "wineboot", "--init"}, WineEnvironment(), 180000ms))
            << "cannot make the Wine prefix " << kWinePrefix;
        const std::filesystem::path fonts = kWinePrefix / "drive_c" / "windows" / "Fonts";
        std::filesystem::create_directories(fonts);
        std::error_code error;
        for (const auto& face : std::filesystem::directory_iterator(kWineFonts, error)) {
            std::filesystem::create_symlink(face.path(), fonts / face.path().filename(), error);
        }
        clienttest::RunForOutput({kWineServer, "-k"}, WineEnvironment(), 20000ms);
        std::ofstream{ready};
    }

    std::vector<std::string> XEnvironment() const {
        return ClientEnvironment({"DISPLAY=" + m_display, "XDG_RUNTIME_DIR=" + m_runtime.Path().string(), "QT_QPA_PLATFORM"});
    }

    // The program with --port and --echo; `stderrToo` joins its standard error to
    // the output, and `qtEnvironment` changes the Qt program's environment.
    void StartClient(int port, bool stderrToo = false, const std::vector<std::string>& qtEnvironment = {}) {
        if (UnderWine()) {
            m_client = std::make_unique<ChildProcess>(ChildProcess::Options{
                {kWine, kWindowsClient, "--port", std::to_string(port), "--echo"}, WineEnvironment(), true, -1,
                stderrToo});
            return;
        }
        std::vector<std::string> environment = {"DISPLAY=" + m_display, "XDG_RUNTIME_DIR=" + m_runtime.Path().string(),
                                                "QT_QPA_PLATFORM"};
        environment.insert(environment.end(), qtEnvironment.begin(), qtEnvironment.end());
        m_client = std::make_unique<ChildProcess>(ChildProcess::Options{
            {WLCLIENT_PATH, "--port", std::to_string(port), "--echo"}, ClientEnvironment(environment), true, -1,
            stderrToo});
    }

    // Sets the Wine prefix's DPI (its LogPixels); 0 takes the setting away again.
    bool SetWineDpi(int dpi) {
        const std::string key = "HKCU\\Control Panel\\Desktop";
        const auto done = dpi == 0 ? clienttest::RunForOutput({kWine, "reg", "delete", key, "/v", "LogPixels", "/f"},
                                                              WineEnvironment(), 60000ms)
                                   : clienttest::RunForOutput({kWine, "reg", "add", key, "/v", "LogPixels", "/t",
                                                               "REG_DWORD", "/d", std::to_string(dpi), "/f"},
                                                              WineEnvironment(), 60000ms);
        // Wine reads it when its server starts.
        clienttest::RunForOutput({kWineServer, "-k"}, WineEnvironment(), 20000ms);
        return done.has_value();
    }

    // The ids of the shown windows named "ZEDizud Arovov": the window, and a message box.
    std::vector<std::string> NamedWindows() {
        const auto found = clienttest::RunForOutput(
            {clienttest::FindProgram("xdotool"), "search", "--onlyvisible", "--name", "^ZEDizud Arovov$"},
            XEnvironment(), 2000ms);
        std::vector<std::string> ids;
        std::istringstream lines(found.value_or(""));
        for (std::string id; std::getline(lines, id);) {
            if (!id.empty()) ids.push_back(id);
        }
        return ids;
    }

    // The message box in front of the window; empty when none comes.
    std::string FindMessageBox(const std::string& windowId) {
        std::string box;
        WaitUntil([&] {
            for (const std::string& id : NamedWindows()) {
                if (id != windowId) box = id;
            }
            return !box.empty();
        }, 10000ms);
        return box;
    }

    // Dismisses the message box with Enter, as the user would.
    bool DismissMessageBox(const std::string& boxId) {
        const std::string xdotool = clienttest::FindProgram("xdotool");
        return clienttest::RunForOutput({xdotool, "windowfocus", "--sync", boxId, "key", "Return"}, XEnvironment()) &&
               WaitUntil([&] {
                   const auto ids = NamedWindows();
                   return std::find(ids.begin(), ids.end(), boxId) == ids.end();
               }, 5000ms);
    }

    // A picture of the whole screen, with the message box moved below the window
    // (with no window manager, Qt puts it over the window's top left corner).
    std::string SaveScreen(const std::string& name, const std::string& boxId) {
        clienttest::RunForOutput({clienttest::FindProgram("xdotool"), "windowmove", "--sync", boxId, "0", "110"},
                                 XEnvironment(), 5000ms);
        std::this_thread::sleep_for(300ms);  // drawn again
        const std::string file = std::string(SCREENSHOT_DIR) + "/" + name + (UnderWine() ? "-win32.png" : "-qt.png");
        EXPECT_TRUE(clienttest::RunForOutput({clienttest::FindProgram("import"), "-window", "root", file}, XEnvironment()))
            << "no screenshot " << file;
        return file;
    }

    // The number of pixels in which two pictures of the window's client area differ.
    long PixelsThatDiffer(const std::string& a, const std::string& b) {
        const auto out = clienttest::RunForOutput(
            {"/bin/sh", "-c", clienttest::FindProgram("compare") + " -metric AE " + a + " " + b + " null: 2>&1; true"},
            XEnvironment());
        return out ? std::atol(out->c_str()) : -1;
    }

    // The id of the client's window once it is mapped; empty after 10 seconds (30
    // under Wine, whose helpers start first).
    std::string FindWindow() {
        std::string id;
        WaitUntil([&] {
            const auto found = clienttest::RunForOutput(
                {clienttest::FindProgram("xdotool"), "search", "--onlyvisible", "--name", "^ZEDizud Arovov$"},
                XEnvironment(), 2000ms);
            if (found && !found->empty()) id = found->substr(0, found->find('\n'));
            return !id.empty();
        }, UnderWine() ? 30000ms : 10000ms);
        return id;
    }

    // The window's size as the X server has it, "WxH".
    std::string WindowSize(const std::string& id) {
        const auto info = clienttest::RunForOutput({clienttest::FindProgram("xwininfo"), "-id", id}, XEnvironment());
        if (!info) return "";
        std::smatch w, h;
        if (!std::regex_search(*info, w, std::regex("Width: (\\d+)")) ||
            !std::regex_search(*info, h, std::regex("Height: (\\d+)"))) {
            return "";
        }
        return w[1].str() + "x" + h[1].str();
    }

    // A mouse click where the user would click to tick "Connect", in a window
    // `scale` times the size it has at 96 DPI.
    bool ClickConnect(const std::string& id, double scale = 1.0) {
        const std::string xdotool = clienttest::FindProgram("xdotool");
        return clienttest::RunForOutput({xdotool, "windowfocus", "--sync", id}, XEnvironment()) &&
               clienttest::RunForOutput({xdotool, "mousemove", "--window", id, std::to_string(std::lround(kTickX * scale)),
                                         std::to_string(std::lround(kTickY * scale)), "click", "1"},
                                        XEnvironment());
    }

    bool EchoIs(const std::string& expected) {
        return m_client->WaitForOutput([&](const std::string& out) { return out.size() >= expected.size(); }, 10000ms) &&
               m_client->Output() == expected;
    }

    // Saves a picture of the window (its client area) in the build folder.
    void SaveScreenshot(const std::string& id) {
        const std::string file =
            std::string(SCREENSHOT_DIR) + (UnderWine() ? "/wlclient-win32.png" : "/wlclient-qt.png");
        EXPECT_TRUE(clienttest::RunForOutput({clienttest::FindProgram("import"), "-window", id, file}, XEnvironment()))
            << "no screenshot " << file;
    }

    // Closes the window as the user would (Qt: SIGTERM, which the program takes as
    // a close; Windows: Alt+F4); the program then ends normally.
    void ExpectCleanExitOnClose(const std::string& id) {
        int status = -1;
        if (UnderWine()) {
            const std::string xdotool = clienttest::FindProgram("xdotool");
            EXPECT_TRUE(clienttest::RunForOutput({xdotool, "windowfocus", "--sync", id, "key", "alt+F4"}, XEnvironment()));
            status = m_client->Wait(10000ms).value_or(-1);
        } else {
            status = m_client->Stop(SIGTERM, 5000ms);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    }

    TempDir m_runtime;
    bool m_wineDpiSet = false;
    std::string m_display;
    std::unique_ptr<ChildProcess> m_xvfb;
    std::unique_ptr<ChildProcess> m_client;
};

TEST_P(WlclientEndToEnd, ClickOnConnectShowsEachLineALoopbackServerSends) {
    testsupport::RawListener listener;
    StartClient(listener.Port());
    const std::string id = FindWindow();
    ASSERT_FALSE(id.empty()) << "no window \"ZEDizud Arovov\" on " << m_display;
    EXPECT_EQ(WindowSize(id), "197x65");

    ASSERT_TRUE(ClickConnect(id));
    const int peer = listener.Accept(10000ms);
    ASSERT_GE(peer, 0) << "the click made no connection";

    ASSERT_TRUE(testsupport::WriteAll(peer, kFirstLine));
    EXPECT_TRUE(EchoIs(kFirstLine)) << m_client->Output();
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(testsupport::WriteAll(peer, kSecondLine));
    EXPECT_TRUE(EchoIs(kFirstLine + kSecondLine)) << m_client->Output();
    SaveScreenshot(id);

    ExpectCleanExitOnClose(id);
    EXPECT_TRUE(SeesEndOfStream(peer, 5000ms)) << "the window did not close its connection";
    ::close(peer);
}

// Nothing listens on the port: the click's connection is refused, the window says
// so, and "Connect" is unticked: the next click (once the box is dismissed) ticks it
// again and connects.
TEST_P(WlclientEndToEnd, ARefusedConnectionIsShownAndTheBoxUnticked) {
    const int port = testsupport::ClosedPort();
    StartClient(port, /*stderrToo=*/true);
    const std::string id = FindWindow();
    ASSERT_FALSE(id.empty()) << "no window \"ZEDizud Arovov\" on " << m_display;
    ASSERT_TRUE(ClickConnect(id));
    const std::string expected =
        "wlclient: Cannot connect to 127.0.0.1 port " + std::to_string(port) + ": connection refused (10061)";
    EXPECT_TRUE(m_client->WaitForOutput([&](const std::string& out) { return out.find(expected) != std::string::npos; },
                                        10000ms))
        << m_client->Output();
    const std::string box = FindMessageBox(id);
    ASSERT_FALSE(box.empty()) << "no message box came up";
    SaveScreen("wlclient-refused", box);
    ASSERT_TRUE(DismissMessageBox(box));

    const int listenFd = ListenOn(port);
    ASSERT_GE(listenFd, 0);
    ASSERT_TRUE(ClickConnect(id));
    const int peer = AcceptWithin(listenFd, 10000ms);
    EXPECT_GE(peer, 0) << "the next click did not connect: the box had stayed ticked";
    ExpectCleanExitOnClose(id);
    if (peer >= 0) ::close(peer);
    ::close(listenFd);
}

// The server sends a line and closes: the line stays, the window says that the
// server closed the connection, and "Connect" is unticked.
TEST_P(WlclientEndToEnd, AServerThatClosesIsShownAndTheBoxUnticked) {
    const int listenFd = ListenOn(0);
    ASSERT_GE(listenFd, 0);
    const int port = testsupport::LocalPortOf(listenFd);
    StartClient(port, /*stderrToo=*/true);
    const std::string id = FindWindow();
    ASSERT_FALSE(id.empty()) << "no window \"ZEDizud Arovov\" on " << m_display;
    ASSERT_TRUE(ClickConnect(id));
    int peer = AcceptWithin(listenFd, 10000ms);
    ASSERT_GE(peer, 0) << "the click made no connection";
    ASSERT_TRUE(testsupport::WriteAll(peer, kFirstLine));
    ASSERT_TRUE(m_client->WaitForOutput([](const std::string& out) { return out.find(kFirstLine) != std::string::npos; },
                                        10000ms));
    ::close(peer);
    const std::string expected = "wlclient: The server closed the connection (127.0.0.1 port " + std::to_string(port) + ")";
    EXPECT_TRUE(m_client->WaitForOutput([&](const std::string& out) { return out.find(expected) != std::string::npos; },
                                        10000ms))
        << m_client->Output();
    const std::string box = FindMessageBox(id);
    ASSERT_FALSE(box.empty()) << "no message box came up";
    SaveScreen("wlclient-closed", box);
    ASSERT_TRUE(DismissMessageBox(box));

    ASSERT_TRUE(ClickConnect(id));
    peer = AcceptWithin(listenFd, 10000ms);
    EXPECT_GE(peer, 0) << "the next click did not connect: the box had stayed ticked";
    ExpectCleanExitOnClose(id);
    if (peer >= 0) ::close(peer);
    ::close(listenFd);
}

// Six lines in one read: the box shows the sixth. Seen from outside: a burst that
// differs from the last one in its sixth line alone changes what the box shows, one
// that differs in its first line alone does not.
TEST_P(WlclientEndToEnd, SixLinesInOneReadShowTheLast) {
    testsupport::RawListener listener;
    StartClient(listener.Port());
    const std::string id = FindWindow();
    ASSERT_FALSE(id.empty()) << "no window \"ZEDizud Arovov\" on " << m_display;
    ASSERT_TRUE(ClickConnect(id));
    const int peer = listener.Accept(10000ms);
    ASSERT_GE(peer, 0) << "the click made no connection";

    const auto burst = [](const std::string& first, const std::string& last) {
        std::string text = "0000000000000001 00 KEY_" + first + " myremote\n";
        for (int i = 2; i <= 5; ++i) text += "000000000000000" + std::to_string(i) + " 00 KEY_" + std::to_string(i) + " myremote\n";
        return text + "0000000000000006 00 KEY_" + last + " myremote\n";
    };
    std::string echoed;
    std::vector<std::string> pictures;
    for (const auto& [first, last] : {std::pair{"UP", "UP"}, std::pair{"UP", "MUTE"}, std::pair{"MUTE", "MUTE"}}) {
        const std::string text = burst(first, last);
        ASSERT_TRUE(testsupport::WriteAll(peer, text));
        echoed += text;
        ASSERT_TRUE(EchoIs(echoed)) << m_client->Output();
        std::this_thread::sleep_for(300ms);  // drawn
        pictures.push_back(std::string(SCREENSHOT_DIR) + "/burst" + std::to_string(pictures.size()) +
                           (UnderWine() ? "-win32.png" : "-qt.png"));
        ASSERT_TRUE(clienttest::RunForOutput({clienttest::FindProgram("import"), "-window", id, pictures.back()},
                                             XEnvironment()));
    }
    EXPECT_GT(PixelsThatDiffer(pictures[0], pictures[1]), 0) << "the sixth line is not in view";
    EXPECT_EQ(PixelsThatDiffer(pictures[1], pictures[2]), 0) << "the first line is in view, not the newest";
    std::filesystem::rename(pictures[2], std::string(SCREENSHOT_DIR) + (UnderWine() ? "/wlclient-burst-win32.png"
                                                                                    : "/wlclient-burst-qt.png"));
    ExpectCleanExitOnClose(id);
    ::close(peer);
}

// At 144 DPI (Wine's LogPixels; Qt's font DPI, which Qt turns into a scale factor)
// the window is the twips at that DPI, half as large again, and shows its start.
TEST_P(WlclientEndToEnd, At144DpiTheWindowGrowsInStep) {
    if (UnderWine()) {
        m_wineDpiSet = true;
        ASSERT_TRUE(SetWineDpi(144));
    }
    testsupport::RawListener listener;
    StartClient(listener.Port(), false, {"QT_FONT_DPI=144"});
    const std::string id = FindWindow();
    ASSERT_FALSE(id.empty()) << "no window \"ZEDizud Arovov\" on " << m_display;
    // Twips at 144 DPI; Qt scales the 96-DPI pixels by 1.5 and rounds up.
    EXPECT_EQ(WindowSize(id), UnderWine() ? "295x97" : "296x98");
    ASSERT_TRUE(ClickConnect(id, 1.5));
    const int peer = listener.Accept(10000ms);
    ASSERT_GE(peer, 0) << "the click made no connection";
    ASSERT_TRUE(testsupport::WriteAll(peer, kFirstLine));
    EXPECT_TRUE(EchoIs(kFirstLine)) << m_client->Output();
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(clienttest::RunForOutput({clienttest::FindProgram("import"), "-window", id,
                                          std::string(SCREENSHOT_DIR) + (UnderWine() ? "/wlclient-144dpi-win32.png"
                                                                                     : "/wlclient-144dpi-qt.png")},
                                         XEnvironment()));
    ExpectCleanExitOnClose(id);
    ::close(peer);
}

// lircd with an empty remote table: SIMULATE makes it send the given line to
// every TCP client. One lircd per test; it is stopped by its pid.
class WlclientWithLircd : public WlclientEndToEnd {
protected:
    void SetUp() override {
        m_lircdPath = clienttest::FindProgram("lircd");
        m_irsendPath = clienttest::FindProgram("irsend");
        if (m_lircdPath.empty() || m_irsendPath.empty()) {
            GTEST_SKIP() << "lircd or irsend is not installed (Debian package lirc; scripts/deps installs it)";
        }
        WlclientEndToEnd::SetUp();
    }

    void TearDown() override {
        m_client.reset();  // the only TCP client leaves first, alone
        m_lircdProcess.reset();
        WlclientEndToEnd::TearDown();
    }

    void StartLircd() {
        const std::filesystem::path dir = m_folder.Path();
        std::ofstream(dir / "lirc_options.conf") << "[lircd]\n";
        std::ofstream(dir / "lircd.conf");
        m_port = testsupport::ClosedPort();
        m_socket = (dir / "lircd.sock").string();
        m_lircdProcess = std::make_unique<ChildProcess>(ChildProcess::Options{
            {m_lircdPath, "--options-file=" + (dir / "lirc_options.conf").string(), "--nodaemon", "--driver=file",
             "--device=/dev/null", "--output=" + m_socket, "--pidfile=" + (dir / "lircd.pid").string(),
             "--logfile=" + (dir / "lircd.log").string(), "--allow-simulate",
             "--listen=127.0.0.1:" + std::to_string(m_port), (dir / "lircd.conf").string()},
            clienttest::EnvironmentWith({}), false, -1});
    }

    bool Simulate(const std::string& line) {
        return clienttest::RunForOutput({m_irsendPath, "--device=" + m_socket, "SIMULATE", line.substr(0, line.size() - 1)},
                                        clienttest::EnvironmentWith({}))
            .has_value();
    }

    std::string Log() {
        std::ifstream log(m_folder.Path() / "lircd.log");
        return std::string(std::istreambuf_iterator<char>(log), {});
    }

    std::string m_lircdPath, m_irsendPath, m_socket;
    int m_port = 0;
    TempDir m_folder;
    std::unique_ptr<ChildProcess> m_lircdProcess;
};

TEST_P(WlclientWithLircd, ClickOnConnectShowsEachLineLircdSends) {
    StartLircd();
    ASSERT_TRUE(WaitUntil([&] { return LocalSocketInState(m_port, "0A") && std::filesystem::exists(m_socket); }, 10000ms))
        << "lircd is not listening on 127.0.0.1:" << m_port << "\n" << Log();

    StartClient(m_port);
    const std::string id = FindWindow();
    ASSERT_FALSE(id.empty()) << "no window \"ZEDizud Arovov\" on " << m_display;
    EXPECT_EQ(WindowSize(id), "197x65");
    ASSERT_TRUE(ClickConnect(id));
    ASSERT_TRUE(WaitUntil([&] { return LocalSocketInState(m_port, "01"); }, 10000ms)) << "the click made no connection";
    // Accepted by the kernel is not yet a client of lircd: wait for lircd to say so.
    ASSERT_TRUE(WaitUntil([&] { return Log().find(kTcpClientAccepted) != std::string::npos; }, 10000ms)) << Log();

    ASSERT_TRUE(Simulate(kFirstLine));
    EXPECT_TRUE(EchoIs(kFirstLine)) << m_client->Output() << "\n" << Log();
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(Simulate(kSecondLine));
    EXPECT_TRUE(EchoIs(kFirstLine + kSecondLine)) << m_client->Output() << "\n" << Log();

    ExpectCleanExitOnClose(id);
}

INSTANTIATE_TEST_SUITE_P(Window, WlclientEndToEnd, ::testing::Values(Toolkit::Qt, Toolkit::Win32), ToolkitName);
INSTANTIATE_TEST_SUITE_P(Window, WlclientWithLircd, ::testing::Values(Toolkit::Qt, Toolkit::Win32), ToolkitName);

}  // namespace
