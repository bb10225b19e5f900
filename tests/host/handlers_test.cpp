#include <gtest/gtest.h>

#include <climits>

#include "host/handlers.h"
#include "host/message_loop.h"

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

TEST(CommandTable, NamesMapToTheirHandlersCaseSensitively) {
    EXPECT_EQ(FindCommandHandler("GMGetCertDN"), &GetCertDN);
    EXPECT_EQ(FindCommandHandler("GetPublicKeyNum"), &GetPublicKeyNumber);
    EXPECT_EQ(FindCommandHandler("NSChooseFile"), &ChooseFile);
    EXPECT_EQ(FindCommandHandler("GMGetPublicKey"), &GMGetPublicKey);
    EXPECT_EQ(FindCommandHandler("GMGetPublicKeyC"), &GMGetPublicKeyC);
    EXPECT_EQ(FindCommandHandler("getclientinfo"), nullptr);
    EXPECT_EQ(FindCommandHandler("GetMoreData"), nullptr);
    EXPECT_EQ(FindCommandHandler(""), nullptr);
    EXPECT_EQ(FindCommandHandler("GetVersion "), nullptr);
}

}  // namespace
