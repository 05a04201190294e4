#include "base/NumberText.hpp"

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace morv
