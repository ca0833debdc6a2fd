// SPDX-License-Identifier: MIT
// The client program's command line: the options, their two spellings, what wins,
// the one-line errors, and the help and version texts.
#include "inet/cSocket/client/ClientOptions.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using wlclientcore::ParseCommandLine;
using Action = wlclientcore::ParsedCommandLine::Action;

TEST(ClientOptions, ReadsEveryOptionInBothSpellings) {
    const auto parsed = ParseCommandLine(
        {"--port", " 8765", "--host=lircbox.local", "--connect", "--reconnect", "--echo"});
    ASSERT_EQ(parsed.action, Action::Run) << parsed.error;
    EXPECT_EQ(parsed.options.port, " 8765");
    EXPECT_EQ(parsed.options.host, "lircbox.local");
    EXPECT_TRUE(parsed.options.connect);
    EXPECT_TRUE(parsed.options.reconnect);
    EXPECT_TRUE(parsed.options.echo);

    // A value is taken as it is, even one that starts with a dash or is empty.
    const auto odd = ParseCommandLine({"--port", "-1", "--host="});
    ASSERT_EQ(odd.action, Action::Run) << odd.error;
    EXPECT_EQ(odd.options.port, "-1");
    EXPECT_EQ(odd.options.host, "");

    const auto none = ParseCommandLine({"--"});
    ASSERT_EQ(none.action, Action::Run);
    EXPECT_FALSE(none.options.port || none.options.host || none.options.connect || none.options.reconnect ||
                 none.options.echo);
}

TEST(ClientOptions, HelpWinsOverVersionAndBothOverRunning) {
    EXPECT_EQ(ParseCommandLine({"--help"}).action, Action::Help);
    EXPECT_EQ(ParseCommandLine({"-h"}).action, Action::Help);
    EXPECT_EQ(ParseCommandLine({"--version"}).action, Action::Version);
    EXPECT_EQ(ParseCommandLine({"-v", "--port", "1"}).action, Action::Version);
    EXPECT_EQ(ParseCommandLine({"--version", "--connect", "--help"}).action, Action::Help);
}

TEST(ClientOptions, OnWindowsSlashQuestionMarkAsksForHelpWhereAnOptionMayStand) {
    using wlclientcore::CommandLineStyle;
    EXPECT_EQ(ParseCommandLine({"/?"}, CommandLineStyle::Windows).action, Action::Help);
    EXPECT_EQ(ParseCommandLine({"--connect", "/?"}, CommandLineStyle::Windows).action, Action::Help);
    // A value, or anything after "--", stays what it is; elsewhere "/?" is no option.
    const auto value = ParseCommandLine({"--port", "/?"}, CommandLineStyle::Windows);
    ASSERT_EQ(value.action, Action::Run) << value.error;
    EXPECT_EQ(value.options.port, "/?");
    EXPECT_EQ(ParseCommandLine({"--", "/?"}, CommandLineStyle::Windows).error, "unexpected argument '/?'");
    EXPECT_EQ(ParseCommandLine({"/?"}).error, "unexpected argument '/?'");
}

TEST(ClientOptions, AMistakeAnywhereIsAnErrorOfOneLine) {
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--help", "--bogus"}, "unknown option '--bogus'"},
        {{"--bogus=1"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"-platform"}, "unknown option '-platform'"},
        {{"--port"}, "option '--port' needs a value"},
        {{"--echo=yes"}, "option '--echo' takes no value"},
        {{"8765"}, "unexpected argument '8765'"},
        {{"--", "--echo"}, "unexpected argument '--echo'"},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseCommandLine(c.args);
        EXPECT_EQ(parsed.action, Action::Error) << c.error;
        EXPECT_EQ(parsed.error, c.error);
    }
    EXPECT_EQ(wlclientcore::ErrorText("wlclient", "unknown option '-x'"),
              "wlclient: unknown option '-x' (see 'wlclient --help')\n");
}

TEST(ClientOptions, HelpListsEveryOptionInTheUsualLayout) {
    const std::string help = wlclientcore::HelpText("wlclient");
    EXPECT_EQ(help.rfind("Usage: wlclient [options]\n", 0), 0u) << help;
    EXPECT_NE(help.find("\nOptions:\n"), std::string::npos);
    for (const char* option : {"  -h, --help ", "  -v, --version ", "  --port <TEXT> ", "  --host <NAME> ",
                               "  --connect ", "  --reconnect ", "  --echo "}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    // Descriptions start in one column and lines fit a terminal.
    std::istringstream lines(help);
    std::string line;
    while (std::getline(lines, line)) {
        EXPECT_LE(line.size(), 79u) << line;
        if (line.starts_with("  ")) {
            EXPECT_NE(line.substr(0, 24).find_last_not_of(' '), 23u) << line;
        }
    }
    EXPECT_EQ(wlclientcore::VersionText("wlclient"), std::string("wlclient ") + CSOCKET_VERSION + "\n");
}

}  // namespace
