// SPDX-License-Identifier: MIT
// The serving half of the demo remote-control server: one listening CSocket on a
// local address and one CSocket per client, all driven by the message loop of the
// calling thread (platform/MessageLoop.h).
//
// Broadcast queues a line for every client. A client's lines go out one SendData at
// a time: SendData replaces the socket's send buffer instead of appending to it, so
// the next batch waits until the socket reports its buffer empty (OnSendProgress
// with nothing remaining, or OnSendComplete). Lines queued meanwhile are sent
// together. A client whose backlog grows past kMaxBacklog is not reading and is
// dropped.
//
// A client that closes, resets or fails is forgotten. Its object is released only
// by Reap, outside the socket's own events; the host calls Reap after each pump.
// Not copyable; everything happens on the thread that pumps the message loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "inet/cSocket/CSocket.h"

namespace tools {

class DemoServer {
public:
    using Logger = std::function<void(std::string_view line)>;

    static constexpr size_t kMaxBacklog = 8u << 20;  // bytes queued for one client

    explicit DemoServer(Logger log);
    ~DemoServer();

    DemoServer(const DemoServer&) = delete;
    DemoServer& operator=(const DemoServer&) = delete;

    // Binds to address:port and listens. Raises inet::SocketError from Bind or
    // Listen (10048 when the port is taken) or from CSocket::Create.
    void Start(int32_t port, const std::string& address);

    // Queues line for every connected client and sends what can go now.
    void Broadcast(const std::string& line);

    // Closes the listener and starts closing every client: each gets the end of the
    // stream after what it was already handed, and leaves on its OnClose.
    void Stop();

    // Releases the objects of the clients that have left.
    void Reap();

    size_t ClientCount() const { return m_clients.size(); }
    // Every client's lines have been handed to its socket.
    bool AllSent() const;
    // The listener reported an error: nobody new can connect.
    bool ListenerFailed() const { return m_listenerFailed; }

private:
    struct Client {
        std::shared_ptr<inet::CSocket> socket;
        std::string peer;      // "127.0.0.1:40312", for the log
        std::string backlog;   // lines not yet handed to SendData
        bool sending = false;  // the socket's send buffer still holds the last batch
    };

    void Admit(int32_t requestID);
    void Flush(uint64_t id);
    // Forgets the client; its socket is released by the next Reap.
    void Forget(uint64_t id, const std::string& why);

    Logger m_log;
    std::shared_ptr<inet::CSocket> m_listener;
    bool m_listenerFailed = false;
    uint64_t m_nextId = 1;
    std::map<uint64_t, Client> m_clients;
    std::vector<std::shared_ptr<inet::CSocket>> m_departed;
};

}  // namespace tools
