// SPDX-License-Identifier: MIT
// A host with a few socket objects, as the fuzz targets that drive whole objects use
// it: slots of objects whose handlers may take data, close or drop their own object,
// and adopt the connection requests that listening objects raise into a slot without
// a socket, plain peers, and an end that releases everything and checks that nothing
// stayed: no registration, no lookup, no descriptor.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "inet/cSocket/CSocket.h"

namespace fuzz {

class Scene {
public:
    static constexpr size_t kSlots = 4;
    // A name the substitute resolver answers with 127.0.0.1; every other name fails.
    static constexpr const char* kPeerName = "peer.test";

    Scene();
    ~Scene();
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    enum class Handler : uint8_t { Nothing, Take, Close, Release };
    // A new object in the slot (the old one is released) whose handlers do `handler`.
    void Make(size_t slot, Handler handler);
    std::shared_ptr<inet::CSocket>& Slot(size_t slot) { return slots_[slot % kSlots]; }

    // A port to connect to: one of a listening object, or one where nothing listens.
    int32_t PortToConnect(uint8_t choice) const;
    // A plain connection to a listening object, kept until the end.
    int RawPeer(uint8_t choice);
    // Plain peers: -1 for one that has been reset (closed) already.
    std::vector<int>& RawPeers() { return peers_; }

private:
    std::array<std::shared_ptr<inet::CSocket>, kSlots> slots_;
    std::vector<int> peers_;
    int descriptors_ = 0;  // open when the scene began
};

}  // namespace fuzz
