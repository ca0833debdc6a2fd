// SPDX-License-Identifier: MIT
// The value layouts: bytes -> value -> bytes -> value must give back what it was given.
// A fixed-width value keeps its first bytes (missing ones read as zero); text and byte
// arrays keep every byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "fuzz/FuzzSupport.h"
#include "inet/cSocket/SocketError.h"

namespace {

size_t WidthOf(inet::VarType type) {
    switch (type) {
        case inet::VarType::Integer: return 2;
        case inet::VarType::Long: return 4;
        case inet::VarType::Single: return 4;
        case inet::VarType::Double: return 8;
        case inet::VarType::Currency: return 8;
        case inet::VarType::Date: return 8;
        case inet::VarType::Boolean: return 2;
        case inet::VarType::Byte: return 1;
        default: return 0;  // every byte
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t type = in.ConsumeBool() ? in.PickValueInArray(fuzz::kTypeCodes) : in.ConsumeIntegral<int32_t>();
    const std::string bytes = in.ConsumeRemainingBytesAsString();

    inet::Variant value;
    if (!inet::ValueFromBytes(type, bytes, value)) {
        fuzz::Check(value.index() == 0, "a code without a layout left the value alone");
        return 0;
    }
    fuzz::Check(static_cast<int32_t>(inet::TypeOf(value)) == type, "the value has the type asked for");

    std::string sent;
    inet::AppendBytes(value, sent);
    const size_t width = WidthOf(inet::TypeOf(value));
    if (width == 0) {
        fuzz::Check(sent == bytes, "text and byte arrays keep every byte");
    } else {
        std::string expected = bytes.substr(0, width);
        expected.resize(width, '\0');
        fuzz::Check(sent == expected, "a fixed-width value keeps its first bytes");
    }

    // Read back, the bytes give the same value (compared as bytes: a NaN is not equal to itself).
    inet::Variant again;
    fuzz::Check(inet::ValueFromBytes(type, sent, again), "the layout reads its own bytes");
    std::string resent;
    inet::AppendBytes(again, resent);
    fuzz::Check(again.index() == value.index() && resent == sent, "the round trip is exact");

    // A value that reads as a number reads the same from its own layout.
    try {
        const auto first = inet::NumericLong(value, "fuzz");
        const auto second = inet::NumericLong(again, "fuzz");
        fuzz::Check(first == second, "the numeric reading is stable");
    } catch (const inet::SocketError& e) {
        fuzz::Check(e.Number() == inet::kOverflow && e.Source() == "fuzz", "only overflow is raised");
    }
    return 0;
}
