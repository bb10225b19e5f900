// The host binary spoken to as a browser does: frames on a pipe, replies read
// back with a timeout. No token is needed: the module path points nowhere.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "common/host_process.h"

namespace {

const char kNoModule[] = "/nonexistent/token-module.so";
const char kNoChooser[] = "/nonexistent/chooser";

HostProcess::Options Isolated() {
    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = kNoModule;
    options.env["TOKEN_HOST_CHOOSER"] = kNoChooser;
    return options;
}

Json::Value ParseReply(const std::string& body) {
    Json::Value reply;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(body.data(), body.data() + body.size(), &reply, &errors)) << body;
    return reply;
}

Json::Value NextReply(HostProcess& host) {
    const std::optional<std::string> body = host.ReadFrame();
    if (!body) {
        ADD_FAILURE() << "no reply";
        return Json::Value();
    }
    EXPECT_EQ(body->back(), '\n');
    return ParseReply(*body);
}

std::string VersionRequest(int tabId) {
    return "{\"ZEKA\":\"GetVersion\",\"tabID\":" + std::to_string(tabId) + "}";
}

void ExpectVersionReply(HostProcess& host, int tabId) {
    const Json::Value reply = NextReply(host);
    EXPECT_EQ(reply["cmd"], "GetVersion");
    EXPECT_EQ(reply["tabID"], tabId);
    EXPECT_EQ(reply["text"], "1.0.21.1015");
}

// Ends the host with an empty message and checks it said nothing more.
void ExpectCleanEnd(HostProcess& host) {
    ASSERT_TRUE(host.SendEnd());
    EXPECT_EQ(host.ReadUntilClosed(), "");
    EXPECT_EQ(host.ExitCode(), 0);
}

class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/token-host-test.XXXXXX";
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::filesystem::path WriteScript(const std::filesystem::path& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0700);
    return path;
}

TEST(HostFraming, GetVersionReplyBytes) {
    HostProcess host(Isolated());
    ASSERT_TRUE(host.SendMessage(VersionRequest(5)));
    ASSERT_TRUE(host.SendEnd());
    const std::string body = "{\"cmd\":\"GetVersion\",\"lastData\":true,\"tabID\":5,\"text\":\"1.0.21.1015\"}\n";
    EXPECT_EQ(host.ReadUntilClosed(), LengthPrefix(static_cast<uint32_t>(body.size())) + body);
    EXPECT_EQ(host.ExitCode(), 0);
}

TEST(HostFraming, EmptyObjectIsOneSilentMessage) {
    HostProcess host(Isolated());
    ASSERT_TRUE(host.SendRaw(std::string("\x02\x00\x00\x00\x7B\x7D", 6) + Frame(VersionRequest(1))));
    ExpectVersionReply(host, 1);
    ExpectCleanEnd(host);
}

TEST(HostFraming, EveryEndOfInputExitsZeroWithoutOutput) {
    const std::string endings[] = {
        "",                                  // closed between messages
        std::string("\x07\x00", 2),          // inside the length
        std::string("\x09\x00\x00\x00{\"ZE", 8),  // inside the body
        LengthPrefix(0xFFFFFFF0u) + "{}",   // inside a body too long to keep
    };
    for (const std::string& ending : endings) {
        HostProcess host(Isolated());
        ASSERT_TRUE(host.SendRaw(ending));
        host.CloseStdin();
        EXPECT_EQ(host.ReadUntilClosed(), "");
        EXPECT_EQ(host.ExitCode(), 0);
    }
}

TEST(HostFraming, EmptyMessageEndsTheHostWhileThePipeStaysOpen) {
    HostProcess host(Isolated());
    ASSERT_TRUE(host.SendRaw(LengthPrefix(0) + Frame(VersionRequest(1))));
    EXPECT_EQ(host.ExitCode(), 0);
    EXPECT_EQ(host.ReadUntilClosed(), "");
}

