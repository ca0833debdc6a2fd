// SPDX-License-Identifier: MIT
// Many client lifetimes in a row, rotating through the ways a connection ends, against
// a server of socket objects in the same process. At the end every object is gone and
// the process holds the descriptors and the heap it held after the first round.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "tests/inet/SocketFixture.h"

namespace {

using inet::CSocket;
using inet::SocketState;
using inet::Variant;
using namespace testsupport;
using namespace std::chrono_literals;

enum class Ending {
    NormalClose,          // the client sends, reads the echo and closes
    PeerClosesAfterSend,  // the server sends a line and closes at once
    ReleaseConnecting,    // the host drops the client while it connects
    ReleaseResolving,     // ... while its host name is being looked up
    CloseWithoutReading,  // data arrives; the client closes without taking it
    PeerResets,           // the server resets the connection
};
constexpr int kEndings = 6;

class Server {
public:
    Server() {
        listener_ = CSocket::Create();
        listener_->Bind(0, "127.0.0.1");
        listener_->Listen();
        port_ = LocalPortOf(listener_->SocketHandle());
        listener_->OnConnectionRequest = [this](int32_t id) { Adopt(id); };
    }
    int Port() const { return port_; }
    Ending ending = Ending::NormalClose;
    size_t Serving() const { return served_.size(); }
    std::string States() const {
        std::string out;
        for (const auto& s : served_) {
            out += std::to_string(static_cast<int>(s->State())) + "/" + std::to_string(s->SocketHandle()) + " ";
        }
        return out;
    }
    void Sweep() {
        // Closed, or failed when the client went with a reset (a release with data unread).
        std::erase_if(served_, [](const auto& s) { return s->SocketHandle() == -1; });
    }

private:
    void Adopt(int32_t id) {
        if (id == -1) return;
        if (ending == Ending::PeerResets) {
            ResetClose(id);
            return;
        }
        auto s = CSocket::Create();
        std::weak_ptr<CSocket> weak = s;
        s->OnDataArrival = [weak](int32_t) {
            if (auto self = weak.lock()) {
                Variant v;
                self->GetData(v);
                self->SendData(v);  // echo
            }
        };
        s->Accept(id);
        if (ending == Ending::PeerClosesAfterSend) {
            s->SendData(std::string("bye\n"));
            s->CloseSocket();
        } else if (ending == Ending::CloseWithoutReading) {
            s->SendData(std::string(20000, 'x'));
        }
        served_.push_back(std::move(s));
    }

    std::shared_ptr<CSocket> listener_;
    int port_ = 0;
    std::list<std::shared_ptr<CSocket>> served_;
};

// One client lifetime; returns false when it did not reach its end in time.
bool Lifetime(Server& server, Ending ending, std::vector<std::weak_ptr<CSocket>>& clients) {
    server.ending = ending;
    auto client = CSocket::Create();
    clients.push_back(client);
    std::weak_ptr<CSocket> weak = client;
    bool ended = false;
    client->OnClose = [&ended] { ended = true; };
    client->OnError = [&ended](int16_t, std::string&, int32_t, const std::string&, const std::string&, int32_t,
                               bool&) { ended = true; };
    client->OnConnect = [weak, ending] {
        if (auto self = weak.lock(); self && ending == Ending::NormalClose) self->SendData(std::string("hello\n"));
    };
    client->OnDataArrival = [weak, ending](int32_t) {
        auto self = weak.lock();
        if (!self) return;
        if (ending == Ending::CloseWithoutReading) {
            // Once: a second CloseSocket while closing would drop the socket at once.
            if (self->State() == SocketState::Connected) self->CloseSocket();
            return;
        }
        Variant v;
        self->GetData(v);
        if (ending == Ending::NormalClose) self->CloseSocket();
    };
    const Variant port(int32_t{server.Port()});
    switch (ending) {
        case Ending::ReleaseConnecting:
            client->Connect("127.0.0.1", port);
            return true;
        case Ending::ReleaseResolving:
            client->Connect("soak.test", port);
            return true;
        default:
            client->Connect("127.0.0.1", port);
            if (PumpUntil([&] { return ended; }, 5s)) return true;
            ADD_FAILURE() << "client state " << static_cast<int>(client->State()) << " handle " << client->SocketHandle()
                          << " buffered " << client->BytesReceived() << " served " << server.Serving();
            return false;
    }
}

TEST_F(SocketTest, SoakClientLifetimesLeaveDescriptorsAndHeapFlat) {
    platform::testing::SetResolver([](const std::string& name) {
        platform::testing::LookupAnswer answer;
        answer.officialName = name;
        answer.addresses = {htonl(INADDR_LOOPBACK)};
        answer.delayMs = static_cast<int>(name.size() % 2);
        return answer;
    });
    std::vector<std::weak_ptr<CSocket>> clients;
    int descriptors = 0;
    size_t heap = 0;
    {
        Server server;
        constexpr int kRounds = 500;  // 3000 lifetimes
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        int lifetimes = 0;
        for (int round = 0; round < kRounds && std::chrono::steady_clock::now() < deadline; ++round) {
            for (int e = 0; e < kEndings; ++e) {
                const auto ending = static_cast<Ending>(e);
                ASSERT_TRUE(Lifetime(server, ending, clients)) << "lifetime " << lifetimes << " ending " << e;
                ++lifetimes;
                server.Sweep();
                // A weak reference keeps its object's memory: hold only the live ones.
                std::erase_if(clients, [](const auto& c) { return c.expired(); });
            }
            if (round == 0) {
                // The first round grows what is kept for good (tables, queues): measure after it.
                ASSERT_TRUE(PumpUntil([&] {
                    server.Sweep();
                    return server.Serving() == 0 && inet::MSocketSupport::OutstandingLookupCount() == 0;
                })) << server.States() << " lookups " << inet::MSocketSupport::OutstandingLookupCount();
                std::erase_if(clients, [](const auto& c) { return c.expired(); });
                descriptors = OpenDescriptors();
                heap = HeapInUse();
            }
        }
        EXPECT_GE(lifetimes, kEndings * 50) << "too few lifetimes in the time allowed";
        ASSERT_TRUE(PumpUntil([&] {
            server.Sweep();
            return server.Serving() == 0 && inet::MSocketSupport::OutstandingLookupCount() == 0;
        }));
        EXPECT_EQ(OpenDescriptors(), descriptors);
        std::erase_if(clients, [](const auto& c) { return c.expired(); });
        EXPECT_TRUE(clients.empty()) << clients.size() << " released clients are still alive";
        const auto grown = static_cast<long long>(HeapInUse()) - static_cast<long long>(heap);
        // Any leak per lifetime (a chunk is 32 bytes at least) would pass 90 KiB; glibc's
        // own count moves by some KiB with what its thread caches hold.
        EXPECT_LE(grown, 64 * 1024) << "the heap grew by " << grown << " bytes";
    }
    EXPECT_EQ(inet::MSocketSupport::RegisteredSocketCount(), 0);
}

}  // namespace
