// SPDX-License-Identifier: MIT
// A host driving socket objects through a random sequence of its operations: make,
// connect (to a listening object, a closed port, a name), close, send, get, peek,
// listen, accept, release, pump, and plain peers that connect, write, close or reset.
// Errors that operations raise are part of the game; anything else (a crash, a
// sanitizer report, another exception, a registration, lookup or descriptor left
// behind) is a fault. Requests are adopted in their event by an object without a
// socket; Accept of anything else (any number) must be refused and take nothing.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz/FuzzSupport.h"
#include "fuzz/Scene.h"
#include "inet/cSocket/MSocketSupport.h"
#include "platform/MessageLoop.h"

namespace {

using fuzz::Scene;

void Step(Scene& scene, FuzzedDataProvider& in) {
    const size_t slot = in.ConsumeIntegralInRange<size_t>(0, Scene::kSlots - 1);
    auto s = scene.Slot(slot);  // held for the step: a handler may release the slot
    const int op = in.ConsumeIntegralInRange(0, 13);
    if (std::getenv("FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr, "slot %zu op %d (handle %d state %d)\n", slot, (op == 0 || (!s && op < 11)) ? 0 : op,
                     s ? s->SocketHandle() : -2, s ? static_cast<int>(s->State()) : -2);
    }
    if (op == 0 || (!s && op < 11)) {
        scene.Make(slot, static_cast<Scene::Handler>(in.ConsumeIntegralInRange(0, 3)));
        return;
    }
    switch (op) {
        case 1: scene.Slot(slot).reset(); break;
        case 2: {
            const uint8_t target = in.ConsumeIntegral<uint8_t>();
            const auto port = inet::Variant(int32_t{scene.PortToConnect(target)});
            if (target % 7 == 1) {
                s->Connect(Scene::kPeerName, port);
            } else if (target % 7 == 2) {
                s->Connect("no-such-host..invalid", port);
            } else {
                s->Connect("127.0.0.1", port);
            }
            break;
        }
        case 3: s->CloseSocket(); break;
        case 4: {
            const int32_t type = in.PickValueInArray(fuzz::kTypeCodes);
            s->SendData(fuzz::ValueOf(type, in.ConsumeRandomLengthString(70000)));
            break;
        }
        case 5:
        case 6: {
            inet::Variant v;
            const int32_t type = in.PickValueInArray(fuzz::kTypeCodes);
            const int32_t maxLen = in.ConsumeIntegralInRange<int32_t>(-1, 100);
            if (op == 5) s->GetData(v, type, maxLen);
            else s->PeekData(v, type, maxLen);
            break;
        }
        case 7:
            s->Bind(0, "127.0.0.1");
            s->Listen();
            break;
        case 8: s->Accept(in.ConsumeIntegralInRange<int32_t>(-1, 64)); break;
        case 9: s->SetProtocol(in.ConsumeBool() ? inet::SocketProtocol::Udp : inet::SocketProtocol::Tcp); break;
        case 10: s->SetRemoteHost(in.ConsumeBool() ? "127.0.0.1" : Scene::kPeerName); break;
        case 11: platform::PumpMessages(std::chrono::milliseconds(in.ConsumeIntegralInRange(0, 1))); break;
        case 12: scene.RawPeer(in.ConsumeIntegral<uint8_t>()); break;
        case 13: {
            // A plain peer writes, closes or resets.
            auto& peers = scene.RawPeers();
            if (peers.empty()) break;
            int& fd = peers[in.ConsumeIntegralInRange<size_t>(0, peers.size() - 1)];
            if (fd < 0) break;
            switch (in.ConsumeIntegralInRange(0, 2)) {
                case 0: {
                    const std::string bytes = in.ConsumeRandomLengthString(4096);
                    (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                    break;
                }
                case 1: ::shutdown(fd, SHUT_WR); break;
                default: {
                    const linger reset{1, 0};
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                    ::close(fd);
                    fd = -1;
                    break;
                }
            }
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scene scene;
    FuzzedDataProvider in(data, size);
    for (int steps = 0; steps < 64 && in.remaining_bytes() > 0; ++steps) {
        try {
            Step(scene, in);
        } catch (const inet::SocketError&) {
            // A refused operation: the host carries on.
        }
        fuzz::PumpReady();
    }
    // Let what is under way settle a little before the end releases everything.
    platform::PumpMessages(std::chrono::milliseconds(1));
    return 0;
}
