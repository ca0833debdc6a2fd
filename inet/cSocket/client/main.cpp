// SPDX-License-Identifier: MIT
// wlclient: shows what a remote-control server sends, in a Qt window.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QApplication>

#include "inet/cSocket/client/ClientOptions.h"
#include "inet/cSocket/client/wlclient.h"
#include "platform/MessageLoop.h"

namespace {

using wlclientcore::ParsedCommandLine;

constexpr const char* kProgram = "wlclient";

ParsedCommandLine Parse(int argc, char** argv) {
    return wlclientcore::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
}

// The arguments without Qt's own options (those QApplication takes out of argv), so
// that the command line can be judged before Qt starts: --help, --version and a
// mistake need no display.
std::vector<std::string> WithoutQtOptions(int argc, char** argv) {
    static constexpr std::string_view kWithValue[] = {
        "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
        "qwindowtitle", "display", "geometry", "session", "style", "stylesheet", "name", "title"};
    static constexpr std::string_view kFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") {
            args.insert(args.end(), argv + i, argv + argc);
            break;
        }
        std::string_view name = arg;
        if (name.starts_with("--")) name.remove_prefix(1);
        if (!name.starts_with("-")) {
            args.emplace_back(arg);
            continue;
        }
        name.remove_prefix(1);
        const bool inlineValue = name.find('=') != std::string_view::npos;
        name = name.substr(0, name.find('='));
        if (std::find(std::begin(kFlags), std::end(kFlags), name) != std::end(kFlags)) continue;
        if (std::find(std::begin(kWithValue), std::end(kWithValue), name) != std::end(kWithValue)) {
            if (!inlineValue && i + 1 < argc) ++i;
            continue;
        }
        args.emplace_back(arg);
    }
    return args;
}

// Answers --help and --version, or a bad command line; nullopt when the window should run.
std::optional<int> Answer(const ParsedCommandLine& parsed) {
    switch (parsed.action) {
        case ParsedCommandLine::Action::Help:
            std::fputs(wlclientcore::HelpText(kProgram, "Qt's own options (-platform NAME, -display NAME, "
                                                        "-style NAME, ...) are taken as well.")
                           .c_str(),
                       stdout);
            return wlclientcore::kExitOk;
        case ParsedCommandLine::Action::Version:
            std::fputs(wlclientcore::VersionText(kProgram).c_str(), stdout);
            return wlclientcore::kExitOk;
        case ParsedCommandLine::Action::Error:
            std::fputs(wlclientcore::ErrorText(kProgram, parsed.error).c_str(), stderr);
            return wlclientcore::kExitUsage;
        case ParsedCommandLine::Action::Run:
            break;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (const auto status = Answer(wlclientcore::ParseCommandLine(WithoutQtOptions(argc, argv)))) return *status;
    QApplication app(argc, argv);
    const ParsedCommandLine parsed = Parse(argc, argv);
    if (const auto status = Answer(parsed)) return *status;  // what Qt did not take after all

    wlclient window(parsed.options);
    // SIGINT and SIGTERM close the window as the user would (the window turns the
    // loop's quit request into a close), so the connection is closed, not dropped.
    platform::QuitOnSignals({SIGINT, SIGTERM});
    window.show();
    return app.exec();
}
