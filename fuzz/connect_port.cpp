// SPDX-License-Identifier: MIT
// Connect's port argument, any value of any layout: a numeric one becomes RemotePort,
// one that does not fit 32 bits raises overflow, anything else leaves the port alone.
// No host is set, so each call ends in "no address" after the port has been read, and
// nothing reaches the network.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

#include "fuzz/FuzzSupport.h"
#include "inet/cSocket/CSocket.h"
#include "inet/cSocket/MSocketSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const int descriptors = fuzz::OpenDescriptors();
    FuzzedDataProvider in(data, size);
    const int32_t type = in.PickValueInArray(fuzz::kTypeCodes);
    const inet::Variant port = fuzz::ValueOf(type, in.ConsumeRemainingBytesAsString());

    std::optional<int32_t> expected;
    bool overflows = false;
    try {
        expected = inet::NumericLong(port, "reading");
    } catch (const inet::SocketError&) {
        overflows = true;
    }

    {
        auto s = inet::CSocket::Create();
        s->SetRemotePort(4242);
        try {
            s->Connect(std::nullopt, port);
            fuzz::Fail("Connect without a host succeeded");
        } catch (const inet::SocketError& e) {
            fuzz::Check(e.Source() == "CSocket.CSocket.Connect", "the error leaves under Connect's source");
            fuzz::Check(e.Number() == (overflows ? inet::kOverflow : 10049), "overflow, or no address");
        }
        fuzz::Check(s->RemotePort() == expected.value_or(4242), "a numeric port is kept, another one ignored");
    }
    fuzz::Check(inet::MSocketSupport::RegisteredSocketCount() == 0, "the released object unregistered");
    fuzz::Check(fuzz::OpenDescriptors() == descriptors, "the released object closed its socket");
    return 0;
}
