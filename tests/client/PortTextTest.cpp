// SPDX-License-Identifier: MIT
// The reading of the port box's text: the leading number, rounded half to even,
// within the 32-bit signed range.
#include "inet/cSocket/client/PortText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "inet/cSocket/SocketError.h"

namespace {

struct Reading {
    std::string_view text;
    int32_t port;
};

void ExpectReadings(std::initializer_list<Reading> readings) {
    for (const Reading& r : readings) {
        SCOPED_TRACE("text \"" + std::string(r.text) + "\"");
        EXPECT_EQ(PortText::ToPortNumber(r.text), r.port);
    }
}

TEST(PortText, ReadsThePlainNumbersAUserTypes) {
    ExpectReadings({{"8765", 8765}, {"0", 0}, {"1", 1}, {"65535", 65535}, {"08765", 8765}});
}

TEST(PortText, SkipsLeadingBlanksOnly) {
    ExpectReadings({
        {" 8765", 8765},
        {"   8765", 8765},
        {"\t8765", 8765},
        {" \t 8765", 8765},
        {"8765 ", 8765},
        {"87 65", 87},      // a blank inside ends the number
        {"- 1", 0},         // even between sign and digits
        {"8765\n", 8765},
    });
}

TEST(PortText, TextThatDoesNotBeginWithANumberGivesZero) {
    ExpectReadings({{"", 0}, {" ", 0}, {"abc", 0}, {"port 8765", 0}, {"-", 0}, {"+", 0},
                    {".", 0}, {"-.", 0}, {"e5", 0}, {"\n8765", 0}, {"\xc2\xa0" "8765", 0}});
}

TEST(PortText, TakesTheNumberTheTextBeginsWith) {
    ExpectReadings({{"8765abc", 8765}, {"8765:80", 8765}, {"12,345", 12}, {"1.2.3", 1}, {"42-1", 42}});
}

TEST(PortText, HasNoRadixPrefixes) {
    ExpectReadings({{"0x1F", 0}, {"0X22", 0}, {"&H2235", 0}, {"&O17", 0}, {"0b101", 0}, {"010", 10}});
}

TEST(PortText, ReadsSignsAndDecimalPointsAndExponents) {
    ExpectReadings({
        {"+8765", 8765},
        {"-1", -1},
        {"-0", 0},
        {"8765.", 8765},
        {".4", 0},
        {"8765.25", 8765},
        {"8765.75", 8766},
        {"8.765e3", 8765},
        {"8765E0", 8765},
        {"87650e-1", 8765},
        {"8.765e+3", 8765},
        {"8765e", 8765},    // no exponent digits: no exponent
        {"8765e+", 8765},
        {"8765ex", 8765},
        {"1e-400", 0},      // too small for a double: as good as zero
        {"8765,5", 8765},   // only '.' is a decimal point, whatever the locale
    });
}

TEST(PortText, RoundsAnExactHalfToTheEvenNeighbour) {
    ExpectReadings({
        {"8765.5", 8766},
        {"8764.5", 8764},
        {"0.5", 0},
        {"1.5", 2},
        {"2.5", 2},
        {"-0.5", 0},
        {"-1.5", -2},
        {"-2.5", -2},
        {"8764.500001", 8765},
        {"8765.499999", 8765},
        {"2147483646.5", 2147483646},
        {"-2147483648.5", -2147483648},  // rounds to the even -2147483648, which fits
    });
}

TEST(PortText, AcceptsTheWhole32BitSignedRange) {
    ExpectReadings({{"2147483647", 2147483647}, {"-2147483648", -2147483648}, {"70000", 70000},
                    {"2147483647.4", 2147483647}, {"-2147483648.4", -2147483648}});
}

TEST(PortText, RaisesOverflowOutsideThe32BitSignedRange) {
    for (std::string_view text : {"2147483648", "-2147483649", "2147483647.5", "-2147483648.6",
                                  "99999999999999999999", "1e10", "-1e10", "1e400", "-1e400",
                                  " 4294967296"}) {
        SCOPED_TRACE("text \"" + std::string(text) + "\"");
        try {
            PortText::ToPortNumber(text);
            ADD_FAILURE() << "no error";
        } catch (const inet::SocketError& e) {
            EXPECT_EQ(e.Number(), 6);
            EXPECT_EQ(e.Description(), "Overflow");
            EXPECT_EQ(e.Source(), "PortText.ToPortNumber");
        }
    }
}

TEST(PortText, LeadingNumberKeepsTheFraction) {
    EXPECT_DOUBLE_EQ(PortText::LeadingNumber(" 8765.5x"), 8765.5);
    EXPECT_DOUBLE_EQ(PortText::LeadingNumber("-.25"), -0.25);
    EXPECT_DOUBLE_EQ(PortText::LeadingNumber("1e400"), HUGE_VAL);
}

}  // namespace
