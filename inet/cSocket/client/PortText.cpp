// SPDX-License-Identifier: MIT
#include "inet/cSocket/client/PortText.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "inet/cSocket/SocketError.h"
#include "inet/cSocket/Variant.h"

namespace PortText {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipDigits(std::string_view text, size_t i) {
    while (i < text.size() && IsDigit(text[i])) ++i;
    return i;
}

}  // namespace

double LeadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;

    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    // Mantissa: digits, optionally a point and more digits; at least one digit in all.
    const size_t mantissa = i;
    i = SkipDigits(text, i);
    size_t significant = i - mantissa;  // integer digits, for telling overflow from underflow
    for (size_t k = mantissa; k < i && text[k] == '0'; ++k) --significant;
    bool anyDigit = i > mantissa;
    if (i < text.size() && text[i] == '.') {
        const size_t fraction = i + 1;
        i = SkipDigits(text, fraction);
        anyDigit = anyDigit || i > fraction;
    }
    if (!anyDigit) return 0.0;
    size_t end = i;

    // Exponent: only when at least one digit follows the 'e' and its sign.
    long long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        bool negativeExponent = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            negativeExponent = text[j] == '-';
            ++j;
        }
        const size_t digits = j;
        j = SkipDigits(text, j);
        if (j > digits) {
            end = j;
            for (size_t k = digits; k < j && exponent < 1'000'000; ++k) exponent = exponent * 10 + (text[k] - '0');
            if (negativeExponent) exponent = -exponent;
        }
    }

    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data() + mantissa, text.data() + end, value,
                                           std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: a number with integer digits left after
        // the exponent is applied is huge, anything else is as good as zero.
        const bool huge = static_cast<long long>(significant) + exponent > 0;
        value = huge ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
}

int32_t ToPortNumber(std::string_view text) {
    const double rounded = inet::RoundHalfToEven(LeadingNumber(text));
    // An infinite value stays infinite here and fails the range check.
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) {
        throw inet::RuntimeError(inet::kOverflow, "PortText.ToPortNumber");
    }
    return static_cast<int32_t>(rounded);
}

}  // namespace PortText