TEST(HostDispatch, IgnoredMessagesGetNoReplyAndTheHostKeepsServing) {
    const std::string ignored[] = {
        R"({"ZEKA":"Unknown","tabID":1})",
        "abc",
        R"({"ZEKA":"getclientinfo","tabID":1})",
        R"({"ZEKA":"GETVERSION","tabID":1})",
        R"({"ZEKA":"GetMoreData","tabID":1})",
        R"({"tabID":1})",
        R"(["GetVersion"])",
        "5",
        "null",
        R"("GetVersion")",
        R"({"ZEKA":5,"tabID":1})",
        R"({"ZEKA":true})",
        R"({"ZEKA":{"name":"GetVersion"}})",
        R"({"ZEKA":["GetVersion"]})",
        R"({"ZEKA":"GetVersion","tabID":"abc"})",
        R"({"ZEKA":"GetVersion","tabID":"7"})",
        R"({"ZEKA":"GetVersion","tabID":{}})",
        R"({"ZEKA":"GetVersion","tabID":1e20})",
        R"({"ZEKA":"GetVersion","tabID":4294967295})",
        R"({"ZEKA":"GMUsbKeySign","tabID":1,"DeSignerDN":"CN=a","XmlMsg":{},"KeyMsg":"k"})",
        R"({"ZEKA":"SetCharset","tabID":1,"CharSet":[1]})",
        R"({"ZEKA":"GMGetPublicKeyC","KeyType":"SM2","DnOrID":{"a":1},"Base64SerRand":"x"})",
        std::string(100000, '['),
        "{\"ZEKA\":\"GetVersion\",\"x\":" + std::string(50000, '[') + "}",
    };
    HostProcess host(Isolated());
    int tabId = 1000;
    for (const std::string& body : ignored) {
        ASSERT_TRUE(host.SendMessage(body));
        ASSERT_TRUE(host.SendMessage(VersionRequest(++tabId)));
        SCOPED_TRACE(body.substr(0, 60));
        ExpectVersionReply(host, tabId);
    }
    ExpectCleanEnd(host);
}

TEST(HostDispatch, ConvertibleMemberTypesAreServed) {
    HostProcess host(Isolated());
    ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"GetVersion","tabID":2.75})"));
    ExpectVersionReply(host, 2);
    ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"GetVersion"})"));
    ExpectVersionReply(host, 0);
    // A number where text is expected converts to its decimal text.
    ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"SetWarningMsg","tabID":3,"WarnMsg":12})"));
    const Json::Value reply = NextReply(host);
    EXPECT_EQ(reply["cmd"], "SetWarningMsg");
    EXPECT_NE(reply["text"], -352) << "the converted text is not empty";
    ExpectCleanEnd(host);
}

TEST(HostDispatch, EveryCommandAnswersOnceUnderItsOwnName) {
    const std::vector<std::string> commands = {
        "GMUsbKeySign",    "GMUsbKeySignFile", "CustInitCard",    "ChangePin",       "GMDelTempKey",
        "GMCreatePKCS10",  "GMWritePKCS7",     "GetMediaID",      "GetDriverVersion", "GetPublicKeyNum",
        "GetVersion",      "GMGetAdminKeyInfo", "GMGetCertDN",    "GMGetPublicKey",  "GMGetPublicKeyC",
        "GetPublicKeyC",   "GetCharsetList",   "GetLanguageList", "SetCharset",      "SetLanguage",
        "SetWarningMsg",   "setIPType",        "getClientInfo",   "NSChooseFile",
    };
    HostProcess host(Isolated());
    for (size_t i = 0; i < commands.size(); ++i) {
        const int tabId = 100 + static_cast<int>(i);
        ASSERT_TRUE(host.SendMessage("{\"ZEKA\":\"" + commands[i] + "\",\"tabID\":" + std::to_string(tabId) + "}"));
        const Json::Value reply = NextReply(host);
        SCOPED_TRACE(commands[i]);
        EXPECT_EQ(reply["cmd"], commands[i]);
        EXPECT_EQ(reply["tabID"], tabId);
        EXPECT_EQ(reply["lastData"], true);
        if (commands[i] == "GetVersion") {
            EXPECT_EQ(reply["text"], "1.0.21.1015");
        } else if (commands[i] == "GMGetCertDN") {
            EXPECT_EQ(reply["text"], "") << "failure shows as an empty DN";
        } else if (commands[i] == "NSChooseFile") {
            EXPECT_EQ(reply["text"], 127 << 8) << "status of a chooser that cannot be found";
        } else {
            ASSERT_TRUE(reply["text"].isInt());
            EXPECT_LT(reply["text"].asInt(), 0) << "nothing succeeds without a token";
        }
    }
    ExpectCleanEnd(host);
}

