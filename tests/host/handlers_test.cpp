#include <gtest/gtest.h>

#include <climits>

#include "host/handlers.h"

namespace {

TEST(IpTypeFromText, FollowsAtoi) {
    EXPECT_EQ(IpTypeFromText("12abc"), 12);
    EXPECT_EQ(IpTypeFromText("abc"), 0);
    EXPECT_EQ(IpTypeFromText(""), 0);
    EXPECT_EQ(IpTypeFromText("  -7"), -7);
    EXPECT_EQ(IpTypeFromText("+3x"), 3);
    EXPECT_EQ(IpTypeFromText("0x10"), 0);
    EXPECT_EQ(IpTypeFromText("1.9"), 1);
    EXPECT_EQ(IpTypeFromText("- 5"), 0);
}

TEST(IpTypeFromText, SaturatesInsteadOfOverflowing) {
    EXPECT_EQ(IpTypeFromText("2147483647"), INT_MAX);
    EXPECT_EQ(IpTypeFromText("2147483648"), INT_MAX);
    EXPECT_EQ(IpTypeFromText("99999999999999999999999"), INT_MAX);
    EXPECT_EQ(IpTypeFromText("-99999999999999999999999"), INT_MIN);
}

}  // namespace
