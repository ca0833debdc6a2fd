// SPDX-License-Identifier: MIT
// chat_server: a line chat. Every line a client sends goes to all the others,
// and everyone hears who came and who left.
//
//   chat_server [PORT [ADDRESS]]        (default: port 7000 on 127.0.0.1)
//
// Try it with two or three `nc 127.0.0.1 7000`, or with the line_client example.
// Ctrl-C (or SIGTERM) stops it: each client's connection then ends cleanly.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "inet/cSocket/CSocket.h"
#include "platform/MessageLoop.h"

namespace {

// One connected client. The map owns its object; the object's own handlers
// find their entry by id, so they hold no reference to the object itself.
struct Member {
    std::shared_ptr<inet::CSocket> socket;
    std::string name;     // "127.0.0.1:40312"
    std::string partial;  // what came after the last complete line
};
std::map<int, Member> members;
int nextId = 1;
bool stopping = false;

// Queues text for one socket. SendData appends to what still waits there, so
// nothing is lost when a slow client cannot take it all at once.
void Send(const std::shared_ptr<inet::CSocket>& socket, const std::string& text) {
    try {
        socket->SendData(text);
    } catch (const inet::SocketError& e) {
        // That client is on its way out; its OnClose or OnError says so.
        std::fprintf(stderr, "cannot send to %s: %s\n", socket->RemoteHostIP().c_str(), e.what());
    }
}

// Queues text for every member but one. The list is copied first: a send that
// fails can make a member leave, and so change the map, while this runs.
void Broadcast(const std::string& text, int except = 0) {
    std::vector<std::shared_ptr<inet::CSocket>> to;
    for (const auto& [id, member] : members) {
        if (id != except) to.push_back(member.socket);
    }
    for (const auto& socket : to) Send(socket, text);
}

// The member has gone. Dropping its object here, inside its own handler, is fine:
// the component keeps the object alive until the handler returns.
void Leave(int id, const std::string& how) {
    const auto node = members.extract(id);
    if (node.empty() || stopping) return;
    std::printf("%s %s\n", node.mapped().name.c_str(), how.c_str());
    Broadcast("* " + node.mapped().name + " " + how + "\n");
}

void TakeLines(int id) {
    Member& m = members.at(id);
    inet::Variant data;
    m.socket->GetData(data, inet::VarType::String);  // everything that arrived, as text
    m.partial += std::get<std::string>(data);
    for (size_t end; (end = m.partial.find('\n')) != std::string::npos; m.partial.erase(0, end + 1)) {
        Broadcast(m.name + ": " + m.partial.substr(0, end + 1), id);
    }
}

// A listening socket has accepted a connection: adopt it with an object of its own.
void Admit(int32_t requestID) {
    auto socket = inet::CSocket::Create();
    try {
        socket->Accept(requestID);
    } catch (const inet::SocketError& e) {  // nobody adopts it: the component closes it
        std::fprintf(stderr, "cannot accept: %s (error %d)\n", e.what(), e.Number());
        return;
    }
    const int id = nextId++;
    const std::string name = socket->RemoteHostIP() + ":" + std::to_string(socket->RemotePort());
    socket->OnDataArrival = [id](int32_t) { TakeLines(id); };
    socket->OnClose = [id] { Leave(id, "left"); };
    socket->OnError = [id](int16_t, std::string& description, int32_t, const std::string&, const std::string&,
                           int32_t, bool&) { Leave(id, "was lost (" + description + ")"); };
    Broadcast("* " + name + " joined\n");
    members.emplace(id, Member{socket, name, ""});
    Send(socket, "* welcome, " + name + "; " + std::to_string(members.size() - 1) + " others here\n");
    std::printf("%s joined\n", name.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const int port = argc > 1 ? std::atoi(argv[1]) : 7000;
    const std::string address = argc > 2 ? argv[2] : "127.0.0.1";
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // each line shows at once, through a pipe too

    auto listener = inet::CSocket::Create();
    listener->OnConnectionRequest = Admit;
    listener->OnError = [](int16_t number, std::string& description, int32_t, const std::string&,
                           const std::string&, int32_t, bool&) {
        std::fprintf(stderr, "chat_server: listening failed: %s (error %d)\n", description.c_str(), number);
        platform::PostQuitMessage(1);
    };
    try {
        listener->Bind(port, address);  // this port on this address; Bind(0, ...) takes any free port
        listener->Listen();
    } catch (const inet::SocketError& e) {  // 10048: the port is taken; 10049: not our address
        std::fprintf(stderr, "chat_server: cannot listen on %s:%d: %s (error %d)\n", address.c_str(), port,
                     e.what(), e.Number());
        return 1;
    }
    std::printf("listening on %s:%d\n", listener->LocalIP().c_str(), listener->LocalPort());

    platform::QuitOnSignals({SIGINT, SIGTERM});
    const int status = platform::RunMessageLoop();  // until a signal or a failed listener

    // Stop: no new clients; every member gets what was queued for it, then the end of
    // its stream. Each leaves once its client has closed too (at most a second).
    stopping = true;
    listener->CloseSocket();
    for (auto& [id, member] : members) member.socket->CloseSocket();
    for (int i = 0; i < 10 && !members.empty(); ++i) platform::PumpMessages(std::chrono::milliseconds(100));
    std::printf("stopped\n");
    return status == 1 ? 1 : 0;
}
