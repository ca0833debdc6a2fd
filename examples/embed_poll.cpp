// SPDX-License-Identifier: MIT
// embed_poll: the component inside a program's own poll() loop, beside a timer of
// the program's own (Linux: MessageLoopFd does not exist on Windows).
//
//   embed_poll PORT [COUNT]
//
// Connects to 127.0.0.1:PORT and sends "tick 1", "tick 2", ... one every 200 ms
// from its own timer, COUNT of them (5 by default), printing every line that comes
// back. Then it closes its side and ends when the server has closed too. Ctrl-C
// stops it at any time.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "inet/cSocket/CSocket.h"
#include "platform/MessageLoop.h"

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    using namespace std::chrono_literals;
    if (argc < 2) {
        std::fprintf(stderr, "usage: embed_poll PORT [COUNT]\n");
        return 2;
    }
    const int count = argc > 2 ? std::atoi(argv[2]) : 5;
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    bool running = true;
    int status = 0;
    auto socket = inet::CSocket::Create();
    socket->OnDataArrival = [&](int32_t) {
        inet::Variant text;
        socket->GetData(text, inet::VarType::String);
        std::printf("%s", std::get<std::string>(text).c_str());
    };
    socket->OnClose = [&] { running = false; };
    socket->OnError = [&](int16_t number, std::string& description, int32_t, const std::string&,
                          const std::string&, int32_t, bool&) {
        std::fprintf(stderr, "embed_poll: %s (error %d)\n", description.c_str(), number);
        running = false;
        status = 1;
    };
    try {
        socket->Connect("127.0.0.1", inet::Variant(std::atoi(argv[1])));
    } catch (const inet::SocketError& e) {  // a port out of range, say
        std::fprintf(stderr, "embed_poll: %s (error %d)\n", e.what(), e.Number());
        return 2;
    }
    platform::QuitOnSignals({SIGINT, SIGTERM});  // a signal makes MessageLoopFd readable too

    // The program's own timer: when the next tick is due.
    int sent = 0;
    auto nextTick = Clock::now() + 200ms;
    pollfd watched[1] = {{platform::MessageLoopFd(), POLLIN, 0}};  // plus the program's own descriptors

    while (running) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextTick - Clock::now());
        const int timeout = sent < count ? static_cast<int>(std::max<long long>(wait.count(), 0)) : -1;
        const int ready = ::poll(watched, 1, timeout);
        if (ready < 0 && errno != EINTR) {  // a signal interrupts poll: just go round again
            std::perror("poll");
            return 1;
        }
        // The component's turn: everything it has ready, without waiting. Its events run
        // in here.
        if (ready > 0 && (watched[0].revents & POLLIN)) platform::PumpMessages(0ms);
        if (const auto code = platform::TakeQuitRequest()) return *code;  // Ctrl-C, SIGTERM

        // The timer's turn (a tick that falls while still connecting is skipped).
        if (sent < count && Clock::now() >= nextTick) {
            nextTick += 200ms;
            if (socket->State() != inet::SocketState::Connected) continue;
            socket->SendData("tick " + std::to_string(++sent) + "\n");
            if (sent == count) socket->CloseSocket();  // the last tick, then the end of our stream
        }
    }
    return status;
}
