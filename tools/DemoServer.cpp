// SPDX-License-Identifier: MIT
#include "tools/DemoServer.h"

#include <utility>

namespace tools {

namespace {

std::string Describe(const inet::SocketError& e) {
    return e.Description() + " (error " + std::to_string(e.Number()) + ")";
}

}  // namespace

DemoServer::DemoServer(Logger log) : m_log(std::move(log)) {}

DemoServer::~DemoServer() = default;

void DemoServer::Start(int32_t port, const std::string& address) {
    m_listener = inet::CSocket::Create();
    m_listener->OnConnectionRequest = [this](int32_t requestID) { Admit(requestID); };
    m_listener->OnError = [this](int16_t number, std::string& description, int32_t, const std::string&,
                                const std::string&, int32_t, bool&) {
        m_listenerFailed = true;
        m_log("the listening socket failed: " + description + " (error " + std::to_string(number) + ")");
    };
    m_listener->SetLocalPort(port);
    m_listener->Bind(port, address);
    m_listener->Listen();
}

void DemoServer::Admit(int32_t requestID) {
    if (requestID == -1) {
        m_log("a connection request could not be accepted");
        return;
    }
    std::shared_ptr<inet::CSocket> socket;
    try {
        socket = inet::CSocket::Create();
        socket->Accept(requestID);
    } catch (const inet::SocketError& e) {
        m_log("could not take a connection: " + Describe(e));
        return;
    }

    const uint64_t id = m_nextId++;
    socket->OnSendProgress = [this, id](int32_t, int32_t bytesRemaining) {
        // Raised inside SendData too: only note that the buffer is free; Flush, or
        // the OnSendComplete that follows, sends the next batch.
        if (bytesRemaining != 0) return;
        if (auto it = m_clients.find(id); it != m_clients.end()) it->second.sending = false;
    };
    socket->OnSendComplete = [this, id] {
        auto it = m_clients.find(id);
        if (it == m_clients.end()) return;
        it->second.sending = false;
        Flush(id);
    };
    socket->OnClose = [this, id] { Forget(id, "left"); };
    socket->OnError = [this, id](int16_t number, std::string& description, int32_t, const std::string&,
                                 const std::string&, int32_t, bool&) {
        Forget(id, "lost: " + description + " (error " + std::to_string(number) + ")");
    };

    Client client;
    client.peer = socket->RemoteHostIP() + ":" + std::to_string(socket->RemotePort());
    client.socket = std::move(socket);
    const std::string peer = client.peer;
    m_clients.emplace(id, std::move(client));
    m_log("client " + peer + " connected (" + std::to_string(m_clients.size()) + " connected)");
}

void DemoServer::Broadcast(const std::string& line) {
    std::vector<uint64_t> ids;
    ids.reserve(m_clients.size());
    for (auto& [id, client] : m_clients) {
        client.backlog += line;
        ids.push_back(id);
    }
    // Flush may forget a client, so walk a copy of the keys.
    for (uint64_t id : ids) {
        auto it = m_clients.find(id);
        if (it == m_clients.end()) continue;
        if (it->second.backlog.size() > kMaxBacklog) {
            it->second.socket->CloseSocket();
            Forget(id, "dropped: it has not read its last " + std::to_string(kMaxBacklog >> 20) + " MiB");
            continue;
        }
        Flush(id);
    }
}

void DemoServer::Flush(uint64_t id) {
    auto it = m_clients.find(id);
    if (it == m_clients.end()) return;
    Client& client = it->second;
    if (client.sending || client.backlog.empty()) return;
    if (client.socket->State() != inet::SocketState::Connected) return;  // closing: nothing more goes out

    client.sending = true;
    std::string batch = std::exchange(client.backlog, std::string());
    try {
        // OnSendProgress, raised in here, clears `sending` once the socket took it all.
        client.socket->SendData(inet::Variant(std::move(batch)));
    } catch (const inet::SocketError& e) {
        client.socket->CloseSocket();
        Forget(id, "lost: " + Describe(e));
    }
}

bool DemoServer::AllSent() const {
    for (const auto& [id, client] : m_clients) {
        if (client.sending || !client.backlog.empty()) return false;
    }
    return true;
}

void DemoServer::Stop() {
    if (m_listener) {
        m_listener->CloseSocket();
        m_departed.push_back(std::move(m_listener));
    }
    for (auto& [id, client] : m_clients) client.socket->CloseSocket();
}

void DemoServer::Forget(uint64_t id, const std::string& why) {
    auto it = m_clients.find(id);
    if (it == m_clients.end()) return;
    const std::string peer = it->second.peer;
    m_departed.push_back(std::move(it->second.socket));
    m_clients.erase(it);
    m_log("client " + peer + " " + why + " (" + std::to_string(m_clients.size()) + " connected)");
}

void DemoServer::Reap() { m_departed.clear(); }

}  // namespace tools
