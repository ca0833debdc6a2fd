// SPDX-License-Identifier: MIT
// remote_demo_server: a stand-in for an infrared remote-control server (lircd)
// for trying the client without a receiver. It listens on 127.0.0.1 and
// sends every connected client a button press of a made-up remote at a steady
// interval, in the server's line format. It is built on CSocket itself.
//
// Logs go to standard error; standard output carries only --help and --version.

#include <signal.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "inet/cSocket/CSocket.h"
#include "platform/ErrorNumbers.h"
#include "platform/MessageLoop.h"
#include "tools/DemoRemote.h"
#include "tools/DemoServer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = "remote_demo_server";
constexpr const char* kAddress = "127.0.0.1";
// After --count, how long the last lines may take to reach slow clients.
constexpr auto kDrainLimit = 5s;
// After closing, how long clients get to finish their side.
constexpr auto kCloseGrace = 500ms;

// The stop signal that came (SIGINT or SIGTERM), or 0. QuitOnSignals turns each into
// a quit request of the message loop, which also ends a pump's wait at once.
int g_signal = 0;

bool StopSignalCame() {
    if (const auto code = platform::TakeQuitRequest()) g_signal = *code - 128;
    return g_signal != 0;
}

constexpr const char* kSynopsis = "[--port N] [--interval-ms N] [--count N] [--line TEXT]";

void PrintHelp() {
    std::printf(
        "usage: %s %s\n"
        "\n"
        "Stands in for an infrared remote-control server such as lircd: listens on\n"
        "%s and sends each connected client one button press per interval, as\n"
        "a line \"<code> <repeat> <button> <remote>\", for example\n"
        "  0000000000ff18e7 00 KEY_UP demoremote\n"
        "A held button repeats its code with the counts 01, 02, ... Buttons are pressed\n"
        "only while at least one client is connected; the first press comes one\n"
        "interval after the first client arrives.\n"
        "\n"
        "  --port N         listen on port N (1-65535; default 8765)\n"
        "  --interval-ms N  one line every N milliseconds (1-3600000; default 700)\n"
        "  --count N        send N lines, hand them to the clients, then stop (a repeat\n"
        "                   is a line of its own)\n"
        "  --line TEXT      send TEXT instead of button presses; a newline is added\n"
        "                   unless TEXT already ends with one\n"
        "  --help           print this and exit\n"
        "  --version        print the version and exit\n"
        "\n"
        "SIGINT or SIGTERM stops it cleanly. Exit status: 0 after a clean stop, 1 when\n"
        "it cannot serve (the port is in use, ...), 2 for bad options.\n",
        kProgram, kSynopsis, kAddress);
}

// A bad command line: one line that says what was wrong and where to read more.
void BadOption(const std::string& what) {
    std::fprintf(stderr, "%s: %s (see '%s --help')\n", kProgram, what.c_str(), kProgram);
}

struct Options {
    int32_t port = 8765;
    int64_t intervalMs = 700;
    std::optional<int64_t> count;
    std::optional<std::string> line;
    bool help = false;
    bool version = false;
};

bool ParseNumber(std::string_view text, int64_t low, int64_t high, int64_t& out) {
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) return false;
    out = value;
    return true;
}

// Reads argv into options; on a bad option says why on stderr and returns false.
bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::optional<std::string_view> inlineValue;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            inlineValue = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        if (arg == "--help" && !inlineValue) {
            options.help = true;
            continue;
        }
        if (arg == "--version" && !inlineValue) {
            options.version = true;
            continue;
        }
        const bool known = arg == "--port" || arg == "--interval-ms" || arg == "--count" || arg == "--line";
        if (!known) {
            BadOption("unknown option '" + std::string(argv[i]) + "'");
            return false;
        }
        std::string_view value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            BadOption(std::string(arg) + " needs a value");
            return false;
        }

        int64_t number = 0;
        bool ok = true;
        if (arg == "--port") {
            ok = ParseNumber(value, 1, 65535, number);
            options.port = static_cast<int32_t>(number);
        } else if (arg == "--interval-ms") {
            ok = ParseNumber(value, 1, 3'600'000, number);
            options.intervalMs = number;
        } else if (arg == "--count") {
            ok = ParseNumber(value, 1, INT64_MAX, number);
            options.count = number;
        } else {
            options.line = std::string(value);
            if (options.line->empty() || options.line->back() != '\n') *options.line += '\n';
        }
        if (!ok) {
            BadOption("bad value '" + std::string(value) + "' for " + std::string(arg));
            return false;
        }
    }
    return true;
}

