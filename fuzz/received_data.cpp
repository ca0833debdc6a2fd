// SPDX-License-Identifier: MIT
// GetData and PeekData over arbitrary received bytes, with arbitrary type codes and
// lengths, against a model of the receive buffer: each call yields the layout of the
// bytes it covers, GetData takes them and PeekData leaves them, and BytesReceived
// follows what is left.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "fuzz/FuzzSupport.h"
#include "inet/cSocket/CSocket.h"

namespace {

struct Pair {
    std::shared_ptr<inet::CSocket> socket;
    int peer = -1;
    int32_t buffered = 0;  // the last OnDataArrival's count
};

Pair& Connected() {
    static Pair* pair = [] {
        fuzz::Setup();
        auto* p = new Pair;
        int port = 0;
        const int listener = fuzz::RawListen(port);
        p->socket = inet::CSocket::Create();
        p->socket->OnDataArrival = [p](int32_t total) { p->buffered = total; };
        p->socket->Connect("127.0.0.1", inet::Variant(int32_t{port}));
        fuzz::PumpUntil([&] { return (p->peer = fuzz::RawAccept(listener)) >= 0; }, std::chrono::seconds(5));
        fuzz::Check(fuzz::PumpUntil([&] { return p->socket->State() == inet::SocketState::Connected; },
                                    std::chrono::seconds(5)),
                    "the pair connects");
        ::close(listener);
        return p;
    }();
    return *pair;
}

std::string Bytes(const inet::Variant& v) {
    std::string out;
    inet::AppendBytes(v, out);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Pair& pair = Connected();
    FuzzedDataProvider in(data, size);
    const std::string arriving = in.ConsumeRandomLengthString(16384);
    if (!arriving.empty()) {
        const auto before = static_cast<size_t>(pair.buffered);
        for (size_t done = 0; done < arriving.size();) {
            const ssize_t n = ::write(pair.peer, arriving.data() + done, arriving.size() - done);
            if (n > 0) done += static_cast<size_t>(n);
            fuzz::PumpReady();
        }
        fuzz::Check(fuzz::PumpUntil([&] { return static_cast<size_t>(pair.buffered) == before + arriving.size(); },
                                    std::chrono::seconds(5)),
                    "everything sent arrives");
    }
    std::string model = arriving;
    fuzz::Check(pair.socket->BytesReceived() == static_cast<int32_t>(model.size()), "BytesReceived counts the buffer");

    while (in.remaining_bytes() > 0) {
        const bool take = in.ConsumeBool();
        std::optional<int32_t> type, maxLen;
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: break;
            case 1: type = in.PickValueInArray(fuzz::kTypeCodes); break;
            default: type = in.ConsumeIntegral<int32_t>(); break;
        }
        if (in.ConsumeBool()) maxLen = in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(-2, 40)
                                                         : in.ConsumeIntegral<int32_t>();

        const inet::Variant marker = std::string("untouched");
        inet::Variant value = marker;
        if (take) {
            pair.socket->GetData(value, type, maxLen);
        } else {
            pair.socket->PeekData(value, type, maxLen);
        }

        if (model.empty()) {
            fuzz::Check(value == marker, "nothing buffered leaves the value alone");
            continue;
        }
        const int32_t wanted = maxLen.value_or(0);
        const size_t count = (wanted > 0 && static_cast<size_t>(wanted) <= model.size()) ? wanted : model.size();
        const int32_t code = (!type || *type == 0) ? 8 : *type;
        inet::Variant expected;
        if (inet::ValueFromBytes(code, model.substr(0, count), expected)) {
            fuzz::Check(value.index() == expected.index() && Bytes(value) == Bytes(expected),
                        "the value is the layout of the bytes it covers");
        } else {
            fuzz::Check(value == marker, "a code without a layout leaves the value alone");
        }
        if (take) model.erase(0, count);
        fuzz::Check(pair.socket->BytesReceived() == static_cast<int32_t>(model.size()), "BytesReceived follows");
    }
    // Whatever is left comes out whole as text.
    inet::Variant rest;
    pair.socket->GetData(rest, 8);
    fuzz::Check(model.empty() || std::get<std::string>(rest) == model, "the rest comes out as it came");
    pair.buffered = 0;
    return 0;
}
