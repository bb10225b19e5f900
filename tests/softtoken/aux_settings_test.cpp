// Auxiliary entries for settings and information.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "token_test_support.h"

namespace {

class AuxSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
        module = std::make_unique<LoadedModule>();
        ASSERT_EQ(module->p11()->C_Initialize(nullptr), CKR_OK);
    }

    std::string Shown(const std::string& name) {
        std::string shown = dir.Tool({"show"}).out;
        size_t at = shown.find(name + ": ");
        if (at == std::string::npos) return "";
        size_t start = at + name.size() + 2;
        return shown.substr(start, shown.find('\n', start) - start);
    }

    CK_RV SetParam(CK_ULONG type, const std::string& value) {
        auto set = module->Aux<E_SetTokenParam_t>(AUX_SET_TOKEN_PARAM);
        return set(1, type, reinterpret_cast<const unsigned char*>(value.data()), value.size());
    }

    SoftTokenDir dir;
    std::unique_ptr<LoadedModule> module;
};

TEST_F(AuxSettingsTest, PinInfoReportsTriesInByteThree) {
    ASSERT_EQ(dir.Tool({"set-tries", "--tries", "2"}).exitCode, 0);
    auto getPinInfo = module->Aux<E_GetPinInfo_t>(AUX_GET_PIN_INFO);
    unsigned char info[12];
    std::memset(info, 0x55, sizeof info);
    ASSERT_EQ(getPinInfo(1, info), CKR_OK);
    unsigned char expected[12] = {0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(info, expected, sizeof info), 0);
    EXPECT_EQ(getPinInfo(1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(getPinInfo(3, info), CKR_SLOT_ID_INVALID);
}

TEST_F(AuxSettingsTest, CharsetAndLanguageMustBeListItemsIgnoringCase) {
    EXPECT_EQ(SetParam(TOKEN_PARAM_CHARSET, "utf-8"), CKR_OK);
    EXPECT_EQ(Shown("charset"), "utf-8");
    EXPECT_EQ(SetParam(TOKEN_PARAM_CHARSET, "GB18030"), CKR_OK);
    EXPECT_EQ(SetParam(TOKEN_PARAM_CHARSET, "UTF8"), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(SetParam(TOKEN_PARAM_CHARSET, "GBK||GB18030"), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(SetParam(TOKEN_PARAM_CHARSET, ""), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Shown("charset"), "GB18030");

    EXPECT_EQ(SetParam(TOKEN_PARAM_LANGUAGE, "EN-us"), CKR_OK);
    EXPECT_EQ(SetParam(TOKEN_PARAM_LANGUAGE, ""), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(SetParam(TOKEN_PARAM_LANGUAGE, "fr-FR"), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Shown("language"), "EN-us");

    ASSERT_EQ(dir.Tool({"set", "--language-list", "fr-FR"}).exitCode, 0);
    EXPECT_EQ(SetParam(TOKEN_PARAM_LANGUAGE, "fr-fr"), CKR_OK);
}

TEST_F(AuxSettingsTest, WarningTextTakesOneTo256Bytes) {
    EXPECT_EQ(SetParam(TOKEN_PARAM_WARNING, std::string(256, 'w')), CKR_OK);
    EXPECT_EQ(SetParam(TOKEN_PARAM_WARNING, std::string(257, 'w')), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(SetParam(TOKEN_PARAM_WARNING, std::string(100000, 'w')), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(SetParam(TOKEN_PARAM_WARNING, ""), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(SetParam(TOKEN_PARAM_WARNING, "Careful"), CKR_OK);
    EXPECT_EQ(Shown("warning"), "Careful");
    EXPECT_EQ(SetParam(3, "x"), CKR_ARGUMENTS_BAD);
    auto set = module->Aux<E_SetTokenParam_t>(AUX_SET_TOKEN_PARAM);
    EXPECT_EQ(set(1, TOKEN_PARAM_WARNING, nullptr, 4), CKR_ARGUMENTS_BAD);
}

TEST_F(AuxSettingsTest, ListTextsAreCopiedWithTheirZeroWhenTheyFit) {
    auto languages = module->Aux<E_GetLanguageList_t>(AUX_GET_LANGUAGE_LIST);
    auto charsets = module->Aux<E_GetCharsetList_t>(AUX_GET_CHARSET_LIST);
    char buffer[400];
    std::memset(buffer, 'z', sizeof buffer);
    CK_ULONG length = 11;  // too small for the text
    EXPECT_EQ(languages(1, buffer, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(buffer[0], 'z');
    length = 12;  // exactly the text: copied without its zero
    ASSERT_EQ(languages(1, buffer, &length), CKR_OK);
    EXPECT_EQ(std::string(buffer, 13), "zh-CN||en-USz");
    length = 13;
    ASSERT_EQ(languages(1, buffer, &length), CKR_OK);
    EXPECT_STREQ(buffer, "zh-CN||en-US");
    EXPECT_EQ(length, 12u);
    length = 260;
    ASSERT_EQ(charsets(1, buffer, &length), CKR_OK);
    EXPECT_STREQ(buffer, "UTF-8||GBK||GB18030");
    EXPECT_EQ(languages(1, buffer, nullptr), CKR_ARGUMENTS_BAD);

    std::string longList(300, 'L');
    ASSERT_EQ(dir.Tool({"set", "--language-list", longList}).exitCode, 0);
    length = 260;
    EXPECT_EQ(languages(1, buffer, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 300u);
    length = sizeof buffer;
    ASSERT_EQ(languages(1, buffer, &length), CKR_OK);
    EXPECT_EQ(std::string(buffer), longList);
}

TEST_F(AuxSettingsTest, ReportedLengthCanExceedWhatWasWritten) {
    ASSERT_EQ(dir.Tool({"set", "--reported-list-length", "259"}).exitCode, 0);
    auto charsets = module->Aux<E_GetCharsetList_t>(AUX_GET_CHARSET_LIST);
    char buffer[261];
    std::memset(buffer, 'z', sizeof buffer);
    CK_ULONG length = 260;
    ASSERT_EQ(charsets(1, buffer, &length), CKR_OK);
    EXPECT_EQ(length, 259u);
    EXPECT_STREQ(buffer, "UTF-8||GBK||GB18030");
    EXPECT_EQ(buffer[20], 'z');  // nothing written past the zero
    ASSERT_EQ(dir.Tool({"set", "--reported-list-length", "off"}).exitCode, 0);
    length = 260;
    ASSERT_EQ(charsets(1, buffer, &length), CKR_OK);
    EXPECT_EQ(length, 19u);
}

TEST_F(AuxSettingsTest, ExtendedInfoFollowsItsSwitch) {
    auto extInfo = module->Aux<E_GetTokenExtInfo_t>(AUX_GET_TOKEN_EXT_INFO);
    unsigned char info[300];
    std::memset(info, 0x77, sizeof info);
    CK_ULONG length = 260;
    ASSERT_EQ(extInfo(1, info, &length), CKR_OK);
    EXPECT_EQ(length, 260u);
    EXPECT_EQ(std::memcmp(info, "STK1", 4), 0);
    EXPECT_EQ(Bytes(info + 4, info + 22), Bytes(18, 0));
    EXPECT_EQ(std::memcmp(info + 22, "01", 2), 0);
    EXPECT_EQ(Bytes(info + 24, info + 260), Bytes(236, 0));
    EXPECT_EQ(info[260], 0x77);

    ASSERT_EQ(dir.Tool({"set", "--admin-key-id", "ADMIN-0001"}).exitCode, 0);
    ASSERT_EQ(extInfo(1, info, &length), CKR_OK);
    EXPECT_EQ(std::memcmp(info + 4, "ADMIN-0001\0\0", 12), 0);
    length = 259;
    EXPECT_EQ(extInfo(1, info, &length), CKR_BUFFER_TOO_SMALL);

    ASSERT_EQ(dir.Tool({"set", "--ext-info", "off"}).exitCode, 0);
    length = 260;
    EXPECT_EQ(extInfo(1, info, &length), CKR_FUNCTION_NOT_SUPPORTED);
}

TEST_F(AuxSettingsTest, ModuleVersionRandomAndTemporaryKey) {
    char version[100];
    std::memset(version, 'x', sizeof version);
    ASSERT_EQ(module->Aux<E_GetModuleVersion_t>(AUX_GET_MODULE_VERSION)(version), CKR_OK);
    EXPECT_STREQ(version, "1.0.0.7");

    auto random = module->Aux<E_GetRandom_t>(AUX_GET_RANDOM);
    unsigned char a[16] = {0}, b[16] = {0};
    ASSERT_EQ(random(1, a, 15), CKR_OK);
    ASSERT_EQ(random(1, b, 15), CKR_OK);
    EXPECT_NE(Bytes(a, a + 15), Bytes(b, b + 15));
    EXPECT_EQ(a[15], 0);
    EXPECT_EQ(random(1, nullptr, 15), CKR_ARGUMENTS_BAD);

    auto tempKey = module->Aux<E_GetTempKey_t>(AUX_GET_TEMP_KEY);
    unsigned char key[32];
    ASSERT_EQ(tempKey(1, key, 32), CKR_OK);
    EXPECT_EQ(Bytes(key, key + 32), HashWith("SHA256", ToBytes("0123456789AB    temp-key")));
    EXPECT_EQ(tempKey(1, key, 31), CKR_BUFFER_TOO_SMALL);
    ASSERT_EQ(dir.Tool({"set", "--serial", "OTHER"}).exitCode, 0);
    ASSERT_EQ(tempKey(1, key, 32), CKR_OK);
    EXPECT_EQ(Bytes(key, key + 32), HashWith("SHA256", ToBytes("OTHER           temp-key")));
}

TEST(AuxClientInfo, WorksWithoutInitialisationAndKeepsTheIpType) {
    SoftTokenDir dir;
    LoadedModule module;  // never initialised: the host calls these right after loading
    auto setIpType = module.Aux<E_SetIPType_t>(AUX_SET_IP_TYPE);
    auto clientInfo = module.Aux<E_GetClientInfo_t>(AUX_GET_CLIENT_INFO);
    char text[1025] = {0};
    int length = 1024;
    ASSERT_EQ(clientInfo(text, &length), CKR_OK);
    EXPECT_STREQ(text, "softtoken;iptype=0");
    EXPECT_EQ(length, 18);
    ASSERT_EQ(setIpType(3), CKR_OK);
    length = 1024;
    ASSERT_EQ(clientInfo(text, &length), CKR_OK);
    EXPECT_STREQ(text, "softtoken;iptype=3");
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    EXPECT_NE(dir.Tool({"show"}).out.find("iptype: 3\n"), std::string::npos);
    length = 18;
    EXPECT_EQ(clientInfo(text, &length), CKR_BUFFER_TOO_SMALL);
    length = -1;
    EXPECT_EQ(clientInfo(text, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(clientInfo(nullptr, &length), CKR_ARGUMENTS_BAD);
}

}  // namespace
