// The parser combinators: which runs of characters are numbers and what they
// are worth, what each parser says when it fails, and that the fast path for
// plain numbers agrees with the general conversion to the last bit.
#include "importers/unreal/ParserCombinators.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"

namespace morv {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

double realOf(std::string_view text) {
    TextCursor in(bytesOf(text));
    return real(in);
}

TEST(ParserCombinators, NumbersAreConvertedExactly) {
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"0", 0},
        {"+1", 1},
        {"-3.5", -3.5},
        {"+00256.000000", 256},
        {"-00003.500000", -3.5},
        {"+123456.500000", 123456.5},
        {"0.1", 0.1},
        {"1e3", 1000},
        {"1E+3", 1000},
        {"2.5e-3", 0.0025},
        {"123456789012345678", 123456789012345678.0},  // too many digits for the fast path
        {"0.30000000000000004", 0.30000000000000004},
        {"1.7976931348623157e308", 1.7976931348623157e308},
        {"4.9e-324", 4.9e-324},
        {"  \t\r\n 7 ", 7},
        {"5,", 5},
        {"-99999.999999", -99999.999999},  // the tools' fixed form, ended by the end of the text
        {"+00000.000001\r\n", 0.000001},
        {"+000001.00000,", 1},  // the same length, another form
    };
    for (const auto& c : cases) {
        double value = std::nan("");
        EXPECT_NO_THROW(value = realOf(c.text)) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
    EXPECT_TRUE(std::signbit(realOf("-00000.000000")));
    EXPECT_FALSE(std::signbit(realOf("+00000.000000")));
}

// The fast path divides an integer by a power of ten; any slip in its bounds
// shows up as a last-bit difference from the correctly rounded value.
TEST(ParserCombinators, PlainNumbersAgreeWithTheGeneralConversion) {
    std::mt19937_64 random(42);
    std::uniform_int_distribution<int> digitCount(1, 15), digit(0, 9);
    for (int i = 0; i < 200000; ++i) {
        const int digits = digitCount(random);
        std::uniform_int_distribution<int> pointAt(0, digits - 1);
        const int point = pointAt(random);
        std::string text = i % 2 ? "-" : "+";
        for (int d = 0; d < digits; ++d) {
            text.push_back(static_cast<char>('0' + digit(random)));
            if (d + 1 == digits - point && point > 0) text.push_back('.');
        }
        ASSERT_EQ(realOf(text), std::strtod(text.c_str(), nullptr)) << text;
    }
}

// The same for the fixed form tools write ("%+013.6f"), read eight digits at a time.
TEST(ParserCombinators, FixedFormNumbersAgreeWithTheGeneralConversion) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::uint64_t> mantissa(0, 99999999999);
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t m = i < 10 ? std::uint64_t(i) * 11111111111 / 10 : mantissa(random);
        char text[32];
        std::snprintf(text, sizeof text, "%c%05llu.%06llu,", i % 2 ? '-' : '+',
                      static_cast<unsigned long long>(m / 1000000), static_cast<unsigned long long>(m % 1000000));
        const double value = realOf(text);
        ASSERT_EQ(value, std::strtod(text, nullptr)) << text;
        ASSERT_EQ(std::signbit(value), i % 2 == 1) << text;
    }
}

