// SPDX-License-Identifier: MIT
#include "inet/cSocket/Variant.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <bit>
#include <cstring>
#include <type_traits>

#include "inet/cSocket/SocketError.h"

namespace inet {

static_assert(std::endian::native == std::endian::little, "values travel in memory order, little-endian");

namespace {

template <typename T>
void AppendRaw(const T& value, std::string& out) {
    static_assert(std::is_trivially_copyable_v<T>);
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// A fixed-width value from the front of the bytes; missing high bytes read as zero.
template <typename T>
T ReadRaw(std::string_view bytes) {
    unsigned char raw[sizeof(T)] = {};
    std::memcpy(raw, bytes.data(), std::min(bytes.size(), sizeof(T)));
    T value;
    std::memcpy(&value, raw, sizeof value);
    return value;
}

// Reads a whole text as a number: blanks around it, a sign, digits with an optional
// decimal point and exponent, or &H / &O with hexadecimal / octal digits.
std::optional<double> ParseNumber(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    if (text.size() > 2 && text[0] == '&' && (text[1] == 'H' || text[1] == 'h' || text[1] == 'O' || text[1] == 'o')) {
        const int base = (text[1] == 'H' || text[1] == 'h') ? 16 : 8;
        const std::string digits(text.substr(2));
        char* end = nullptr;
        const unsigned long long value = std::strtoull(digits.c_str(), &end, base);
        if (end == digits.c_str() || *end != '\0' || digits[0] == '-' || digits[0] == '+') return std::nullopt;
        return static_cast<double>(value);
    }
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        const size_t start = j;
        while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
        if (j == start) return std::nullopt;
        i = j;
    }
    if (i != text.size()) return std::nullopt;
    return std::strtod(std::string(text).c_str(), nullptr);
}

// Rounds half to even and checks the 32-bit range.
int32_t ToLong(double value, const char* source) {
    const double rounded = RoundHalfToEven(value);
    // NaN fails the comparison, and an infinity the range.
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) throw RuntimeError(kOverflow, source);
    return static_cast<int32_t>(rounded);
}

}  // namespace

double RoundHalfToEven(double value) {
    const double below = std::floor(value);
    const double rest = value - below;  // exact: in [0, 1) for every finite value
    if (rest > 0.5 || (rest == 0.5 && std::fmod(below, 2.0) != 0.0)) return below + 1.0;
    return below;
}

std::optional<int32_t> NumericLong(const Variant& value, const char* source) {
    return std::visit(
        [source](const auto& v) -> std::optional<int32_t> {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t> || std::is_same_v<T, uint8_t>) {
                return static_cast<int32_t>(v);
            } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
                return ToLong(static_cast<double>(v), source);
            } else if constexpr (std::is_same_v<T, Currency>) {
                return ToLong(static_cast<double>(v.scaled) / 10000.0, source);
            } else if constexpr (std::is_same_v<T, VariantBool>) {
                return static_cast<int32_t>(v.raw);
            } else if constexpr (std::is_same_v<T, std::string>) {
                if (auto number = ParseNumber(v)) return ToLong(*number, source);
                return std::nullopt;
            } else {
                return std::nullopt;  // empty, dates and byte arrays are not numbers
            }
        },
        value);
}

VarType TypeOf(const Variant& v) {
    static constexpr VarType kTypes[] = {VarType::Empty,    VarType::Integer, VarType::Long,   VarType::Single,
                                         VarType::Double,   VarType::Currency, VarType::Date,  VarType::String,
                                         VarType::Boolean,  VarType::Byte,    VarType::ByteArray};
    static_assert(std::size(kTypes) == std::variant_size_v<Variant>);
    return kTypes[v.index()];
}

void AppendBytes(const Variant& value, std::string& out) {
    std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                // nothing to send
            } else if constexpr (std::is_same_v<T, std::string>) {
                out.append(v);
            } else if constexpr (std::is_same_v<T, ByteArray>) {
                out.append(reinterpret_cast<const char*>(v.data()), v.size());
            } else if constexpr (std::is_same_v<T, VariantBool>) {
                AppendRaw(v.raw, out);  // 0xFFFF for true, as it lies in memory
            } else if constexpr (std::is_same_v<T, Currency>) {
                AppendRaw(v.scaled, out);
            } else if constexpr (std::is_same_v<T, Date>) {
                AppendRaw(v.days, out);
            } else {
                AppendRaw(v, out);
            }
        },
        value);
}

bool ValueFromBytes(int32_t type, std::string_view bytes, Variant& out) {
    switch (static_cast<VarType>(type)) {
        case VarType::ByteArray: out = ByteArray(bytes.begin(), bytes.end()); return true;
        case VarType::Boolean: out = VariantBool{ReadRaw<int16_t>(bytes)}; return true;
        case VarType::Byte: out = ReadRaw<uint8_t>(bytes); return true;
        case VarType::Currency: out = Currency{ReadRaw<int64_t>(bytes)}; return true;
        case VarType::Date: out = Date{ReadRaw<double>(bytes)}; return true;
        case VarType::Double: out = ReadRaw<double>(bytes); return true;
        case VarType::Integer: out = ReadRaw<int16_t>(bytes); return true;
        case VarType::Long: out = ReadRaw<int32_t>(bytes); return true;
        case VarType::Single: out = ReadRaw<float>(bytes); return true;
        case VarType::String: out = std::string(bytes); return true;
        case VarType::Empty: return false;
    }
    return false;
}

}  // namespace inet
