// SPDX-License-Identifier: MIT
// The example programs and the README's client, built against the installed
// package, run as a user runs them: as processes, against loopback peers, each
// bounded in time. Built with LAUNCHER, the suite runs the Windows programs under
// Wine instead.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/client/ChildProcess.h"
#include "tests/support/Loopback.h"

namespace {

using namespace std::chrono_literals;
using clienttest::ChildProcess;

#ifdef LAUNCHER
constexpr bool kUnderWine = true;
const std::vector<std::string> kLauncher = {LAUNCHER};
const std::string kSuffix = ".exe";
// Wine takes a while to start a program, and its Ctrl+C cannot come from outside.
constexpr auto kStartLimit = 5000ms;
#else
constexpr bool kUnderWine = false;
const std::vector<std::string> kLauncher;
const std::string kSuffix;
#ifdef SANITIZED
constexpr auto kStartLimit = 3000ms;  // a sanitizer's start-up alone can take a second
#else
constexpr auto kStartLimit = 1000ms;
#endif
#endif

// A program of the examples ("build") or of the documents ("docs/build"), with its
// standard error joining its output.
std::unique_ptr<ChildProcess> Start(const std::string& folder, const std::string& name,
                                    const std::vector<std::string>& args) {
    std::vector<std::string> command = kLauncher;
    command.push_back(std::string(PROGRAMS_DIR) + "/" + folder + "/" + name + kSuffix);
    command.insert(command.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(
        ChildProcess::Options{command, clienttest::EnvironmentWith({}), true, -1, true});
}
std::unique_ptr<ChildProcess> Example(const std::string& name, const std::vector<std::string>& args) {
    return Start("build", name, args);
}

// What the program wrote, with Windows' line ends as "\n".
std::string Out(ChildProcess& program) {
    std::string text = program.Output();
    std::erase(text, '\r');
    return text;
}

// The exit status, 128 + the signal for a program a signal ended, -1 if it still runs.
int ExitCode(ChildProcess& program, std::chrono::milliseconds limit = 10000ms) {
    const auto status = program.Wait(limit);
    if (!status) return -1;
    program.WaitForOutput([](const std::string&) { return false; }, 100ms);  // the rest of its output
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

bool Says(ChildProcess& program, const std::string& text, std::chrono::milliseconds limit = 5000ms) {
    return program.WaitForOutput([&](const std::string&) { return Out(program).find(text) != std::string::npos; },
                                 limit);
}

TEST(Readme, MinimalClientPrintsWhatComesAndEndsWithinASecondWhenRefused) {
    {
        const int port = testsupport::ClosedPort();
        const auto start = std::chrono::steady_clock::now();
        auto client = Start("docs/build", "minimal_client", {std::to_string(port)});
        const int code = ExitCode(*client, kStartLimit + 1000ms);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kStartLimit) << "it took too long to give up";
        EXPECT_EQ(code, 1);
        EXPECT_NE(Out(*client).find("Connection refused. (error 10061)"), std::string::npos) << Out(*client);
    }
    testsupport::RawListener server;
    auto client = Start("docs/build", "minimal_client", {std::to_string(server.Port())});
    const int peer = server.Accept(kStartLimit + 5000ms);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(testsupport::WriteAll(peer, "first line\nlast, without a newline"));
    testsupport::RawClose(peer);
    EXPECT_EQ(ExitCode(*client), 0);
    EXPECT_EQ(Out(*client), "first line\nlast, without a newline");
}

TEST(Examples, ChatServerRelaysLinesAndTellsWhoCameAndLeft) {
    const std::string port = std::to_string(testsupport::ClosedPort());
    auto server = Example("chat_server", {port});
    ASSERT_TRUE(Says(*server, "listening on 127.0.0.1:" + port, kStartLimit + 5000ms)) << Out(*server);

    auto quiet = Example("line_client", {"127.0.0.1", port});  // only listens
    ASSERT_TRUE(Says(*quiet, "* welcome, 127.0.0.1:")) << Out(*quiet);
    auto talker = Example("line_client", {"localhost", port, "hello", "bye"});
    EXPECT_EQ(ExitCode(*talker), 0) << "the server did not end the talker's connection: " << Out(*talker);
    EXPECT_TRUE(Says(*talker, "; 1 others here")) << Out(*talker);

    ASSERT_TRUE(Says(*quiet, " left\n")) << Out(*quiet);
    const std::string heard = Out(*quiet);
    const auto joined = heard.find(" joined\n"), hello = heard.find(": hello\n"), bye = heard.find(": bye\n");
    EXPECT_TRUE(joined < hello && hello < bye && bye < heard.find(" left\n")) << heard;

    if (kUnderWine) return;  // no stop signal reaches a Windows program from here
    EXPECT_EQ(server->Stop(SIGTERM, 5000ms), 0) << Out(*server);
    EXPECT_EQ(ExitCode(*quiet), 0) << "the stop did not end the connection cleanly: " << Out(*quiet);
    EXPECT_TRUE(Says(*server, "stopped\n")) << Out(*server);
}

TEST(Examples, LineClientSaysWhyAConnectionFailedAndExitsWithItsStatus) {
    struct Case {
        std::string host, port, says;
        int code;
    };
    testsupport::RawListener resetting;
    std::vector<Case> cases = {
        {"no-such-host..invalid", "7", "(error 11001)", 1},
        {"127.0.0.1", std::to_string(testsupport::ClosedPort()), "Connection refused. (error 10061)", 1},
        {"127.0.0.1", "70000", "Overflow (error 6)", 2},
        {"127.0.0.1", std::to_string(resetting.Port()), "Connection reset by peer. (error 10054)", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host + ":" + c.port);
        const bool reset = c.says.find("10054") != std::string::npos;
        if (reset && kUnderWine) continue;  // Wine reports this reset as a graceful close; Windows, as 10054
        auto client = Example("line_client", {c.host, c.port});
        if (reset) {
            const int peer = resetting.Accept(kStartLimit + 5000ms);
            ASSERT_GE(peer, 0);
            testsupport::ResetClose(peer);
        }
        EXPECT_EQ(ExitCode(*client), c.code);
        EXPECT_NE(Out(*client).find(c.says), std::string::npos) << Out(*client);
    }
    if (kUnderWine) return;
    auto waiting = Example("line_client", {"127.0.0.1", std::to_string(resetting.Port())});
    const int peer = resetting.Accept(5000ms);
    ASSERT_TRUE(Says(*waiting, "connected to ")) << Out(*waiting);
    const int status = waiting->Stop(SIGINT, 5000ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << "Ctrl-C ended it with wait status " << status;
    testsupport::RawClose(peer);
}

TEST(Examples, UdpEchoAnswersEachDatagramToItsSender) {
    const std::string port = std::to_string(testsupport::ClosedPort());
    auto server = Example("udp_echo", {"serve", port});
    ASSERT_TRUE(Says(*server, "serving on 127.0.0.1:" + port, kStartLimit + 5000ms)) << Out(*server);
    auto client = Example("udp_echo", {"send", port, "one", "two two", "three"});
    EXPECT_EQ(ExitCode(*client), 0) << Out(*client);
    EXPECT_EQ(Out(*client), "answer: one\nanswer: two two\nanswer: three\n");
    EXPECT_TRUE(Says(*server, "7 bytes from 127.0.0.1:")) << Out(*server);
}

#ifndef LAUNCHER
TEST(Examples, EmbedPollSendsTicksFromItsOwnTimerAndPrintsTheEcho) {
    testsupport::RawListener echo;
    auto program = Example("embed_poll", {std::to_string(echo.Port()), "3"});
    const int peer = echo.Accept(5000ms);
    ASSERT_GE(peer, 0);
    const auto start = std::chrono::steady_clock::now();
    std::string got;
    for (std::string more; got.size() < 21 && !(more = testsupport::ReadSome(peer, 7, 3000ms)).empty();) {
        got += more;
        testsupport::WriteAll(peer, more);
    }
    EXPECT_EQ(got, "tick 1\ntick 2\ntick 3\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms) << "the ticks did not wait for the timer";
    EXPECT_EQ(testsupport::ReadSome(peer, 1, 3000ms), "") << "no end of stream after the last tick";
    testsupport::RawClose(peer);
    EXPECT_EQ(ExitCode(*program), 0);
    EXPECT_EQ(Out(*program), got);
}
#endif

TEST(Examples, TypedValuesComeBackFieldByField) {
    auto program = Example("typed_values", {std::to_string(testsupport::ClosedPort())});
    EXPECT_EQ(ExitCode(*program), 0);
    EXPECT_EQ(Out(*program),
              "String   \"kitchen\"\n"
              "Integer  -7\n"
              "Double   21.5\n"
              "Boolean  true\n"
              "Date     45658.75 days after 30 December 1899\n"
              "Currency 12.3456\n"
              "Byte     200\n"
              "left     0 bytes\n");
}

}  // namespace
