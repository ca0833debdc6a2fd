// SPDX-License-Identifier: MIT
// The dotted-address test on arbitrary text. Whatever inet_addr accepts prints and reads
// back as the same address; every text of one to four decimal, octal (0...) or
// hexadecimal (0x...) parts within range reads as the address it spells; and the
// socket object takes a text as its remote address exactly when it is dotted.
#include <arpa/inet.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "inet/cSocket/CSocket.h"
#include "inet/cSocket/MSocketSupport.h"
#include "platform/Winsock.h"

namespace {

// An independent reading of the classic dotted form; nullopt where it makes no claim.
std::optional<uint32_t> Spelled(const std::string& text) {
    std::vector<uint64_t> parts;
    size_t i = 0;
    for (;;) {
        int base = 10;
        if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            base = 16;
            i += 2;
        } else if (i < text.size() && text[i] == '0') {
            base = 8;
        }
        uint64_t value = 0;
        size_t digits = 0;
        for (; i < text.size(); ++i, ++digits) {
            const char c = text[i];
            int d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else break;
            if (d >= base) return std::nullopt;
            value = value * base + d;
            if (value > 0xFFFFFFFFull) return std::nullopt;
        }
        if (digits == 0) return std::nullopt;
        parts.push_back(value);
        if (i == text.size()) break;
        if (text[i] != '.' || parts.size() == 4) return std::nullopt;
        ++i;
    }
    // The last part fills the bytes that the others leave.
    const size_t n = parts.size();
    const uint64_t lastLimit = n == 1 ? 0xFFFFFFFFull : n == 2 ? 0xFFFFFFull : n == 3 ? 0xFFFFull : 0xFFull;
    uint32_t host = 0;
    for (size_t k = 0; k + 1 < n; ++k) {
        if (parts[k] > 0xFF) return std::nullopt;
        host |= static_cast<uint32_t>(parts[k]) << (24 - 8 * k);
    }
    if (parts.back() > lastLimit) return std::nullopt;
    host |= static_cast<uint32_t>(parts.back());
    return htonl(host);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const uint32_t address = platform::inet_addr(text.c_str());
    const bool dotted = !text.empty() && address != INADDR_NONE;

    if (const auto spelled = Spelled(text); spelled && text.find('\0') == std::string::npos) {
        fuzz::Check(address == *spelled, "a dotted text reads as the address it spells");
    }
    if (dotted) {
        in_addr a{};
        a.s_addr = address;
        const std::string printed = platform::inet_ntoa(a);
        fuzz::Check(platform::inet_addr(printed.c_str()) == address, "the printed address reads back");
    }

    {
        auto s = inet::CSocket::Create();
        s->SetRemoteHost(text);
        fuzz::Check(s->RemoteHost() == text, "the name is kept as given");
        fuzz::Check(s->RemoteHostIP() == (dotted ? text : std::string()), "only a dotted text is an address");
        fuzz::Check(s->SocketHandle() == -1, "a stream object makes no socket for it");
        if (dotted) {
            // A datagram object makes its socket and sets broadcast for a ".255" address.
            auto d = inet::CSocket::Create();
            d->SetProtocol(inet::SocketProtocol::Udp);
            d->SetRemoteHost(text);
            fuzz::Check(d->SocketHandle() != -1, "a datagram object makes its socket");
        }
    }
    fuzz::Check(inet::MSocketSupport::RegisteredSocketCount() == 0, "every object unregistered");
    return 0;
}