void Log(std::string_view line) {
    std::fprintf(stderr, "%s: %.*s\n", kProgram, static_cast<int>(line.size()), line.data());
}

void InstallSignalHandlers() {
    // Ctrl-C and SIGTERM (on Windows: Ctrl+C, Ctrl+Break and closing the console).
    platform::QuitOnSignals({SIGINT, SIGTERM});
#ifndef _WIN32
    // A log reader that goes away must not take the server with it. (Windows has no
    // SIGPIPE: a write to a closed pipe fails with an error instead.)
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
#endif
}

// Pumps the message loop until done() holds, a signal arrives or the time is up.
template <typename Done>
void PumpWhile(tools::DemoServer& server, Clock::duration limit, Done done) {
    const auto deadline = Clock::now() + limit;
    while (!done() && !StopSignalCame()) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        platform::PumpMessages(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        server.Reap();
    }
}

int Serve(const Options& options) {
    tools::DemoServer server(Log);
    try {
        server.Start(options.port, kAddress);
    } catch (const inet::SocketError& e) {
        if (e.Number() == platform::WSAEADDRINUSE) {
            std::fprintf(stderr, "%s: port %d on %s is already in use (is another server running?)\n", kProgram,
                         options.port, kAddress);
        } else {
            std::fprintf(stderr, "%s: cannot listen on %s:%d: %s (error %d)\n", kProgram, kAddress, options.port,
                         e.Description().c_str(), e.Number());
        }
        return 1;
    }
    Log("listening on " + std::string(kAddress) + ":" + std::to_string(options.port) + ", one line every " +
        std::to_string(options.intervalMs) + " ms");

    tools::DemoRemote remote;
    const auto interval = std::chrono::milliseconds(options.intervalMs);
    bool scheduled = false;  // no line is due while nobody listens
    Clock::time_point next;  // when scheduled, the next line's time
    int64_t sent = 0;
    const bool countReached = [&] {
        while (!StopSignalCame() && !server.ListenerFailed()) {
            const auto now = Clock::now();
            if (server.ClientCount() == 0) {
                scheduled = false;
            } else if (!scheduled) {
                scheduled = true;
                next = now + interval;
            } else if (now >= next) {
                server.Broadcast(options.line ? *options.line : remote.NextLine());
                ++sent;
                if (options.count && sent >= *options.count) return true;
                next += interval;
                if (next < now) next = now + interval;  // fell behind: skip rather than burst
            }
            // Until the next line is due; with none due, until something happens (a
            // client comes or goes, or a signal).
            auto wait = -1ms;
            if (scheduled) wait = std::max(std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()), 0ms);
            platform::PumpMessages(wait);
            server.Reap();
        }
        return false;
    }();

    if (countReached) {
        Log("sent " + std::to_string(sent) + " lines, finishing");
        PumpWhile(server, kDrainLimit, [&] { return server.AllSent(); });
    } else if (g_signal != 0) {
        Log(std::string("caught ") + (g_signal == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
    }
    const bool failed = server.ListenerFailed();
    server.Stop();
    g_signal = 0;  // a second signal cuts the grace short
    PumpWhile(server, kCloseGrace, [&] { return server.ClientCount() == 0; });
    server.Reap();
    Log("stopped after " + std::to_string(sent) + " lines");
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;
    if (options.help) {
        PrintHelp();
        return 0;
    }
    if (options.version) {
        std::printf("%s %s\n", kProgram, CSOCKET_VERSION);
        return 0;
    }
    InstallSignalHandlers();
    try {
        return Serve(options);
    } catch (const inet::SocketError& e) {
        std::fprintf(stderr, "%s: %s (error %d, %s)\n", kProgram, e.Description().c_str(), e.Number(),
                     e.Source().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    }
    return 1;
}
