#include "base/NumberText.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace morv {
namespace {

TEST(NumberText, RealsInTwelveDigitGeneralFormWithTildeMinus) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "0.0"},
        {-0.0, "0.0"},
        {1.0, "1"},
        {40.0, "40"},
        {512.0, "512"},
        {-2.5, "~2.5"},
        {0.1, "0.1"},
        {1.0 / 3.0, "0.333333333333"},
        {123456789012345.0, "1.23456789012e+14"},
        {1e-5, "1e~05"},
        {-1e-7, "~1e~07"},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "~inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(realToText(c.value), c.text) << c.value;
}

TEST(NumberText, IntegersWithTildeMinus) {
    EXPECT_EQ(intToText(0), "0");
    EXPECT_EQ(intToText(-12), "~12");
    EXPECT_EQ(intToText(65280), "65280");
    std::string s = "n=";
    appendInt(s, -1);
    appendReal(s, 0.5);
    EXPECT_EQ(s, "n=~10.5");
}

// Against the C library's %.12g: floats widened, powers of ten and their neighbours, ties.
TEST(NumberText, RealsMatchTheCLibrarysTwelveDigitGeneralForm) {
    std::mt19937_64 random(12345);
    std::vector<double> values{999999999999.5, 0.1234567890125, 9.999999999995e-5};
    for (int i = 0; i < 400000; ++i) {
        const double v = std::uniform_real_distribution<double>(1, 10)(random) * std::pow(10.0, i % 26 - 8);
        values.insert(values.end(), {i % 2 ? v : -v, static_cast<float>(v), std::round(v * 1000) / 1000,
                                     std::nextafter(std::pow(10.0, i % 26 - 8), (i % 4) < 2 ? 0.0 : 1e300)});
    }
    char ours[maxRealText], theirs[64];
    for (double v : values) {
        if (v == 0.0) continue;  // "0.0", unlike the C library
        std::snprintf(theirs, sizeof theirs, "%.12g", v);
        ASSERT_EQ(std::string(ours, formatReal(v, ours, '-')), theirs) << v;
    }
}

}  // namespace
}  // namespace morv
