// Every input check of the facade answers before the device layer is asked.
// The module path points nowhere, so a device call would fail with another
// code: -304 or -352 proves the check ran first.
#include <gtest/gtest.h>

#include <string>

#include "facade/PKCSHandle.h"
#include "facade/facade_environment.h"

namespace {

class FacadeChecks : public ::testing::Test {
protected:
    // Runs an operation and checks the code it returns.
    template <typename Operation>
    void ExpectRefused(long expected, Operation operation) {
        EXPECT_EQ(operation(), expected);
    }

    // Reached the device: neither refused by a check nor successful.
    static void ExpectDeviceCode(long code) {
        EXPECT_NE(code, 0);
        EXPECT_NE(code, -304);
        EXPECT_NE(code, -352);
    }

    FacadeUnderTest tested;
    PKCS_Handle* facade = &tested.facade;
    ResultVector result;
    int status = 77;
};

TEST(SetVec, AddsOneZeroByteAfterTheData) {
    ResultVector v = {9, 9, 9, 9, 9, 9};
    setVec(v, "abc", 3);
    EXPECT_EQ(v, (ResultVector{'a', 'b', 'c', 0}));
    setVec(v, nullptr, 0);
    EXPECT_EQ(v, ResultVector{0});
}

TEST_F(FacadeChecks, SigningNeedsDnMessageAndKeyMessage) {
    ExpectRefused(-304, [&] { return facade->GMUsbKeySign(nullptr, "SM3", "x", "k", "", result); });
    ExpectRefused(-304, [&] { return facade->GMUsbKeySign("", "SM3", "x", "k", "", result); });
    ExpectRefused(-304, [&] { return facade->GMUsbKeySign("CN=a", "SM3", "", "k", "", result); });
    ExpectRefused(-304, [&] { return facade->GMUsbKeySign("CN=a", "SM3", "x", nullptr, "", result); });
    ExpectRefused(-304, [&] { return facade->GMUsbKeySignFile("CN=a", "", "x", "", "f", "p", result); });
    ExpectRefused(-304, [&] { return facade->GMUsbKeySignFile(nullptr, "", "x", "k", "f", "p", result); });
    EXPECT_TRUE(result.empty()) << "a refusal fills no result";
    std::string text = "untouched";
    ExpectRefused(-304, [&] { return facade->GMUsbKeySign("CN=a", "SM3", "x", "", "", text); });
    ExpectRefused(-304, [&] { return facade->GMUsbKeySign("O=Bank", "", "x", "k", "", text); });
    ExpectDeviceCode(facade->GMUsbKeySign("CN=a", nullptr, "x", "k", nullptr, text));
    EXPECT_EQ(text, "untouched") << "a failure leaves the text alone";
}

TEST_F(FacadeChecks, SignerDnWithoutCommonNameIsRefusedUnlessItIsAKeyId) {
    for (const char* dn : {"O=Bank", "C=CN,O=Bank", "a,b", "CX=1"}) {
        ExpectRefused(-304, [&] { return facade->GMUsbKeySign(dn, "", "x", "k", "", result); });
        ExpectRefused(-304, [&] { return facade->GMUsbKeySignFile(dn, "", "x", "k", "", "", result); });
    }
    for (const char* dn : {"cn=Alice,o=Bank", "O=Bank,CN=Bob", "3A5F", "Cn=x"}) {
        ExpectDeviceCode(facade->GMUsbKeySign(dn, nullptr, "x", "k", nullptr, result));
        ExpectDeviceCode(facade->GMUsbKeySignFile(dn, nullptr, "x", "k", nullptr, nullptr, result));
    }
}

TEST_F(FacadeChecks, RequestAndKeyQueriesCheckTheirTexts) {
    ExpectRefused(-304, [&] { return facade->GMCreatePKCS10(nullptr, result); });
    ExpectRefused(-352, [&] { return facade->GMCreatePKCS10("", result); });
    ExpectRefused(-352, [&] { return facade->GMGetPublicKey("", result); });
    ExpectRefused(-352, [&] { return facade->GMGetPublicKey(nullptr, result); });
    ExpectRefused(-304, [&] { return facade->GMGetPublicKeyC("", "CN=a", "r", result); });
    ExpectRefused(-304, [&] { return facade->GMGetPublicKeyC("SM2", nullptr, "r", result); });
    ExpectRefused(-304, [&] { return facade->GMGetPublicKeyC("SM2", "CN=a", "", result); });
    ExpectDeviceCode(facade->GMCreatePKCS10("DN=CN=a", result));
    ExpectDeviceCode(facade->GMGetPublicKey("allpubkey", result));
    ExpectDeviceCode(facade->GMGetPublicKeyC("01", "02", "AAAAAAAAAAAAAAAAAAAA", result));
}

TEST_F(FacadeChecks, CertificateOperationsCheckTextsAndStatus) {
    ExpectRefused(-304, [&] { return facade->GMWritePKCS7("", &status); });
    ExpectRefused(-304, [&] { return facade->GMWritePKCS7(nullptr, &status); });
    ExpectRefused(-304, [&] { return facade->GMWritePKCS7("MII", nullptr); });
    ExpectRefused(-304, [&] { return facade->GMDelTempKey(nullptr, nullptr, &status); });
    ExpectRefused(-304, [&] { return facade->GMDelTempKey("CN=a", "11", nullptr); });
    ExpectRefused(-352, [&] { return facade->GMDelTempKey("", "", &status); });
    ExpectRefused(-352, [&] { return facade->GMDelTempKey(nullptr, "", &status); });
    EXPECT_EQ(status, 77) << "status is set only on success";
    ExpectDeviceCode(facade->GMWritePKCS7("MII", &status));
    ExpectDeviceCode(facade->GMDelTempKey("", "11", &status));
    ExpectDeviceCode(facade->GMDelTempKey("CN=a", nullptr, &status));
    EXPECT_EQ(status, 77);
}

TEST_F(FacadeChecks, SettingsCheckTextLengthAndStatus) {
    const std::string at260(260, 'a');
    const std::string over260(261, 'a');
    ExpectRefused(-304, [&] { return facade->SetWarningMsg(nullptr, &status); });
    ExpectRefused(-304, [&] { return facade->SetWarningMsg("w", nullptr); });
    ExpectRefused(-352, [&] { return facade->SetWarningMsg("", &status); });
    ExpectRefused(-304, [&] { return facade->SetLanguage(nullptr, &status); });
    ExpectRefused(-304, [&] { return facade->SetLanguage("en", nullptr); });
    ExpectRefused(-352, [&] { return facade->SetLanguage(over260.c_str(), &status); });
    ExpectRefused(-304, [&] { return facade->SetCharset(nullptr, &status); });
    ExpectRefused(-304, [&] { return facade->SetCharset("GBK", nullptr); });
    ExpectRefused(-352, [&] { return facade->SetCharset(over260.c_str(), &status); });
    ExpectRefused(-304, [&] { return facade->ChangePin(nullptr); });
    ExpectRefused(-304, [&] { return facade->CustInitCard(nullptr); });
    ExpectRefused(-304, [&] { return facade->GetPublicKeyNum(nullptr); });
    // Empty language and charset texts and 260-byte texts are allowed.
    ExpectDeviceCode(facade->SetLanguage("", &status));
    ExpectDeviceCode(facade->SetCharset("", &status));
    ExpectDeviceCode(facade->SetLanguage(at260.c_str(), &status));
    ExpectDeviceCode(facade->SetCharset(at260.c_str(), &status));
    ExpectDeviceCode(facade->SetWarningMsg("w", &status));
}

TEST_F(FacadeChecks, DeviceFailuresPassThroughAndFillNothing) {
    int count = 5;
    ExpectDeviceCode(facade->GetPublicKeyNum(&count));
    ExpectDeviceCode(facade->ChangePin(&status));
    ExpectDeviceCode(facade->CustInitCard(&status));
    ExpectDeviceCode(facade->GMGetCertDN(result));
    ExpectDeviceCode(facade->GetMediaID(result));
    ExpectDeviceCode(facade->GetLanguageList(result));
    ExpectDeviceCode(facade->getClientInfo(result));
    ExpectDeviceCode(facade->setIPType(3));
    EXPECT_TRUE(result.empty());
    EXPECT_EQ(status, 77);
}

TEST_F(FacadeChecks, VersionNeedsNoToken) {
    EXPECT_EQ(facade->GetVersion(result), 0);
    EXPECT_EQ(std::string(result.begin(), result.end()), std::string("1.0.21.1015", 12));
}

}  // namespace
