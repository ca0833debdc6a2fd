// SPDX-License-Identifier: MIT
#include "fuzz/Scene.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/FuzzSupport.h"
#include "inet/cSocket/MSocketSupport.h"
#include "platform/Testing.h"

namespace fuzz {

namespace {

// A port on 127.0.0.1 where nothing listens, found once.
int32_t ClosedPort() {
    static const int32_t port = [] {
        int p = 0;
        const int fd = RawListen(p);
        ::close(fd);
        return p;
    }();
    return port;
}

// The socket's close resets its connection instead of ending it gracefully. The
// harness does this to its own end of every connection (the connections listening
// objects raise, and its plain peers): a connection that keeps a resetting end leaves
// no TIME_WAIT behind, however it ends, where a graceful close left one end there for
// a minute, and a run of hours used up the ports that Bind(0) and connect take.
void ResetOnClose(int fd) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

}  // namespace

Scene::Scene() {
    Setup();
    static const bool once = [] {
        platform::testing::SetResolver([](const std::string& name) {
            platform::testing::LookupAnswer answer;
            if (name == kPeerName) {
                answer.officialName = name;
                answer.addresses = {htonl(INADDR_LOOPBACK)};
            } else {
                answer.error = platform::WSAHOST_NOT_FOUND;
            }
            return answer;
        });
        ClosedPort();
        return true;
    }();
    (void)once;
    descriptors_ = OpenDescriptors();
}

Scene::~Scene() {
    for (auto& slot : slots_) slot.reset();
    for (const int peer : peers_) {
        if (peer >= 0) ::close(peer);
    }
    // Lookups of released objects end on their own, once the worker answers.
    Check(PumpUntil([] { return inet::MSocketSupport::OutstandingLookupCount() == 0; }, std::chrono::seconds(5)),
          "every lookup completes");
    Check(inet::MSocketSupport::RegisteredSocketCount() == 0, "every released object unregistered");
    Check(inet::MSocketSupport::NotifyWindow() == 0, "the notification window went with the last socket");
    if (OpenDescriptors() != descriptors_) Fail("a descriptor stayed open:\n" + DescribeDescriptors());
}

void Scene::Make(size_t slot, Handler handler) {
    auto& s = Slot(slot);
    s = inet::CSocket::Create();
    std::weak_ptr<inet::CSocket> weak = s;
    // A request is adopted from inside its event, or it is closed: the next object
    // without a socket takes it.
    s->OnConnectionRequest = [this, slot](int32_t id) {
        if (id == -1) return;
        ResetOnClose(id);  // the request is the connection's socket, whoever adopts it
        for (size_t i = 1; i < kSlots; ++i) {
            const auto& other = Slot(slot + i);
            if (!other || other->SocketHandle() != -1) continue;
            try {
                other->Accept(id);
            } catch (const inet::SocketError&) {
                // It could not be set up: the request is closed all the same.
            }
            return;
        }
    };
    s->OnDataArrival = [this, weak, slot, handler](int32_t) {
        auto self = weak.lock();
        if (!self) return;
        switch (handler) {
            case Handler::Nothing: break;
            case Handler::Take: {
                inet::Variant v;
                self->GetData(v);
                break;
            }
            case Handler::Close: self->CloseSocket(); break;
            case Handler::Release:
                if (Slot(slot) == self) Slot(slot).reset();
                break;
        }
    };
    s->OnClose = [this, weak, slot, handler] {
        if (handler == Handler::Release && Slot(slot) == weak.lock()) Slot(slot).reset();
    };
}

int32_t Scene::PortToConnect(uint8_t choice) const {
    for (size_t i = 0; i < kSlots; ++i) {
        const auto& s = slots_[(choice + i) % kSlots];
        if (s && s->State() == inet::SocketState::Listening && choice % 5 != 0) {
            sockaddr_in local{};
            socklen_t len = sizeof local;
            if (::getsockname(s->SocketHandle(), reinterpret_cast<sockaddr*>(&local), &len) == 0) {
                return ntohs(local.sin_port);
            }
        }
    }
    return ClosedPort();
}

int Scene::RawPeer(uint8_t choice) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    ResetOnClose(fd);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(PortToConnect(choice)));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    peers_.push_back(fd);
    return fd;
}

}  // namespace fuzz