TEST(HostDispatch, FacadeChecksAnswerBeforeAnyTokenWork) {
    const std::string longText(261, 'u');
    const struct {
        std::string request;
        int code;
    } cases[] = {
        {R"({"ZEKA":"GMUsbKeySign"})", -304},
        {R"({"ZEKA":"GMUsbKeySign","DeSignerDN":"O=Bank","XmlMsg":"x","KeyMsg":"k"})", -304},
        {R"({"ZEKA":"GMUsbKeySignFile","SignerDN":"CN=a","XmlMsg":"x"})", -304},
        {R"({"ZEKA":"GMCreatePKCS10"})", -352},
        {R"({"ZEKA":"GMDelTempKey"})", -352},
        {R"({"ZEKA":"GMWritePKCS7"})", -304},
        {R"({"ZEKA":"GMGetPublicKey"})", -352},
        {R"({"ZEKA":"GMGetPublicKeyC","KeyType":"SM2","DnOrID":"CN=a"})", -304},
        {R"({"ZEKA":"SetWarningMsg"})", -352},
        {R"({"ZEKA":"SetCharset","CharSet":")" + longText + "\"}", -352},
        {R"({"ZEKA":"SetLanguage","Lang":")" + longText + "\"}", -352},
    };
    HostProcess host(Isolated());
    for (const auto& c : cases) {
        ASSERT_TRUE(host.SendMessage(c.request));
        const Json::Value reply = NextReply(host);
        EXPECT_EQ(reply["text"], c.code) << c.request.substr(0, 80);
        EXPECT_EQ(reply["tabID"], 0);
    }
    ExpectCleanEnd(host);
}

TEST(HostLimits, LongestAcceptedMessageIsServedAndLongerOnesSkipped) {
    const uint32_t bound = 64u * 1024u * 1024u;
    std::string atBound = VersionRequest(1);
    atBound.resize(bound, ' ');
    HostProcess host(Isolated());
    ASSERT_TRUE(host.SendMessage(atBound));
    ExpectVersionReply(host, 1);
    std::string overBound = VersionRequest(2);
    overBound.resize(bound + 1, ' ');
    ASSERT_TRUE(host.SendMessage(overBound));
    ASSERT_TRUE(host.SendMessage(VersionRequest(3)));
    ExpectVersionReply(host, 3);
    ExpectCleanEnd(host);
}

TEST(HostCommandLine, BrowserArgumentsAreIgnored) {
    const std::vector<std::vector<std::string>> argumentSets = {
        {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"},
        {"/usr/lib/mozilla/native-messaging-hosts/token.json", "token@example.org"},
        {"chrome-extension://x/", "--version"},
        {"chrome-extension://x/", "--diagnose"},
    };
    for (const auto& arguments : argumentSets) {
        HostProcess::Options options = Isolated();
        options.args = arguments;
        HostProcess host(options);
        ASSERT_TRUE(host.SendMessage(VersionRequest(9)));
        ExpectVersionReply(host, 9);
        ExpectCleanEnd(host);
    }
}

TEST(HostCommandLine, VersionAndHelpPrintForAPerson) {
    HostProcess::Options options = Isolated();
    options.args = {"--version"};
    HostProcess version(options);
    EXPECT_EQ(version.ReadUntilClosed(), "token-host 1.0.21.1015\n");
    EXPECT_EQ(version.ExitCode(), 0);

    options.args = {"--help"};
    HostProcess help(options);
    const std::string text = help.ReadUntilClosed();
    EXPECT_EQ(text.rfind("Usage: token-host", 0), 0u) << text;
    for (const char* shown : {"--diagnose", "TOKEN_HOST_LOG", "TOKEN_HOST_CHOOSER"}) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown;
    }
    // The paths in use, and why.
    EXPECT_NE(text.find(std::string("module   ") + kNoModule + "\n           (environment variable TOKEN_HOST_MODULE)"),
              std::string::npos)
        << text;
    EXPECT_EQ(help.ExitCode(), 0);
}

