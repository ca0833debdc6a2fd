// SPDX-License-Identifier: MIT
// ClientOptions: the client program's command line, read the same way by every
// window toolkit.
//
//   --port TEXT     the port box's first text instead of "8765"
//   --host NAME     the server's name or address instead of "127.0.0.1"
//   --connect       tick "Connect" once the window is shown, as a click would
//   --reconnect     while "Connect" is ticked, try again after a close or a refusal
//   --echo          also write each text the server sends to standard output
//   -h, --help      print the help text and exit 0
//   -v, --version   print the version and exit 0
//
// A value follows its option as the next argument or after '=' ("--port=8765");
// a value may begin with '-' (" -1" or "-1" as a port text is the user's business).
// "--" ends the options. On Windows, "/?" in place of an option is --help too. Anything unknown, a missing value, a value given to a
// flag or an argument that is not an option is an error: one line, exit status 2.
// The toolkit's own options (Qt's -platform and friends) are taken out by the
// toolkit before these are read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wlclientcore {

struct ClientOptions {
    std::optional<std::string> port;
    std::optional<std::string> host;
    bool connect = false;
    bool reconnect = false;
    bool echo = false;
};

struct ParsedCommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    ClientOptions options;
    std::string error;  // for Error: what is wrong, one line without the program's name
};

// Whose conventions the command line follows besides the options above.
enum class CommandLineStyle { Posix, Windows };

// Reads the arguments that follow the program's name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args,
                                   CommandLineStyle style = CommandLineStyle::Posix);

// The text for --help, in the usual layout ("Usage: ...", "Options:" ...); a
// toolkit's note on options of its own follows the list.
std::string HelpText(std::string_view program, std::string_view toolkitNote = {});
// The text for --version: the program's name and version and a line end.
std::string VersionText(std::string_view program);
// The one-line error for a bad command line, with its line end.
std::string ErrorText(std::string_view program, const std::string& error);

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

}  // namespace wlclientcore
