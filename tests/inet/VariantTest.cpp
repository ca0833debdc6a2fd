// SPDX-License-Identifier: MIT
// Value layouts and the reading of numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "inet/cSocket/SocketError.h"
#include "inet/cSocket/Variant.h"

namespace {

using inet::Variant;

TEST(Variant, TypeCodesFollowTheAlternatives) {
    EXPECT_EQ(inet::TypeOf(Variant()), inet::VarType::Empty);
    EXPECT_EQ(inet::TypeOf(Variant(int16_t{1})), inet::VarType::Integer);
    EXPECT_EQ(inet::TypeOf(Variant(inet::Date{1})), inet::VarType::Date);
    EXPECT_EQ(inet::TypeOf(Variant(std::string())), inet::VarType::String);
    EXPECT_EQ(inet::TypeOf(Variant(inet::ByteArray{})), inet::VarType::ByteArray);
}

TEST(Variant, EveryLayoutReadsBackWhatWasWritten) {
    const Variant values[] = {Variant(int16_t{-2}),         Variant(int32_t{123456789}), Variant(3.5f),
                              Variant(-1.0 / 3),            Variant(inet::Currency{-12345678901}),
                              Variant(inet::Date{45000.25}), Variant(std::string("a\0b", 3)),
                              Variant(inet::VariantBool{-1}), Variant(uint8_t{255}), Variant(inet::ByteArray{1, 0, 2})};
    for (const Variant& v : values) {
        SCOPED_TRACE(static_cast<int>(inet::TypeOf(v)));
        std::string bytes;
        inet::AppendBytes(v, bytes);
        Variant back;
        ASSERT_TRUE(inet::ValueFromBytes(static_cast<int32_t>(inet::TypeOf(v)), bytes, back));
        EXPECT_EQ(back, v);
    }
    std::string none;
    inet::AppendBytes(Variant(), none);
    EXPECT_TRUE(none.empty());
    Variant untouched(int32_t{3});
    EXPECT_FALSE(inet::ValueFromBytes(99, "abcd", untouched));
    EXPECT_EQ(untouched, Variant(int32_t{3}));
}

TEST(Variant, NumbersAreReadRoundedHalfToEven) {
    struct Case { Variant value; std::optional<int32_t> expected; };
    const Case cases[] = {
        {Variant(2.5), 2},
        {Variant(3.5), 4},
        {Variant(-2.5), -2},
        {Variant(std::string("8765")), 8765},
        {Variant(std::string("  8765  ")), 8765},
        {Variant(std::string("+12")), 12},
        {Variant(std::string("-7.5")), -8},
        {Variant(std::string("1e3")), 1000},
        {Variant(std::string("&H1F")), 31},
        {Variant(std::string("&o17")), 15},
        {Variant(std::string("12abc")), std::nullopt},
        {Variant(std::string("abc")), std::nullopt},
        {Variant(std::string("")), std::nullopt},
        {Variant(std::string("1 2")), std::nullopt},
        {Variant(std::string(".")), std::nullopt},
        {Variant(), std::nullopt},
        {Variant(inet::Date{3}), std::nullopt},
        {Variant(inet::ByteArray{1}), std::nullopt},
        {Variant(inet::Currency{15000}), 2},
        {Variant(inet::VariantBool{-1}), -1},
        {Variant(uint8_t{200}), 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.value.index()) + " " +
                     (std::holds_alternative<std::string>(c.value) ? std::get<std::string>(c.value) : ""));
        EXPECT_EQ(inet::NumericLong(c.value, "test"), c.expected);
    }
}

TEST(Variant, RoundingTakesExactHalvesToTheEvenNeighbourOnly) {
    EXPECT_EQ(inet::RoundHalfToEven(0.5), 0.0);
    EXPECT_EQ(inet::RoundHalfToEven(1.5), 2.0);
    EXPECT_EQ(inet::RoundHalfToEven(-0.5), 0.0);
    EXPECT_EQ(inet::RoundHalfToEven(-1.5), -2.0);
    EXPECT_EQ(inet::RoundHalfToEven(-1.25), -1.0);
    // Just below a half: adding 0.5 and flooring would give 1 here.
    EXPECT_EQ(inet::RoundHalfToEven(0.49999999999999994), 0.0);
    // Past 2^52 every double is whole already.
    EXPECT_EQ(inet::RoundHalfToEven(4503599627370497.0), 4503599627370497.0);
    EXPECT_EQ(inet::RoundHalfToEven(std::numeric_limits<double>::infinity()),
              std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(inet::RoundHalfToEven(std::numeric_limits<double>::quiet_NaN())));
}

TEST(Variant, NumbersOutsideTheRangeOverflow) {
    for (const Variant& v : {Variant(2147483647.5), Variant(-2147483649.0), Variant(std::string("1e10")),
                             Variant(std::numeric_limits<double>::quiet_NaN())}) {
        try {
            inet::NumericLong(v, "CSocket.CSocket.Connect");
            ADD_FAILURE() << "no overflow";
        } catch (const inet::SocketError& e) {
            EXPECT_EQ(e.Number(), 6);
            EXPECT_EQ(e.Source(), "CSocket.CSocket.Connect");
            EXPECT_EQ(e.Description(), "Overflow");
        }
    }
    EXPECT_EQ(inet::NumericLong(Variant(2147483647.4), "x"), 2147483647);
    EXPECT_EQ(inet::NumericLong(Variant(-2147483648.0), "x"), std::numeric_limits<int32_t>::min());
}

}  // namespace
