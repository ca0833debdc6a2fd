// SPDX-License-Identifier: MIT
// PortText: the number that the port box's text stands for.
//
// The reading takes the number that the text begins with, the way a person types
// one into a small box:
//   - leading blanks (spaces and tabs) are skipped;
//   - then an optional sign, decimal digits, an optional decimal point ('.',
//     whatever the locale) with more digits, and an optional exponent ('e' or 'E',
//     an optional sign and at least one digit: "8.765e3" is 8765);
//   - the number ends at the first character that cannot continue it; a blank
//     inside ends it too ("87 65" is 87), and an exponent without digits is not
//     part of it ("8765e" is 8765);
//   - there are no radix prefixes: "0x1F" is 0 and "&H2235" is 0, and a leading
//     zero does not mean octal ("08765" is 8765); only the ASCII digits count;
//   - a text that does not begin with a number ("", "abc", "-", ".") gives 0.
// The value is then rounded to a whole number, an exact half to the even
// neighbour (8765.5 gives 8766, 8764.5 gives 8764), and must fit a 32-bit signed
// integer.
#pragma once

#include <cstdint>
#include <string_view>

namespace PortText {

// The leading number of `text` as read above, before rounding.
double LeadingNumber(std::string_view text);

// The leading number rounded half to even. Throws inet::SocketError 6 "Overflow"
// (source "PortText.ToPortNumber") when the rounded value lies outside the 32-bit
// signed range.
int32_t ToPortNumber(std::string_view text);

}  // namespace PortText
