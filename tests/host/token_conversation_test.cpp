// The host binary with the software token behind it: settings and information
// commands as a browser sends them, one host process per test (the first
// token command of a process waits 3 s for the key, as with hardware).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <json/json.h>

#include "common/host_process.h"
#include "common/softtoken_fixture.h"

namespace {

class TokenConversation : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(token_.Tool({"demo"}).exitCode, 0); }

    void StartHost() {
        HostProcess::Options options;
        options.env["TOKEN_HOST_MODULE"] = SoftTokenDir::ModulePath();
        options.env["SOFTTOKEN_DIR"] = token_.Path();
        options.env["TOKEN_HOST_CHOOSER"] = "/nonexistent/chooser";
        host_ = std::make_unique<HostProcess>(options);
        ASSERT_TRUE(host_->Started());
    }

    // Sends one request and returns its reply's "text"; checks the envelope.
    Json::Value Ask(const std::string& command, const Json::Value& members = Json::objectValue) {
        Json::Value request = members;
        request["ZEKA"] = command;
        request["tabID"] = ++tabId_;
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        EXPECT_TRUE(host_->SendMessage(Json::writeString(writer, request)));
        const std::optional<std::string> body = host_->ReadFrame(std::chrono::seconds(30));
        if (!body) {
            ADD_FAILURE() << "no reply to " << command;
            return Json::Value();
        }
        Json::Value reply;
        std::string errors;
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        EXPECT_TRUE(reader->parse(body->data(), body->data() + body->size(), &reply, &errors));
        EXPECT_EQ(reply["cmd"].asString(), command);
        EXPECT_EQ(reply["tabID"].asInt(), tabId_);
        EXPECT_TRUE(reply["lastData"].asBool());
        return reply["text"];
    }

    // Ends the host and checks it exited cleanly and left no session open.
    void EndHost() {
        ASSERT_TRUE(host_->SendEnd());
        EXPECT_EQ(host_->ExitCode(), 0);
        ToolResult sessions = token_.Tool({"sessions"});
        EXPECT_EQ(sessions.exitCode, 0);
        EXPECT_EQ(sessions.out, "0\n");
    }

    SoftTokenDir token_;
    std::unique_ptr<HostProcess> host_;
    int tabId_ = 0;
};

TEST_F(TokenConversation, InformationCommandsAnswerFromTheKey) {
    StartHost();
    EXPECT_EQ(Ask("GetVersion"), "1.0.21.1015");
    EXPECT_EQ(Ask("GetDriverVersion"), "1.0.0.7");
    EXPECT_EQ(Ask("GetMediaID"), "6789AB");
    EXPECT_EQ(Ask("GetPublicKeyNum"), "2");  // a string, not a number
    EXPECT_EQ(Ask("GetCharsetList"), "UTF-8||GBK||GB18030");
    EXPECT_EQ(Ask("GetLanguageList"), "zh-CN||en-US");
    EXPECT_EQ(Ask("setIPType", Json::Value(Json::objectValue)), 0);
    Json::Value ipType;
    ipType["iptype"] = "3abc";
    EXPECT_EQ(Ask("setIPType", ipType), 0);
    EXPECT_EQ(Ask("getClientInfo"), "softtoken;iptype=3");
    EndHost();
}

TEST_F(TokenConversation, SettingsReachTheKeyAndItsRefusalsComeBack) {
    StartHost();
    Json::Value charset;
    charset["CharSet"] = "GB18030";
    EXPECT_EQ(Ask("SetCharset", charset), 0);
    charset["CharSet"] = "Latin-1";
    EXPECT_EQ(Ask("SetCharset", charset), -352);
    Json::Value language;
    language["Lang"] = "en-US";
    EXPECT_EQ(Ask("SetLanguage", language), 0);
    language["Lang"] = "";
    EXPECT_EQ(Ask("SetLanguage", language), -352);  // reaches the key, which refuses it
    Json::Value warning;
    warning["WarnMsg"] = "Check the amount on the key's display";
    EXPECT_EQ(Ask("SetWarningMsg", warning), 0);
    warning["WarnMsg"] = "";
    EXPECT_EQ(Ask("SetWarningMsg", warning), -352);  // refused before the key
    EndHost();

    const ToolResult shown = token_.Tool({"show"});
    EXPECT_NE(shown.out.find("charset: GB18030"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("language: en-US"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("warning: Check the amount"), std::string::npos) << shown.out;
}

TEST_F(TokenConversation, HolderAnswersAtThePromptsBecomeCodes) {
    ASSERT_EQ(token_.Tool({"queue", "cancel@changepin", "wrong-pin@changepin", "timeout@changepin",
                           "cancel@initcard", "timeout@initcard"})
                  .exitCode,
              0);
    StartHost();
    EXPECT_EQ(Ask("ChangePin"), -100);
    EXPECT_EQ(Ask("ChangePin"), -205);  // six tries, one spent
    EXPECT_EQ(Ask("ChangePin"), -105);
    EXPECT_EQ(Ask("ChangePin"), 0);
    EXPECT_EQ(Ask("CustInitCard"), -100);
    EXPECT_EQ(Ask("CustInitCard"), -105);
    EXPECT_EQ(Ask("CustInitCard"), 0);
    EndHost();
}

TEST_F(TokenConversation, DiscoveryFailuresReachTheBrowserAndTheNextCommandRetries) {
    ASSERT_EQ(token_.Tool({"init", "--token", "2"}).exitCode, 0);
    StartHost();
    EXPECT_EQ(Ask("GetMediaID"), -104);  // two keys: refused at once
    EXPECT_EQ(Ask("GMGetCertDN"), "");   // failures are an empty text here
    ASSERT_EQ(token_.Tool({"unplug", "--token", "2"}).exitCode, 0);
    EXPECT_EQ(Ask("GetMediaID"), "6789AB");
    ASSERT_EQ(token_.Tool({"set-slot", "--slot", "0"}).exitCode, 0);
    EXPECT_EQ(Ask("GetMediaID"), -103);
    EXPECT_EQ(Ask("GetVersion"), "1.0.21.1015");  // needs no key
    EndHost();
}

TEST(TokenModuleMissing, ReportedAsNotInstalledWhileTokenFreeCommandsWork) {
    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = "/nonexistent/libtoken.so";
    HostProcess host(options);
    ASSERT_TRUE(host.Started());
    for (const char* request : {R"({"ZEKA":"GetMediaID","tabID":1})", R"({"ZEKA":"GetMediaID","tabID":2})",
                                R"({"ZEKA":"GetVersion","tabID":3})"}) {
        ASSERT_TRUE(host.SendMessage(request));
    }
    EXPECT_EQ(*host.ReadFrame(), "{\"cmd\":\"GetMediaID\",\"lastData\":true,\"tabID\":1,\"text\":-101}\n");
    EXPECT_EQ(*host.ReadFrame(), "{\"cmd\":\"GetMediaID\",\"lastData\":true,\"tabID\":2,\"text\":-101}\n");
    EXPECT_EQ(*host.ReadFrame(), "{\"cmd\":\"GetVersion\",\"lastData\":true,\"tabID\":3,\"text\":\"1.0.21.1015\"}\n");
    ASSERT_TRUE(host.SendEnd());
    EXPECT_EQ(host.ExitCode(), 0);
}

}  // namespace