TEST(ParserCombinators, WhatIsNotANumberIsNamed) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"1.2.3", "The string 1.2.3 is not a real number"},
        {"+00001.000000x", "The string +00001.000000x is not a real number"},
        {"+000:1.000000", "The string +000:1.000000 is not a real number"},
        {"-00001.00000/ ", "The string -00001.00000/ is not a real number"},
        {"1e ", "The string 1e is not a real number"},
        {"+-1", "The string +-1 is not a real number"},
        {"--1", "The string --1 is not a real number"},
        {"1. ", "The string 1. is not a real number"},
        {".5", "The string .5 is not a real number"},
        {"1e999", "The string 1e999 is not a real number"},  // beyond a double: no infinity
        {"-1e999", "The string -1e999 is not a real number"},
        {"1e-999", "The string 1e-999 is not a real number"},
        {"1.#INF", "The string 1.#INF is not a real number"},
        {"1.5#IND ", "The string 1.5#IND is not a real number"},
        {"nan", "The string nan is not a real number"},
        {"abc,1", "The string abc is not a real number"},
        {",1", "The string , is not a real number"},
        {"0x10", "The string 0x10 is not a real number"},
        {"\x01\xff", "The string \\x01\\xFF is not a real number"},
        {"", "Unexpected end of file"},
        {"   ", "Unexpected end of file"},
        {"-", "Unexpected end of file"},  // the file may have been cut inside the number
        {"1e", "Unexpected end of file"},
        {"2.", "Unexpected end of file"},
    };
    for (const auto& c : cases) EXPECT_THROW_MSG(realOf(c.text), BrushSyntaxError, c.message);
    EXPECT_THROW_MSG(realOf(std::string(100, '1') + "x"), BrushSyntaxError,
                     "The string " + std::string(64, '1') + "... (101 characters) is not a real number");
}

TEST(ParserCombinators, KeywordsMatchExactlyAndWholly) {
    const Keyword origin("Origin");
    const struct {
        const char* text;
        bool matches;
        const char* message;  // of the failing parse
    } cases[] = {
        {"Origin 1", true, ""},
        {" \r\n\tOrigin", true, ""},
        {"Origin,", true, ""},
        {"origin", false, "Origin expected"},
        {"Origins", false, "Origin expected"},
        {"Normal", false, "Origin expected"},
        {"Ori", false, "Unexpected end of file"},
        {"", false, "Unexpected end of file"},
        {"Orx", false, "Origin expected"},
    };
    for (const auto& c : cases) {
        TextCursor in(bytesOf(c.text));
        if (c.matches) {
            EXPECT_EQ(origin(in), "Origin") << c.text;
            EXPECT_TRUE(in.atEnd() || !isWordChar(in.peek())) << c.text;
        } else {
            EXPECT_THROW_MSG(origin(in), BrushSyntaxError, c.message);
        }
    }
    TextCursor in(bytesOf("\n\r\n  Origin"));
    origin(in);
    EXPECT_EQ(in.line(), 3u);
}

TEST(ParserCombinators, RepetitionNamesTheRealCause) {
    const auto twoMore = repeat<2>(sequence(Keyword(","), real));
    const auto run = [&](std::string_view text) {
        TextCursor in(bytesOf(text));
        return twoMore(in);
    };
    const auto values = run(" , 2 ,\t3");
    EXPECT_EQ(std::get<1>(values[0]), 2.0);
    EXPECT_EQ(std::get<1>(values[1]), 3.0);
    EXPECT_THROW_MSG(run(",2 Normal"), BrushSyntaxError, "Could not repeat parser the last 1 times!");
    EXPECT_THROW_MSG(run("x"), BrushSyntaxError, "Could not repeat parser the last 2 times!");
    EXPECT_THROW_MSG(run(",2,1.2.3"), BrushSyntaxError, "The string 1.2.3 is not a real number");
    EXPECT_THROW_MSG(run(",2,"), BrushSyntaxError, "Unexpected end of file");
    EXPECT_THROW_MSG(run(",2"), BrushSyntaxError, "Unexpected end of file");
}

TEST(ParserCombinators, TokensAreWordsNumbersOrSingleBytes) {
    TextCursor in(bytesOf("  Pan_U'2 +1.5e3,#\n"));
    EXPECT_EQ(token(in), "Pan_U'2");
    EXPECT_EQ(token(in), "+1.5e3");
    EXPECT_EQ(token(in), ",");
    EXPECT_EQ(token(in), "#");
    EXPECT_THROW_MSG(token(in), BrushSyntaxError, "Unexpected end of file");
    EXPECT_THROW_MSG(unexpected("\x7f"), BrushSyntaxError, "\\x7F unexpected");
}

}  // namespace
}  // namespace morv
