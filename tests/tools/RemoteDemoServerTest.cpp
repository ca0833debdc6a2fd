// SPDX-License-Identifier: MIT
// The demo remote-control server, run as the real program on a free loopback port
// and talked to through plain POSIX sockets, as a client of such a server would.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/Loopback.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kServerPath = REMOTE_DEMO_SERVER;
// Given a launcher (cmake/wine-run), the server is the Windows build's, run under
// Wine and read from here: Wine's sockets are the host's.
#ifdef SERVER_LAUNCHER
constexpr const char* kLauncher = SERVER_LAUNCHER;
#else
constexpr const char* kLauncher = "";
#endif
constexpr bool kUnderWine = kLauncher[0] != '\0';
constexpr const char* kNoStopSignalOnWindows =
    "Windows has no stop signal from outside: Ctrl-C reaches only a program with a console, and Wine ends the "
    "program at SIGTERM";
// Generous: the sanitizer build starts and runs the server several times slower.
constexpr auto kLimit = 10s;

const std::regex kLineFormat(R"(^([0-9a-f]{16}) ([0-9a-f]{2}) (\S+) (\S+)$)");

int MillisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// The server program as a child process with its standard output and error
// captured. Killed and reaped on destruction if it is still running.
class ServerProcess {
public:
    explicit ServerProcess(const std::vector<std::string>& args) {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        // Whatever the test runner blocks or ignores, the server gets its signals.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigset_t stops;
        sigemptyset(&none);
        sigemptyset(&stops);
        for (int signo : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&stops, signo);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &stops);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        std::vector<std::string> all_args{kServerPath};
        if (kUnderWine) all_args.insert(all_args.begin(), kLauncher);
        all_args.insert(all_args.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all_args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&m_pid, argv[0], &actions, &attr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        ::close(out[1]);
        ::close(err[1]);
        m_outFd = out[0];
        m_errFd = err[0];
    }

    ~ServerProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_outFd >= 0) ::close(m_outFd);
        if (m_errFd >= 0) ::close(m_errFd);
    }

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Started() const { return m_pid > 0 || m_exitStatus; }
    pid_t Pid() const { return m_pid; }
    std::string Log() const { return Text(m_err); }
    std::string Out() const { return Text(m_out); }

    // Waits until the standard error output matches `pattern`; false at time-out
    // or when the program ended without it.
    bool WaitForLog(const std::string& pattern, milliseconds limit = kLimit) {
        const std::regex re(pattern);
        const auto deadline = Clock::now() + limit;
        while (true) {
            if (std::regex_search(Log(), re)) return true;
            if (m_pid <= 0 && m_errFd < 0) return false;
            if (Clock::now() >= deadline) return false;
            Collect(std::min(MillisLeft(deadline), 20));
            Reap();
        }
    }

    // The exit code (128 + the signal for a program killed by one), or nullopt if
    // it is still running when the time is up.
    std::optional<int> WaitExit(milliseconds limit = kLimit) {
        const auto deadline = Clock::now() + limit;
        while (!m_exitStatus) {
            Reap();
            if (m_exitStatus) break;
            if (Clock::now() >= deadline) return std::nullopt;
            Collect(std::min(MillisLeft(deadline), 10));
        }
        while (m_outFd >= 0 || m_errFd >= 0) Collect(100);
        const int st = *m_exitStatus;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    void Signal(int signo) {
        if (m_pid > 0) ::kill(m_pid, signo);
    }

private:
    // A Windows program writes its standard streams in text mode: "\r\n" ends a line.
    static std::string Text(const std::string& raw) {
        if (!kUnderWine) return raw;
        std::string text;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) text.push_back(raw[i]);
        }
        return text;
    }

    void Reap() {
        if (m_pid <= 0) return;
        int st = 0;
        if (::waitpid(m_pid, &st, WNOHANG) == m_pid) {
            m_exitStatus = st;
            m_pid = -1;
        }
    }

    // Reads what the pipes hold, waiting up to timeoutMs for the first bytes.
    void Collect(int timeoutMs) {
        pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) <= 0) return;
        ReadPipe(fds[0], m_outFd, m_out);
        ReadPipe(fds[1], m_errFd, m_err);
    }

    static void ReadPipe(const pollfd& p, int& fd, std::string& into) {
        if (fd < 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    }

    pid_t m_pid = -1;
    std::optional<int> m_exitStatus;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
};

