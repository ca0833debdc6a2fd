// SPDX-License-Identifier: MIT
// Serves one line to itself over loopback through the installed headers and libraries.
#include <chrono>
#include <cstdio>
#include <string>

#include "inet/cSocket/CSocket.h"
#include "inet/cSocket/MSocketSupport.h"
#include "platform/MessageLoop.h"
#include "platform/Winsock.h"

int main() {
    auto server = inet::CSocket::Create();
    auto served = inet::CSocket::Create();
    auto client = inet::CSocket::Create();
    server->OnConnectionRequest = [&](int32_t id) {
        served->Accept(id);
        served->SendData(std::string("hello from the package\n"));
    };
    std::string got;
    client->OnDataArrival = [&](int32_t) {
        inet::Variant v;
        client->GetData(v);
        got += std::get<std::string>(v);
    };
    server->Bind(0, "127.0.0.1");
    server->Listen();
    sockaddr_in local{};
    int length = sizeof local;
    platform::getsockname(server->SocketHandle(), reinterpret_cast<sockaddr*>(&local), &length);
    client->Connect("127.0.0.1", inet::Variant(int32_t{ntohs(local.sin_port)}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        platform::PumpMessages(std::chrono::milliseconds(50));
    }
    std::printf("%s", got.c_str());
    return got == "hello from the package\n" ? 0 : 1;
}
