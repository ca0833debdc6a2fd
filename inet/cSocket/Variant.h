// SPDX-License-Identifier: MIT
// The values that SendData, GetData and PeekData exchange, and their byte layouts.
//
// Each type code has a fixed layout; multi-byte values travel little-endian, as
// they lie in memory. Text holds one char per byte, so any byte survives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace inet {

enum class VarType : int32_t { Empty = 0, Integer = 2, Long = 3, Single = 4, Double = 5,
                               Currency = 6, Date = 7, String = 8, Boolean = 11, Byte = 17,
                               ByteArray = 8209 };

struct Currency    { int64_t scaled; bool operator==(const Currency&) const = default; };  // the amount times 10000
struct Date        { double  days;   bool operator==(const Date&) const = default; };      // days since 30 December 1899
struct VariantBool { int16_t raw;    bool operator==(const VariantBool&) const = default; }; // -1 true, 0 false; other values kept
using  ByteArray = std::vector<uint8_t>;

using Variant = std::variant<std::monostate,   // Empty
                             int16_t,          // Integer
                             int32_t,          // Long
                             float,            // Single
                             double,           // Double
                             Currency, Date,
                             std::string,      // String: one char per byte
                             VariantBool,      // Boolean
                             uint8_t,          // Byte
                             ByteArray>;       // ByteArray

VarType TypeOf(const Variant& v);

// Appends the bytes that the value is sent as; Empty gives none.
void AppendBytes(const Variant& value, std::string& out);

// The value of type code `type` made from the front of `bytes`. A fixed-width type
// with fewer bytes than its width takes the missing high bytes as zero. Returns
// false, leaving `out` alone, for a code that has no layout.
bool ValueFromBytes(int32_t type, std::string_view bytes, Variant& out);

// The whole number nearest to value, an exact half going to the even neighbour
// (2.5 gives 2, 3.5 gives 4, -2.5 gives -2). Infinities and NaN come back as they are.
double RoundHalfToEven(double value);

// The value as a 32-bit integer when it is numeric: a number, or a text that reads as
// one ("  8765 ", "2.5", "1e3", "&H1F"). Fractions round half to even. nullopt when
// the value is not numeric; throws SocketError 6 (source `source`) when it does not fit.
std::optional<int32_t> NumericLong(const Variant& value, const char* source);

}  // namespace inet
