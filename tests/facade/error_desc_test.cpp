#include <gtest/gtest.h>

#include <string>

#include "facade/PKCSHandle.h"
#include "facade/error_codes.h"
#include "facade/facade_environment.h"

namespace {

std::string Describe(long code, long* returned = nullptr) {
    FacadeUnderTest tested;
    ResultVector result;
    const long rc = tested.facade.GetLastErrorDesc(code, result);
    if (returned) *returned = rc;
    EXPECT_FALSE(result.empty());
    EXPECT_EQ(result.back(), 0);
    return std::string(result.begin(), result.end() - 1);
}

TEST(ErrorDescription, WrongPinTextsCarryTheTriesLeft) {
    EXPECT_EQ(Describe(-215), "Error:Password is incorrect. 15 times left for retry.");
    EXPECT_EQ(Describe(-201), "Error:Password is incorrect. 1 times left for retry.");
    EXPECT_EQ(Describe(-200), "Error:Password is incorrect. 0 times left for retry.");
    EXPECT_EQ(Describe(-221), "Error:UKey has been locked.");
}

TEST(ErrorDescription, KnownCodesGiveTheirText) {
    long returned = 1;
    EXPECT_EQ(Describe(0, &returned), "Success.");
    EXPECT_EQ(returned, 0);
    EXPECT_EQ(Describe(-304), "Error:Input Param Format or Length error .");
    EXPECT_EQ(Describe(-352), "Error:Input value is incorrect.");
    EXPECT_EQ(Describe(-101), "Error:Device driver/PKCS#11/Library files is not installed correctly.");
}

TEST(ErrorDescription, UnknownCodesAreOther) {
    for (long code : {-216L, -300L, -353L, -401L, 512L, 7L}) {
        long returned = 1;
        EXPECT_EQ(Describe(code, &returned), "Error:Other") << code;
        EXPECT_EQ(returned, 0);
    }
}

TEST(ErrorDescription, EveryProgramCodeInTheRangeHasItsEntry) {
    const long described[] = {0,    -100, -101, -102, -103, -104, -105, -221, -222, -301,
                              -302, -303, -304, -350, -351, -352};
    for (long code : described) EXPECT_NE(FindErrorDescription(code), nullptr) << code;
    for (long code = -200; code >= -215; --code) EXPECT_NE(FindErrorDescription(code), nullptr) << code;
    for (long code : {-106L, -216L, -220L, -223L, -300L, -305L, -349L, -353L, 1L}) {
        EXPECT_EQ(FindErrorDescription(code), nullptr) << code;
    }
}

}  // namespace