// One client connection, read line by line.
class Client {
public:
    // Connects to 127.0.0.1:port; a receive buffer size of 0 keeps the default.
    explicit Client(int port, int receiveBuffer = 0) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Client() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return m_fd >= 0; }
    int LocalPort() const { return testsupport::LocalPortOf(m_fd); }
    const std::vector<std::string>& Lines() const { return m_lines; }
    bool Ended() const { return m_ended; }
    bool WasReset() const { return m_reset; }
    const std::string& Unterminated() const { return m_partial; }

    // Reads until `count` lines in all have come; false if the time ran out or the
    // stream ended first.
    bool ReadLines(size_t count, milliseconds limit = kLimit) {
        return ReadUntil([&] { return m_lines.size() >= count; }, limit);
    }
    // Reads until the server ends the stream.
    bool ReadToEnd(milliseconds limit = kLimit) {
        return ReadUntil([&] { return m_ended; }, limit);
    }

    // Drops the connection with a reset instead of an orderly close.
    void Reset() {
        testsupport::ResetClose(m_fd);
        m_fd = -1;
    }

private:
    bool ReadUntil(const std::function<bool()>& done, milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!done()) {
            if (m_ended || m_fd < 0 || Clock::now() >= deadline) return false;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, MillisLeft(deadline)) <= 0) continue;
            char buf[65536];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                m_ended = true;
                m_reset = n < 0;
                continue;
            }
            m_partial.append(buf, static_cast<size_t>(n));
            size_t start = 0;
            for (size_t nl; (nl = m_partial.find('\n', start)) != std::string::npos; start = nl + 1) {
                m_lines.push_back(m_partial.substr(start, nl - start));
            }
            m_partial.erase(0, start);
        }
        return true;
    }

    int m_fd = -1;
    std::string m_partial;
    std::vector<std::string> m_lines;
    bool m_ended = false;
    bool m_reset = false;
};

::testing::AssertionResult AllWellFormed(const std::vector<std::string>& lines, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (!std::regex_match(lines[i], kLineFormat)) {
            return ::testing::AssertionFailure() << "line " << i << " is malformed: \"" << lines[i] << "\"";
        }
    }
    return ::testing::AssertionSuccess();
}

class RemoteDemoServer : public ::testing::Test {
protected:
    // Starts the server; with a port, waits until it listens there.
    ServerProcess& Start(std::vector<std::string> args, std::optional<int> port = std::nullopt) {
        if (port) {
            args.insert(args.begin(), {"--port", std::to_string(*port)});
        }
        m_server = std::make_unique<ServerProcess>(args);
        EXPECT_TRUE(m_server->Started()) << "cannot start " << kServerPath;
        if (port) {
            EXPECT_TRUE(m_server->WaitForLog("listening on 127\\.0\\.0\\.1:" + std::to_string(*port)));
        }
        return *m_server;
    }

    void TearDown() override {
        if (HasFailure() && m_server) {
            std::cerr << "--- the server's standard error ---\n" << m_server->Log() << "---\n";
        }
    }

    std::unique_ptr<ServerProcess> m_server;
};

TEST_F(RemoteDemoServer, ServesSeveralClientsAndOutlivesOneThatResets) {
    const int port = testsupport::ClosedPort();
    ServerProcess& server = Start({"--interval-ms", "30"}, port);

    Client a(port);
    Client b(port);
    ASSERT_TRUE(a.Connected() && b.Connected());
    const std::string peerA = "127\\.0\\.0\\.1:" + std::to_string(a.LocalPort());
    ASSERT_TRUE(server.WaitForLog("client " + peerA + " connected"));
    ASSERT_TRUE(a.ReadLines(3));
    ASSERT_TRUE(b.ReadLines(3));
    EXPECT_TRUE(AllWellFormed(a.Lines()));
    EXPECT_TRUE(AllWellFormed(b.Lines()));

    a.Reset();
    ASSERT_TRUE(server.WaitForLog("client " + peerA + " (lost|left).*\\(1 connected\\)"));
    const size_t seen = b.Lines().size();
    ASSERT_TRUE(b.ReadLines(seen + 5)) << "the other client stopped receiving";
    EXPECT_TRUE(AllWellFormed(b.Lines(), seen));

    // Still accepting after the reset.
    Client c(port);
    ASSERT_TRUE(c.Connected());
    ASSERT_TRUE(c.ReadLines(2));
    EXPECT_TRUE(AllWellFormed(c.Lines()));

    if (kUnderWine) return;  // kNoStopSignalOnWindows: the server is killed at the end
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(), 0);
}

