#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device/modules/recorded_device.h"

namespace {

class Settings : public SoftTokenTest {
protected:
    void SetUp() override {
        SoftTokenTest::SetUp();
        Tool({"init"});
    }
    // Lines of "show" such as "charset: GBK".
    bool Shows(const std::string& line) { return Show().find(line + "\n") != std::string::npos; }

    RecordedDevice d;
};

TEST_F(Settings, ChangePinMapsTheHoldersAnswer) {
    EXPECT_EQ(d->ChangePin(), 0);
    Tool({"queue", "cancel@changepin"});
    EXPECT_EQ(d->ChangePin(), -100);
    Tool({"queue", "timeout@changepin"});
    EXPECT_EQ(d->ChangePin(), -105);
    Tool({"queue", "rv:0x30@changepin"});
    EXPECT_EQ(d->ChangePin(), -103);
    Tool({"queue", "rv:0x5@changepin"});
    EXPECT_EQ(d->ChangePin(), -300);
}

TEST_F(Settings, ChangePinReportsTheTriesLeft) {
    Tool({"queue", "wrong-pin@changepin"});
    EXPECT_EQ(d->ChangePin(), -205);
    Tool({"set-tries", "--tries", "1"});
    Tool({"queue", "wrong-pin@changepin"});
    EXPECT_EQ(d->ChangePin(), -221);  // the last try went
    EXPECT_EQ(d->ChangePin(), -221);  // and a locked PIN stays locked
    EXPECT_TRUE(Shows("tries: 0"));
}

TEST_F(Settings, CharsetFlagFollowsOnlyTheExactNames) {
    const auto set = [this](const char* name) { return d->SetCharset(name, static_cast<int>(std::strlen(name))); };
    EXPECT_EQ(set("GB18030"), 0);
    EXPECT_EQ(d.module->GetCharsetFlag(), 0);
    EXPECT_EQ(set("utf-8"), 0);  // the key takes it, the flag stays
    EXPECT_EQ(d.module->GetCharsetFlag(), 0);
    EXPECT_EQ(set("UTF-8"), 0);
    EXPECT_EQ(d.module->GetCharsetFlag(), 1);
    EXPECT_EQ(set("GBK"), 0);
    EXPECT_EQ(d.module->GetCharsetFlag(), 0);
    EXPECT_EQ(set("Big5"), -352);
    EXPECT_EQ(d.module->GetCharsetFlag(), 0);
    EXPECT_TRUE(Shows("charset: GBK"));
    EXPECT_EQ(d->SetCharset("UTF-8 and more", 5), 0);  // only the given length counts
    EXPECT_EQ(d.module->GetCharsetFlag(), 1);
}

TEST_F(Settings, LanguageAndWarningRefusalsHaveTheirOwnCodes) {
    EXPECT_EQ(d->SetLanguage("en-US", 5), 0);
    EXPECT_TRUE(Shows("language: en-US"));
    EXPECT_EQ(d->SetLanguage("", 0), -352);
    EXPECT_EQ(d->SetLanguage("fr-FR", 5), -352);
    EXPECT_EQ(d->SetWarningMsg("Check the amount", 16), 0);
    EXPECT_TRUE(Shows("warning: Check the amount"));
    const std::string tooLong(257, 'w');
    EXPECT_EQ(d->SetWarningMsg(tooLong.c_str(), static_cast<int>(tooLong.size())), -304);
    EXPECT_EQ(d->SetWarningMsg(nullptr, 4), -304);
    EXPECT_EQ(d->SetLanguage("en-US", -1), -304);
}

TEST_F(Settings, NothingIsChangedUnlessExactlyOneTokenIsThere) {
    Tool({"init", "--token", "2"});
    EXPECT_EQ(d->SetLanguage("en-US", 5), -104);
    EXPECT_EQ(d->ChangePin(), -104);
    EXPECT_EQ(d->CustInitCard(), -104);
    EXPECT_TRUE(Shows("language: -"));
    EXPECT_TRUE(Shows("initialised: no"));
    Tool({"unplug", "--token", "2"});
    Tool({"set-slot", "--slot", "0"});
    EXPECT_EQ(d->SetCharset("GBK", 3), -103);
    EXPECT_EQ(d.module->GetCharsetFlag(), 1);
    Tool({"unplug"});
    char text[261] = {};
    EXPECT_EQ(d->GetLanguageList(text, 260), -102);
    EXPECT_EQ(d.waits.size(), 5u);
}

TEST_F(Settings, ListsAreCopiedWithinBothBuffers) {
    char text[300];
    std::memset(text, 0, sizeof text);
    EXPECT_EQ(d->GetLanguageList(text, 260), 0);
    EXPECT_STREQ(text, "zh-CN||en-US");
    std::memset(text, 0, sizeof text);
    EXPECT_EQ(d->GetCharsetList(text, 260), 0);
    EXPECT_STREQ(text, "UTF-8||GBK||GB18030");
    EXPECT_EQ(d->GetLanguageList(text, 12), -353);  // no room for the terminating zero
    EXPECT_EQ(d->GetLanguageList(text, 13), 0);

    // A module claiming more than it wrote never makes us copy past 260 bytes.
    Tool({"set", "--reported-list-length", "5000"});
    std::memset(text, 0x55, sizeof text);
    EXPECT_EQ(d->GetLanguageList(text, 260), 0);
    EXPECT_STREQ(text, "zh-CN||en-US");
    for (size_t i = 260; i < sizeof text; ++i) ASSERT_EQ(text[i], 0x55) << i;
    std::memset(text, 0x55, sizeof text);
    EXPECT_EQ(d->GetLanguageList(text, 20), 0);
    for (size_t i = 20; i < sizeof text; ++i) ASSERT_EQ(text[i], 0x55) << i;
}

TEST_F(Settings, ListsThatFillTheBufferAreTooLong) {
    Tool({"set", "--language-list", std::string(259, 'l')});
    char text[261] = {};
    EXPECT_EQ(d->GetLanguageList(text, 260), 0);
    EXPECT_EQ(std::strlen(text), 259u);
    EXPECT_EQ(d->GetLanguageList(text, 259), -353);
    // A text that fills all 260 bytes of the key's field is too long for the caller.
    Tool({"set", "--language-list", std::string(260, 'l')});
    EXPECT_EQ(d->GetLanguageList(text, 260), -353);
    // One the key cannot fit at all is a failing call.
    Tool({"set", "--language-list", std::string(261, 'l')});
    EXPECT_EQ(d->GetLanguageList(text, 260), -103);
}

TEST_F(Settings, CustomerInitialisation) {
    Tool({"queue", "cancel@initcard"});
    EXPECT_EQ(d->CustInitCard(), -100);
    Tool({"queue", "timeout@initcard"});
    EXPECT_EQ(d->CustInitCard(), -105);
    Tool({"queue", "rv:0x30@initcard"});
    EXPECT_EQ(d->CustInitCard(), -301);
    EXPECT_TRUE(Shows("initialised: no"));
    EXPECT_EQ(d->CustInitCard(), 0);
    EXPECT_TRUE(Shows("initialised: yes"));
}

TEST_F(Settings, PublicKeyCountStopsAtTen) {
    int count = -1;
    EXPECT_EQ(d->GetPublicKeyNum(&count), 0);
    EXPECT_EQ(count, 0);
    for (int i = 0; i < 6; ++i) Tool({"add-key", "--type", "sm2", "--no-cert"});
    EXPECT_EQ(d->GetPublicKeyNum(&count), 0);
    EXPECT_EQ(count, 6);
    for (int i = 0; i < 6; ++i) Tool({"add-key", "--type", "rsa1024", "--no-cert"});
    EXPECT_EQ(d->GetPublicKeyNum(&count), 0);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(d->GetPublicKeyNum(nullptr), -304);
}

TEST_F(Settings, MediaIdIsTheSerialWithoutPrefixAndBlanks) {
    char id[40] = {};
    EXPECT_EQ(d->GetTokenSN(id, 32), 0);
    EXPECT_STREQ(id, "6789AB");
    Tool({"set", "--serial", "ABCDEF0123456789"});
    std::memset(id, 0, sizeof id);
    EXPECT_EQ(d->GetTokenSN(id, 32), 0);
    EXPECT_STREQ(id, "0123456789");
    Tool({"set", "--serial", "SHORT"});
    std::memset(id, 0, sizeof id);
    EXPECT_EQ(d->GetTokenSN(id, 32), 0);
    EXPECT_STREQ(id, "");
    Tool({"set", "--token-info", "fail"});
    EXPECT_EQ(d->GetTokenSN(id, 32), -102);
}

TEST_F(Settings, VersionsAndClientInformation) {
    char version[261] = {};
    EXPECT_EQ(d->GetCSPVersion(version, 260), 0);
    EXPECT_STREQ(version, "1.0.0.7");
    EXPECT_EQ(d->GetCSPVersion(version, 3), -353);

    Tool({"unplug"});
    std::memset(version, 0, sizeof version);
    EXPECT_EQ(d->GetUserOCXVersion(version, 260), 0);
    EXPECT_STREQ(version, "1.0.21.1015");
    EXPECT_EQ(d->GetCSPVersion(version, 260), -102);

    // Client settings need the module only, not a token.
    EXPECT_EQ(d->setIPType(3), 0);
    char info[1025] = {};
    int length = 1024;
    EXPECT_EQ(d->getClientInfo(info, &length), 0);
    EXPECT_STREQ(info, "softtoken;iptype=3");
    EXPECT_EQ(d.waits.size(), 5u);  // only the version query looked for the token
}

TEST(SettingsModuleFaults, EmptyEntriesFailAndFullListsStayInBounds) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    RecordedDevice d(MODULE_SPARSE_AUX);
    SelectedToken token;
    ASSERT_EQ(d.module->CheckToken(token), 0);
    EXPECT_FALSE(d.module->GetExtInfoFlag());
    EXPECT_EQ(d->ChangePin(), -300);
    EXPECT_EQ(d->SetLanguage("en-US", 5), -103);
    EXPECT_EQ(d->SetCharset("GBK", 3), -103);
    EXPECT_EQ(d.module->GetCharsetFlag(), 1);
    char text[300] = {};
    EXPECT_EQ(d->GetCharsetList(text, 260), -103);
    EXPECT_EQ(d->CustInitCard(), -301);
    EXPECT_EQ(d->GetCSPVersion(text, 260), -302);
    int length = 1024;
    EXPECT_EQ(d->getClientInfo(text, &length), -300);
    EXPECT_EQ(d->setIPType(1), -300);
    EXPECT_EQ(token.MapLoginResult(CKR_PIN_INCORRECT, -352), -221);
    // Its language list fills every byte and claims 100000.
    EXPECT_EQ(d->GetLanguageList(text, 260), -353);
    std::memset(text, 0x55, sizeof text);
    EXPECT_EQ(d->GetLanguageList(text, sizeof text), 0);
    EXPECT_EQ(std::string(text, 260), std::string(260, 'x'));
    for (size_t i = 260; i < sizeof text; ++i) ASSERT_EQ(text[i], 0x55) << i;
}

}  // namespace
