// SPDX-License-Identifier: MIT
// wlclient: shows what a remote-control server sends, in a plain Win32 window.
//
// A window program (no console window of its own). Standard output and error are
// the handles it was given when they are usable (redirected to a file or a pipe,
// or a console that Wine hands over when started from a terminal); otherwise it
// attaches to the console of the program that started it, if any, so that --echo,
// --help and the error lines reach the terminal. Ctrl+C or Ctrl+Break there, or
// closing that console, closes the window as the user would.
//
// cmd does not wait for a window program: `start /wait wlclient.exe --help` makes
// it wait, so that the text comes before its next prompt and %ERRORLEVEL% holds
// the exit status (2 for a bad command line). "/?", the usual question on Windows,
// is --help.
#include <fcntl.h>
#include <io.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "inet/cSocket/client/ClientForm.h"
#include "inet/cSocket/client/ClientOptions.h"
#include "inet/cSocket/client/win32/Win32Window.h"
#include "platform/MessageLoop.h"
#include "platform/WinTypes.h"

namespace {

constexpr const char* kProgram = "wlclient";

bool Usable(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

void ConnectStandardStreams() {
    const bool out = Usable(GetStdHandle(STD_OUTPUT_HANDLE));
    const bool err = Usable(GetStdHandle(STD_ERROR_HANDLE));
    if ((!out || !err) && AttachConsole(ATTACH_PARENT_PROCESS)) {
        if (!out) std::freopen("CONOUT$", "w", stdout);
        if (!err) std::freopen("CONOUT$", "w", stderr);
    }
    // --echo writes the bytes as they arrived: no LF turned into CR LF.
    if (_fileno(stdout) >= 0) _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace

int main(int argc, char* argv[]) {
    ConnectStandardStreams();
    const wlclientcore::ParsedCommandLine parsed = wlclientcore::ParseCommandLine(
        std::vector<std::string>(argv + 1, argv + argc), wlclientcore::CommandLineStyle::Windows);
    switch (parsed.action) {
        case wlclientcore::ParsedCommandLine::Action::Help:
            std::fputs(wlclientcore::HelpText(kProgram, "/? is the same as --help. From cmd, start /wait "
                                                        "wlclient.exe --help waits for the text, and "
                                                        "%ERRORLEVEL% then holds the exit status.")
                           .c_str(),
                       stdout);
            return wlclientcore::kExitOk;
        case wlclientcore::ParsedCommandLine::Action::Version:
            std::fputs(wlclientcore::VersionText(kProgram).c_str(), stdout);
            return wlclientcore::kExitOk;
        case wlclientcore::ParsedCommandLine::Action::Error:
            std::fputs(wlclientcore::ErrorText(kProgram, parsed.error).c_str(), stderr);
            return wlclientcore::kExitUsage;
        case wlclientcore::ParsedCommandLine::Action::Run:
            break;
    }

    win32client::Win32Window window;
    wlclientcore::ClientForm form(window, parsed.options);
    window.SetHandlers({[&form] { form.Form_Load(); }, [&form] { form.CheckCnct_Click(); },
                        [&form] { form.Form_Unload(); }});
    if (!window.Create()) {
        std::fprintf(stderr, "%s: cannot create the window (error %lu)\n", kProgram, GetLastError());
        return 1;
    }
    // The console's Ctrl+C, Ctrl+Break and close post WM_QUIT to this thread, which
    // ends the window's loop with the window still open: it is then closed as the
    // user would close it (the unload runs), and the loop runs until it is gone.
    platform::QuitOnSignals({SIGINT, SIGTERM});
    window.Show();
    int status = window.RunMessageLoop();
    if (window.Handle() != nullptr) {
        window.Close();
        status = window.RunMessageLoop();
    }
    return status;
}