TEST_F(RemoteDemoServer, CountStopsAfterThatManyLinesAndHeldButtonsCountUp) {
    const int port = testsupport::ClosedPort();
    ServerProcess& server = Start({"--interval-ms", "5", "--count", "60"}, port);
    Client client(port);
    ASSERT_TRUE(client.Connected());

    ASSERT_TRUE(client.ReadToEnd()) << "got " << client.Lines().size() << " lines";
    EXPECT_FALSE(client.WasReset());
    EXPECT_EQ(client.Unterminated(), "");
    EXPECT_EQ(server.WaitExit(), 0);
    EXPECT_NE(server.Log().find("stopped after 60 lines"), std::string::npos);

    const auto& lines = client.Lines();
    ASSERT_EQ(lines.size(), 60u);
    ASSERT_TRUE(AllWellFormed(lines));
    // A line with repeat count r > 0 continues the line before it: same code,
    // button and remote, count r - 1. Each button keeps its one code.
    std::map<std::string, std::string> codeOf;
    int repeats = 0;
    std::smatch prev;
    std::string prevLine;
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i) + ": " + lines[i]);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, kLineFormat));
        EXPECT_EQ(m[4], "demoremote");
        auto [it, fresh] = codeOf.emplace(m[3], m[1]);
        EXPECT_EQ(it->second, m[1]) << "button with two codes";
        const int repeat = std::stoi(m[2], nullptr, 16);
        if (repeat > 0) {
            ++repeats;
            ASSERT_GT(i, 0u);
            std::smatch p;
            ASSERT_TRUE(std::regex_match(lines[i - 1], p, kLineFormat));
            EXPECT_EQ(p[1], m[1]);
            EXPECT_EQ(p[3], m[3]);
            EXPECT_EQ(std::stoi(p[2], nullptr, 16), repeat - 1);
        }
    }
    EXPECT_GT(repeats, 0) << "no button was held";
    EXPECT_GT(codeOf.size(), 3u) << "hardly any different buttons";
}

TEST_F(RemoteDemoServer, LineOptionSendsTheTextOnceALine) {
    struct Case {
        std::string text;
        std::string line;  // as received, without its newline
    };
    for (const Case& c : {Case{"hello world", "hello world"}, Case{"ends here\n", "ends here"}}) {
        SCOPED_TRACE("--line \"" + c.text + "\"");
        const int port = testsupport::ClosedPort();
        ServerProcess& server = Start({"--interval-ms", "5", "--count", "3", "--line", c.text}, port);
        Client client(port);
        ASSERT_TRUE(client.Connected());
        ASSERT_TRUE(client.ReadToEnd());
        EXPECT_EQ(client.Lines(), std::vector<std::string>(3, c.line));
        EXPECT_EQ(client.Unterminated(), "");
        EXPECT_EQ(server.WaitExit(), 0);
    }
}

