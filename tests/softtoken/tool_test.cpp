// softtoken-tool: its commands as other tests and the README rely on them.
#include <gtest/gtest.h>

#include <sstream>

#include "token_test_support.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(SoftTokenTool, DemoCreatesTwoCertifiedPairsOnceOnly) {
    SoftTokenDir dir;
    ToolResult demo = dir.Tool({"demo"});
    ASSERT_EQ(demo.exitCode, 0);
    std::vector<std::string> pairIds = Lines(demo.out);
    ASSERT_EQ(pairIds.size(), 2u);
    std::vector<std::string> listed = Lines(dir.Tool({"list"}).out);
    ASSERT_EQ(listed.size(), 6u);
    EXPECT_EQ(listed[0], "16777217 public-key rsa 0 02 " + pairIds[0] + " -");
    EXPECT_EQ(listed[1], "16777218 private-key rsa 0 - " + pairIds[0] + " -");
    EXPECT_EQ(listed[2], "16777219 certificate - - - " + pairIds[0] + " CN=Demo RSA User,O=Demo Bank,C=CN");
    EXPECT_EQ(listed[3], "16777220 public-key sm2 0 01 " + pairIds[1] + " -");
    EXPECT_EQ(listed[5], "16777222 certificate - - - " + pairIds[1] + " CN=Demo SM2 User,O=Demo Bank,C=CN");

    ToolResult again = dir.Tool({"demo"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(Lines(dir.Tool({"list"}).out).size(), 6u);
}

TEST(SoftTokenTool, ErrorsExitWithOneAndWriteNothingOnStdout) {
    SoftTokenDir dir;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"list"},                                   // no token yet
             {"frobnicate"},                             // unknown command
             {"init", "--token", "9"},                   // tokens 1 to 8
             {"init", "--tries", "7"},                   // at most 6
             {"init", "--slot"},                         // option without value
         }) {
        ToolResult result = dir.Tool(args);
        EXPECT_EQ(result.exitCode, 1) << args[0];
        EXPECT_EQ(result.out, "") << args[0];
    }
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    EXPECT_EQ(dir.Tool({"set", "--text-format", "03"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"set", "--ext-info", "maybe"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"set", "--language-list", std::string(301, 'a')}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"set", "--admin-key-id", std::string(19, 'a')}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"add-key", "--type", "rsa4096"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"add-key", "--type", "sm2", "--index", "6"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"delete-object", "--handle", "12345"}).exitCode, 1);
}

TEST(SoftTokenTool, InitOptionsShowUpInShow) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init", "--token", "2", "--slot", "0", "--serial", "XYZ", "--tries", "3"}).exitCode, 0);
    ASSERT_EQ(dir.Tool({"unplug", "--token", "2"}).exitCode, 0);
    std::string shown = dir.Tool({"show", "--token", "2"}).out;
    EXPECT_NE(shown.find("plugged: no\n"), std::string::npos);
    EXPECT_NE(shown.find("slot: 0\n"), std::string::npos);
    EXPECT_NE(shown.find("serial: XYZ             \n"), std::string::npos);
    EXPECT_NE(shown.find("tries: 3\n"), std::string::npos);
    EXPECT_NE(shown.find("initialised: no\n"), std::string::npos);
}

TEST(SoftTokenTool, KeysTakeTheLowestFreeIndexAndGivenPairIds) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    ASSERT_EQ(dir.Tool({"add-key", "--type", "sm2", "--index", "0", "--no-cert"}).exitCode, 0);
    ToolResult second = dir.Tool({"add-key", "--type", "sm2", "--pair-id", "mine", "--format", "01"});
    ASSERT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, "mine\n");
    std::vector<std::string> listed = Lines(dir.Tool({"list"}).out);
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_NE(listed[2].find(" public-key sm2 1 01 mine -"), std::string::npos);
    EXPECT_NE(listed[4].find(" certificate - - - mine CN=Test SM2 User 1,O=Demo Bank,C=CN"), std::string::npos);
    EXPECT_EQ(dir.Tool({"add-key", "--type", "sm2", "--pair-id", "mine"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"add-key", "--type", "sm2", "--index", "1"}).exitCode, 1);
}

TEST(SoftTokenTool, CertificatesCanBeAddedRawExportedAndDeleted) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    std::string pairId = LastLine(dir.Tool({"add-key", "--type", "rsa1024"}).out);
    std::string certPath = dir.Path() + "/user.der";
    ASSERT_EQ(dir.Tool({"export", "--pair-id", pairId, "--what", "cert", "--out", certPath}).exitCode, 0);
    Bytes der = ReadFileBytes(certPath);
    ASSERT_FALSE(der.empty());
    EXPECT_EQ(der[0], 0x30);

    ASSERT_EQ(dir.Tool({"delete-cert", "--pair-id", pairId}).exitCode, 0);
    EXPECT_EQ(dir.Tool({"delete-cert", "--pair-id", pairId}).exitCode, 1);
    // Without --pair-id a certificate of a key on the token is linked to it.
    ASSERT_EQ(dir.Tool({"add-cert", "--file", certPath}).exitCode, 0);
    EXPECT_NE(dir.Tool({"list"}).out.find("certificate - - - " + pairId + " CN="), std::string::npos);

    std::string junkPath = dir.Path() + "/junk.bin";
    WriteFileBytes(junkPath, {0x30, 0x03, 0x01, 0x02});
    ToolResult junk = dir.Tool({"add-cert", "--file", junkPath, "--pair-id", "odd"});
    ASSERT_EQ(junk.exitCode, 0);
    EXPECT_NE(dir.Tool({"list"}).out.find(LastLine(junk.out) + " certificate - - - odd -"), std::string::npos);
    ASSERT_EQ(dir.Tool({"delete-object", "--handle", LastLine(junk.out)}).exitCode, 0);
    EXPECT_EQ(dir.Tool({"list"}).out.find(" odd "), std::string::npos);

    std::string keyPath = dir.Path() + "/public.pem";
    ASSERT_EQ(dir.Tool({"export", "--pair-id", pairId, "--what", "pubkey", "--out", keyPath}).exitCode, 0);
    Bytes pem = ReadFileBytes(keyPath);
    EXPECT_EQ(std::string(pem.begin(), pem.begin() + 26), "-----BEGIN PUBLIC KEY-----");
}

}  // namespace
