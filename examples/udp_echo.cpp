// SPDX-License-Identifier: MIT
// udp_echo: both halves of a UDP echo, over datagrams on 127.0.0.1.
//
//   udp_echo serve PORT          answers every datagram with the same bytes, to its
//                                sender, until Ctrl-C
//   udp_echo send PORT TEXT...   sends each TEXT as one datagram and prints the answers;
//                                gives up after 2 s on those that have not come back
//
// Exit status of send: 0 when every answer came, 1 otherwise.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "inet/cSocket/CSocket.h"
#include "platform/MessageLoop.h"

namespace {

using namespace std::chrono_literals;

void PrintError(int16_t number, std::string& description, int32_t, const std::string&, const std::string&,
                int32_t, bool&) {
    std::fprintf(stderr, "udp_echo: %s (error %d)\n", description.c_str(), number);
    platform::PostQuitMessage(1);
}

int Serve(int port) {
    auto socket = inet::CSocket::Create();
    socket->SetProtocol(inet::SocketProtocol::Udp);  // before the socket exists
    socket->Bind(port, "127.0.0.1");                 // where the datagrams come to
    socket->OnDataArrival = [&](int32_t bytes) {
        // One read notification brings one datagram. Take it whole, now: a datagram
        // left in the buffer would run into the next one, and its end be lost.
        inet::Variant datagram;
        socket->GetData(datagram, inet::VarType::ByteArray);
        // RemoteHostIP and RemotePort now name this datagram's sender (RemoteHost its
        // name, looked up by address), so SendData answers exactly that sender.
        std::printf("%d bytes from %s:%d\n", bytes, socket->RemoteHostIP().c_str(), socket->RemotePort());
        socket->SendData(datagram);
    };
    socket->OnError = PrintError;
    std::printf("serving on 127.0.0.1:%d\n", socket->LocalPort());
    platform::QuitOnSignals({SIGINT, SIGTERM});
    return platform::RunMessageLoop() == 1 ? 1 : 0;
}

int Send(int port, char** texts, int count) {
    auto socket = inet::CSocket::Create();
    socket->SetProtocol(inet::SocketProtocol::Udp);
    socket->SetRemoteHost("127.0.0.1");  // where SendData sends (a name would be looked up first)
    socket->SetRemotePort(port);
    int answers = 0;
    socket->OnDataArrival = [&](int32_t) {
        inet::Variant answer;
        socket->GetData(answer, inet::VarType::String);
        std::printf("answer: %s\n", std::get<std::string>(answer).c_str());
        ++answers;
    };
    socket->OnError = PrintError;
    for (int i = 0; i < count; ++i) socket->SendData(std::string(texts[i]));  // one datagram each

    // A loop of our own instead of RunMessageLoop, to stop at a deadline: UDP promises
    // neither that a datagram arrives nor that its answer does.
    platform::QuitOnSignals({SIGINT, SIGTERM});
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (answers < count && std::chrono::steady_clock::now() < deadline) {
        if (platform::TakeQuitRequest()) break;  // a signal, or PrintError
        platform::PumpMessages(std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
    }
    if (answers < count) std::fprintf(stderr, "udp_echo: %d of %d answers came\n", answers, count);
    return answers == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // each line shows at once, through a pipe too
    const std::string mode = argc > 2 ? argv[1] : "";
    try {
        if (mode == "serve") return Serve(std::atoi(argv[2]));
        if (mode == "send" && argc > 3) return Send(std::atoi(argv[2]), argv + 3, argc - 3);
    } catch (const inet::SocketError& e) {  // Bind: 10048 when the port is taken, ...
        std::fprintf(stderr, "udp_echo: %s (error %d, %s)\n", e.what(), e.Number(), e.Source().c_str());
        return 1;
    }
    std::fprintf(stderr, "usage: udp_echo serve PORT | udp_echo send PORT TEXT...\n");
    return 2;
}
