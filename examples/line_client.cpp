// SPDX-License-Identifier: MIT
// line_client: connects, sends lines, and prints every line that comes back until
// the server ends the connection, with every failure handled.
//
//   line_client HOST PORT [LINE...]
//
// HOST is a name ("localhost") or a dotted IPv4 address. Each LINE goes out with a
// newline after it; once they are all given to the socket, the client closes its
// side ("nothing more from me") and goes on printing until the server closes too.
// Without LINEs it only listens, until the server closes or Ctrl-C.
//
// Exit status: 0 when the server closed the connection, 1 when the connection
// failed (unknown host, refused, reset, ...), 2 for bad arguments, 130 or 143 after
// Ctrl-C or SIGTERM.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "inet/cSocket/CSocket.h"
#include "platform/MessageLoop.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: line_client HOST PORT [LINE...]\n");
        return 2;
    }
    const std::string host = argv[1];
    const std::string port = argv[2];
    const std::vector<std::string> lines(argv + 3, argv + argc);
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // each line shows at once, through a pipe too

    auto socket = inet::CSocket::Create();
    std::string partial;  // what came after the last complete line

    socket->OnConnect = [&] {
        std::fprintf(stderr, "connected to %s:%d\n", socket->RemoteHostIP().c_str(), socket->RemotePort());
        for (const std::string& line : lines) socket->SendData(line + "\n");  // queued in order
        if (!lines.empty()) socket->CloseSocket();  // sends what waits first, then the end
    };
    socket->OnDataArrival = [&](int32_t) {
        inet::Variant data;
        socket->GetData(data, inet::VarType::String);
        partial += std::get<std::string>(data);
        for (size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
            std::printf("%s\n", partial.substr(0, end).c_str());
        }
    };
    // The server closed: the socket is already gone, and anything that arrived last is
    // still there for GetData. Nothing to close here.
    socket->OnClose = [&] {
        inet::Variant rest;
        socket->GetData(rest, inet::VarType::String);
        if (const auto* text = std::get_if<std::string>(&rest)) partial += *text;
        if (!partial.empty()) std::printf("%s\n", partial.c_str());  // a last line without newline
        platform::PostQuitMessage(0);
    };
    // Anything that fails after Connect has returned: the lookup (11001 "Host not
    // found."), the connection (10061 "Connection refused.", 10060 timed out), or the
    // connection later (10054 "Connection reset by peer."). No OnClose follows it.
    socket->OnError = [&](int16_t number, std::string& description, int32_t, const std::string&,
                          const std::string&, int32_t, bool&) {
        std::fprintf(stderr, "line_client: %s:%s: %s (error %d)\n", host.c_str(), port.c_str(),
                     description.c_str(), number);
        platform::PostQuitMessage(1);
    };

    try {
        // The port may be given as text: Connect reads it as a number.
        socket->Connect(host, inet::Variant(port));
    } catch (const inet::SocketError& e) {  // found at once: port 0 or out of range, no host
        std::fprintf(stderr, "line_client: cannot connect to %s:%s: %s (error %d)\n", host.c_str(), port.c_str(),
                     e.what(), e.Number());
        return 2;
    }
    platform::QuitOnSignals({SIGINT, SIGTERM});
    try {
        return platform::RunMessageLoop();  // until OnClose, OnError or a signal
    } catch (const inet::SocketError& e) {
        // What a handler above let out (SendData refused: the connection just died).
        std::fprintf(stderr, "line_client: %s (error %d, %s)\n", e.what(), e.Number(), e.Source().c_str());
        return 1;
    }
}