TEST(HostCommandLine, DiagnoseReportsToAPersonOrAsJson) {
    TempDir dir;
    const std::string log = (dir.path() / "log").string();
    HostProcess::Options options = Isolated();
    options.env["TOKEN_HOST_LOG"] = log;
    options.args = {"--diagnose"};
    HostProcess text(options);
    const std::string report = text.ReadUntilClosed();
    EXPECT_EQ(report.rfind("token-host diagnosis", 0), 0u) << report;
    EXPECT_NE(report.find(kNoModule), std::string::npos) << report;
    EXPECT_NE(report.find("\n! load error:  " + std::string(kNoModule) + ": cannot open shared object file"),
              std::string::npos)
        << report;
    EXPECT_EQ(text.ExitCode(), 1) << "no usable key";

    options.args = {"--diagnose", "--json"};
    HostProcess json(options);
    const Json::Value parsed = ParseReply(json.ReadUntilClosed());
    EXPECT_EQ(json.ExitCode(), 1);
    EXPECT_EQ(parsed["host"]["path"], std::filesystem::canonical(TOKEN_HOST_BINARY).string());
    EXPECT_EQ(parsed["module"]["path"], kNoModule);
    EXPECT_EQ(parsed["module"]["exists"], false);
    EXPECT_EQ(parsed["key"]["code"], -101);
    EXPECT_EQ(parsed["verdict"]["code"], -101);
    EXPECT_EQ(parsed["log"]["usable"], true);
    EXPECT_EQ(parsed["exit_status"], 1);
    EXPECT_FALSE(std::filesystem::exists(log)) << "the diagnosis changes nothing";

    options.args = {"--diagnose", "--jsn"};
    HostProcess misspelt(options);
    EXPECT_EQ(misspelt.ReadUntilClosed(), "");
    EXPECT_EQ(misspelt.ExitCode(), 2);
}

TEST(HostChooser, ChooserCannotTouchTheMessageStream) {
    TempDir dir;
    const std::filesystem::path chooser = WriteScript(
        dir.path() / "chooser with 'quote' & space",
        "echo 'stray output on stdout'\n"
        "cat > /dev/null\n"
        "printf '%s' \"/home/me/chosen file.pdf\" > /tmp/.dv_chooseFile\n");
    HostProcess::Options options = Isolated();
    options.env["TOKEN_HOST_CHOOSER"] = chooser.string();
    HostProcess host(options);
    ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"NSChooseFile","tabID":4})"));
    const Json::Value reply = NextReply(host);
    EXPECT_EQ(reply["cmd"], "NSChooseFile");
    EXPECT_EQ(reply["text"], "/home/me/chosen file.pdf");
    ASSERT_TRUE(host.SendMessage(VersionRequest(5)));
    ExpectVersionReply(host, 5);
    ExpectCleanEnd(host);
    unlink("/tmp/.dv_chooseFile");
}

// The pid a script wrote to the file, once it is there; -1 after the timeout.
pid_t AwaitPid(const std::filesystem::path& file, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pid_t pid = -1;
        if (std::ifstream(file) >> pid) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

bool ProcessGone(pid_t pid) {
    for (int i = 0; i < 100; ++i) {
        if (kill(pid, 0) != 0 && errno == ESRCH) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Parameter: whether the chooser ignores SIGTERM.
class HostChooserBrowserLeaves : public ::testing::TestWithParam<bool> {};

TEST_P(HostChooserBrowserLeaves, ChooserIsStoppedAndTheHostEnds) {
    const bool ignoresTerm = GetParam();
    TempDir dir;
    const std::filesystem::path chooser = WriteScript(
        dir.path() / "chooser", std::string(ignoresTerm ? "trap '' TERM\n" : "") +
                                    "cd \"$(dirname \"$0\")\"\n"
                                    "echo $$ > pid.new && mv pid.new pid\n"
                                    "exec sleep 600\n");
    HostProcess::Options options = Isolated();
    options.env["TOKEN_HOST_CHOOSER"] = chooser.string();
    HostProcess host(options);
    ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"NSChooseFile","tabID":4})"));
    const pid_t chooserPid = AwaitPid(dir.path() / "pid");
    ASSERT_GT(chooserPid, 0);

    // A further request is no end of input: it waits, and so does the person.
    ASSERT_TRUE(host.SendMessage(VersionRequest(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(kill(chooserPid, 0), 0) << "chooser stopped while the browser was still there";
    EXPECT_FALSE(host.WaitExit(std::chrono::milliseconds(0)).has_value());

    host.CloseStdin();
    const auto closed = std::chrono::steady_clock::now();
    EXPECT_EQ(host.ExitCode(std::chrono::seconds(10)), 0);
    const auto took = std::chrono::steady_clock::now() - closed;
    EXPECT_EQ(host.ReadUntilClosed(), "") << "nobody is left to answer";
    const bool gone = ProcessGone(chooserPid);
    EXPECT_TRUE(gone);
    if (!gone) kill(chooserPid, SIGKILL);
    if (ignoresTerm) {
        EXPECT_GE(took, std::chrono::milliseconds(1500)) << "SIGKILL only after the grace time";
    }
}

INSTANTIATE_TEST_SUITE_P(, HostChooserBrowserLeaves, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "ChooserIgnoresTerm" : "ChooserHonoursTerm";
});

}  // namespace