// SendData replaces what a socket still has to send, so a server that does not
// wait for its sends to finish loses or cuts lines for a client that reads slowly.
TEST_F(RemoteDemoServer, ClientThatFallsBehindGetsEveryLineWhole) {
    // 6 MB: more than loopback buffers hold for an idle reader. A Windows command line
    // holds at most 32767 characters, so there the lines are shorter and more.
    const std::string text(kUnderWine ? 20'000 : 100'000, 'x');
    const int kLines = kUnderWine ? 300 : 60;
    const int port = testsupport::ClosedPort();
    ServerProcess& server =
        Start({"--interval-ms", "2", "--count", std::to_string(kLines), "--line", text}, port);
    Client client(port, 4096);
    ASSERT_TRUE(client.Connected());

    // Read nothing until the server has produced every line.
    ASSERT_TRUE(server.WaitForLog("sent " + std::to_string(kLines) + " lines"));
    ASSERT_TRUE(client.ReadToEnd());
    EXPECT_FALSE(client.WasReset());
    ASSERT_EQ(client.Lines().size(), static_cast<size_t>(kLines));
    for (size_t i = 0; i < client.Lines().size(); ++i) {
        ASSERT_EQ(client.Lines()[i].size(), text.size()) << "line " << i;
        ASSERT_EQ(client.Lines()[i], text) << "line " << i;
    }
    EXPECT_EQ(server.WaitExit(), 0);
}

TEST_F(RemoteDemoServer, PortInUseIsReportedAndFails) {
    testsupport::RawListener other;
    ServerProcess& server = Start({"--port", std::to_string(other.Port())});
    const auto code = server.WaitExit();
    ASSERT_TRUE(code.has_value()) << "still running on a port that is taken";
    EXPECT_NE(*code, 0);
    EXPECT_NE(server.Log().find("port " + std::to_string(other.Port())), std::string::npos);
    EXPECT_NE(server.Log().find("already in use"), std::string::npos);
}

TEST_F(RemoteDemoServer, StopSignalsCloseClientsAndExitZero) {
    if (kUnderWine) GTEST_SKIP() << kNoStopSignalOnWindows;
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signo == SIGTERM ? "SIGTERM" : "SIGINT");
        const int port = testsupport::ClosedPort();
        ServerProcess& server = Start({"--interval-ms", "20"}, port);
        Client client(port);
        ASSERT_TRUE(client.Connected());
        ASSERT_TRUE(client.ReadLines(1));

        server.Signal(signo);
        EXPECT_EQ(server.WaitExit(), 0);
        EXPECT_TRUE(server.WaitForLog(signo == SIGTERM ? "caught SIGTERM" : "caught SIGINT"));
        EXPECT_TRUE(server.WaitForLog("stopped after [0-9]+ lines"));
        // The client sees an orderly end of the stream, after whole lines only.
        EXPECT_TRUE(client.ReadToEnd(2s));
        EXPECT_FALSE(client.WasReset());
        EXPECT_EQ(client.Unterminated(), "");
        EXPECT_TRUE(AllWellFormed(client.Lines()));
    }
}

TEST_F(RemoteDemoServer, BadOptionsPrintUsageAndExitTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {"--port"},          {"--port", "0"},         {"--port", "65536"},   {"--port", "80x"},
        {"--interval-ms", "0"}, {"--interval-ms", "-5"}, {"--count", "0"},      {"--count", ""},
        {"--frobnicate"},    {"extra"},               {"--help=yes"},        {"--version=1"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args) joined += " '" + a + "'";
        SCOPED_TRACE("arguments:" + joined);
        ServerProcess& server = Start(args);
        EXPECT_EQ(server.WaitExit(), 2);
        // One line: what was wrong, and where to read more.
        const std::regex oneLine("remote_demo_server: [^\n]+ \\(see 'remote_demo_server --help'\\)\n");
        EXPECT_TRUE(std::regex_match(server.Log(), oneLine)) << server.Log();
        EXPECT_EQ(server.Out(), "");
    }

    ServerProcess& help = Start({"--help"});
    EXPECT_EQ(help.WaitExit(), 0);
    EXPECT_NE(help.Out().find("usage:"), std::string::npos);
    EXPECT_NE(help.Out().find("--interval-ms"), std::string::npos);
    EXPECT_NE(help.Out().find("--version"), std::string::npos);
    EXPECT_EQ(help.Log(), "");

    // --version wins over the options that would start serving.
    ServerProcess& version = Start({"--port", "1", "--version"});
    EXPECT_EQ(version.WaitExit(), 0);
    EXPECT_EQ(version.Out(), std::string("remote_demo_server ") + CSOCKET_VERSION + "\n");
    EXPECT_EQ(version.Log(), "");
}

}  // namespace
