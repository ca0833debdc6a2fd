// SPDX-License-Identifier: MIT
#include "inet/cSocket/client/ClientOptions.h"

#ifndef CSOCKET_VERSION
#error "CSOCKET_VERSION must name the project's version"
#endif

namespace wlclientcore {

namespace {

enum class Takes { Nothing, Value };

struct OptionSpec {
    std::string_view name;       // without the leading "--"
    char shortName;              // 0: none
    Takes takes;
    std::string_view valueName;  // shown in the help text
    std::string_view help;
};

constexpr OptionSpec kOptions[] = {
    {"help", 'h', Takes::Nothing, "", "Displays help on commandline options."},
    {"version", 'v', Takes::Nothing, "", "Displays version information."},
    {"port", 0, Takes::Value, "TEXT", "The port box's first text instead of 8765."},
    {"host", 0, Takes::Value, "NAME", "The server's name or address instead of 127.0.0.1."},
    {"connect", 0, Takes::Nothing, "", "Ticks \"Connect\" once the window is shown, as a click would."},
    {"reconnect", 0, Takes::Nothing, "",
     "While \"Connect\" is ticked, tries again when the connection closes or is refused: "
     "after 1 s at first, twice as long after each failure, at most 30 s."},
    {"echo", 0, Takes::Nothing, "", "Also writes each text the server sends to standard output, as it arrived."},
};

const OptionSpec* FindLong(std::string_view name) {
    for (const OptionSpec& spec : kOptions) {
        if (spec.name == name) return &spec;
    }
    return nullptr;
}

const OptionSpec* FindShort(char name) {
    for (const OptionSpec& spec : kOptions) {
        if (spec.shortName != 0 && spec.shortName == name) return &spec;
    }
    return nullptr;
}

void Apply(const OptionSpec& spec, const std::string& value, ParsedCommandLine& parsed) {
    ClientOptions& o = parsed.options;
    if (spec.name == "port") {
        o.port = value;
    } else if (spec.name == "host") {
        o.host = value;
    } else if (spec.name == "connect") {
        o.connect = true;
    } else if (spec.name == "reconnect") {
        o.reconnect = true;
    } else if (spec.name == "echo") {
        o.echo = true;
    }
}

ParsedCommandLine Fail(std::string error) {
    ParsedCommandLine parsed;
    parsed.action = ParsedCommandLine::Action::Error;
    parsed.error = std::move(error);
    return parsed;
}

// Breaks `text` into lines of at most `width` characters at blanks.
std::vector<std::string> Wrap(std::string_view text, size_t width) {
    std::vector<std::string> lines(1);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view word = text.substr(start, end - start);
        std::string& line = lines.back();
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            lines.emplace_back(word);
        } else {
            if (!line.empty()) line += ' ';
            line += word;
        }
        start = end + 1;
    }
    return lines;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args, CommandLineStyle style) {
    ParsedCommandLine parsed;
    bool help = false;
    bool version = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            if (i + 1 < args.size()) return Fail("unexpected argument '" + args[i + 1] + "'");
            break;
        }
        if (style == CommandLineStyle::Windows && arg == "/?") {
            help = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        std::optional<std::string> inlineValue;
        if (arg.starts_with("--") && arg.size() > 2) {
            std::string_view name = std::string_view(arg).substr(2);
            if (const auto eq = name.find('='); eq != std::string_view::npos) {
                inlineValue = std::string(name.substr(eq + 1));
                name = name.substr(0, eq);
            }
            spec = FindLong(name);
            if (spec == nullptr) return Fail("unknown option '--" + std::string(name) + "'");
        } else if (arg.size() == 2 && arg[0] == '-' && arg[1] != '-') {
            spec = FindShort(arg[1]);
            if (spec == nullptr) return Fail("unknown option '" + arg + "'");
        } else if (arg.starts_with("-") && arg.size() > 1) {
            return Fail("unknown option '" + arg + "'");
        } else {
            return Fail("unexpected argument '" + arg + "'");
        }

        std::string value;
        if (spec->takes == Takes::Value) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return Fail("option '--" + std::string(spec->name) + "' needs a value");
            }
        } else if (inlineValue) {
            return Fail("option '--" + std::string(spec->name) + "' takes no value");
        }

        if (spec->name == "help") {
            help = true;
        } else if (spec->name == "version") {
            version = true;
        } else {
            Apply(*spec, value, parsed);
        }
    }
    // Like other tools, a request for help wins over a request for the version, and
    // both win over running; bad arguments anywhere win over all.
    if (help) {
        parsed.action = ParsedCommandLine::Action::Help;
    } else if (version) {
        parsed.action = ParsedCommandLine::Action::Version;
    }
    return parsed;
}

std::string HelpText(std::string_view program, std::string_view toolkitNote) {
    constexpr size_t kHelpColumn = 24;
    constexpr size_t kWidth = 79;

    std::string text = "Usage: " + std::string(program) + " [options]\n";
    text +=
        "Shows in a small window each text that a remote-control server (lircd's TCP\n"
        "output, say) sends: tick \"Connect\" to connect to the port in the box.\n"
        "\n"
        "Options:\n";
    for (const OptionSpec& spec : kOptions) {
        std::string names = "  ";
        if (spec.shortName != 0) {
            names += '-';
            names += spec.shortName;
            names += ", ";
        }
        names += "--" + std::string(spec.name);
        if (spec.takes == Takes::Value) names += " <" + std::string(spec.valueName) + ">";
        std::vector<std::string> lines = Wrap(spec.help, kWidth - kHelpColumn);
        if (names.size() + 2 > kHelpColumn) {
            text += names + "\n";
            names.clear();
        }
        for (const std::string& line : lines) {
            names.resize(kHelpColumn, ' ');
            text += names + line + "\n";
            names.clear();
        }
    }
    if (!toolkitNote.empty()) {
        text += "\n";
        for (const std::string& line : Wrap(toolkitNote, kWidth)) text += line + "\n";
    }
    text +=
        "\n"
        "Exit status: 0 once the window is closed, 2 for a bad command line.\n";
    return text;
}

std::string VersionText(std::string_view program) {
    return std::string(program) + " " + CSOCKET_VERSION + "\n";
}

std::string ErrorText(std::string_view program, const std::string& error) {
    return std::string(program) + ": " + error + " (see '" + std::string(program) + " --help')\n";
}

}  // namespace wlclientcore
