// Hostile input through the host binary: broken framing, absurd lengths,
// bytes that are not UTF-8, deep nesting, members of every JSON type, and
// file paths that name things other than regular files. After each, the host
// must still answer the next request.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include <json/writer.h>

#include "common/host_process.h"
#include "hardening/hardening_support.h"

namespace hardening {
namespace {

using std::chrono::seconds;

// A host process and a way to check, after anything at all was sent, that it
// still serves requests: a "GetVersion" with a fresh "tabID" must be answered.
class Host {
public:
    explicit Host(const std::string& module = kMissingModule, const std::string& stateDir = "") {
        HostProcess::Options options;
        options.env["TOKEN_HOST_MODULE"] = module;
        options.env["TOKEN_HOST_CHOOSER"] = "/bin/false";
        if (!stateDir.empty()) options.env["SOFTTOKEN_DIR"] = stateDir;
        process_ = std::make_unique<HostProcess>(options);
    }

    HostProcess& process() { return *process_; }

    // Sends the bytes, then the probe; returns the replies that came before
    // the probe's answer. Fails the test when the probe goes unanswered.
    std::vector<Json::Value> SendThenProbe(const std::string& bytes, seconds timeout = seconds(60)) {
        std::vector<Json::Value> before;
        const int tab = ++probes_;
        EXPECT_TRUE(process_->SendRaw(bytes));
        EXPECT_TRUE(process_->SendMessage(R"({"ZEKA":"GetVersion","tabID":)" + std::to_string(tab) + "}"));
        for (;;) {
            const std::optional<std::string> frame = process_->ReadFrame(timeout);
            if (!frame) {
                ADD_FAILURE() << "the host stopped answering";
                return before;
            }
            const std::optional<Json::Value> reply = ParseReply(*frame);
            if (!reply) {
                ADD_FAILURE() << "a reply that is not a JSON object: " << frame->substr(0, 200);
                return before;
            }
            if ((*reply)["cmd"] == "GetVersion" && (*reply)["tabID"] == tab) return before;
            before.push_back(*reply);
        }
    }

    std::vector<Json::Value> SendMessageThenProbe(const std::string& body, seconds timeout = seconds(60)) {
        return SendThenProbe(Frame(body), timeout);
    }

    // Ends the host and checks it leaves quietly.
    void End() {
        process_->SendEnd();
        EXPECT_EQ(process_->ReadUntilClosed(seconds(30)), "");
        EXPECT_EQ(process_->ExitCode(seconds(30)), 0);
    }

private:
    std::unique_ptr<HostProcess> process_;
    int probes_ = 1000;
};

// What a host that was given only the bytes writes, and how it ends.
void ExpectQuietEnd(const std::string& bytes) {
    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = kMissingModule;
    HostProcess host(options);
    ASSERT_TRUE(host.Started());
    host.SendRaw(bytes);
    host.CloseStdin();
    EXPECT_EQ(host.ReadUntilClosed(seconds(30)), "");
    EXPECT_EQ(host.ExitCode(seconds(30)), 0);
}

TEST(HostileFraming, InputEndingInsideTheLengthEndsQuietly) {
    ExpectQuietEnd(std::string("\x05", 1));
    ExpectQuietEnd(std::string("\x05\x00\x00", 3));
}

TEST(HostileFraming, InputEndingInsideTheBodyEndsQuietly) {
    ExpectQuietEnd(LengthPrefix(100) + R"({"ZEKA":"GetVer)");
    ExpectQuietEnd(Frame(R"({"ZEKA":"Unknown"})") + LengthPrefix(2));
}

TEST(HostileFraming, HugeAnnouncedLengthsWithShortBodiesEndQuietly) {
    ExpectQuietEnd(LengthPrefix(0x80000000u) + R"({"ZEKA":"GetVersion","tabID":1})");
    ExpectQuietEnd(LengthPrefix(0xFFFFFFFFu) + std::string(1 << 20, '{'));
    ExpectQuietEnd(LengthPrefix(0xFFFFFFFFu));
}

TEST(HostileFraming, LengthZeroEndsTheHostWhateverFollows) {
    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = kMissingModule;
    HostProcess host(options);
    host.SendRaw(LengthPrefix(0) + Frame(R"({"ZEKA":"GetVersion","tabID":1})"));
    EXPECT_EQ(host.ReadUntilClosed(seconds(30)), "");
    EXPECT_EQ(host.ExitCode(seconds(30)), 0);
}

TEST(HostileFraming, OneAndTwoByteBodiesAreIgnored) {
    Host host;
    const std::vector<std::string> bodies = {"{", "}", "x", "1", " ", std::string(1, '\0'), "{}", "[]", "\"\"", "\xff\xfe"};
    for (const std::string& body : bodies) {
        EXPECT_TRUE(host.SendMessageThenProbe(body).empty()) << "body of " << body.size() << " byte(s)";
    }
    host.End();
}

// The host skips a body longer than it accepts without holding it, then
// carries on with the next frame.
TEST(HostileFraming, TwoGibibyteBodyIsSkippedAndTheNextRequestServed) {
    Host host;
    const uint32_t length = 0x80000000u;
    ASSERT_TRUE(host.process().SendRaw(LengthPrefix(length)));
    const std::string chunk(4 << 20, 'A');
    for (uint32_t sent = 0; sent < length; sent += chunk.size()) ASSERT_TRUE(host.process().SendRaw(chunk));
    EXPECT_TRUE(host.SendThenProbe("").empty());
    host.End();
}

TEST(HostileBodies, BytesThatAreNotUtf8) {
    Host host;
    const std::string bad = "\xff\xfe\xc0\x80\xed\xa0\x80\xf8\x88\x80\x80\x80";
    // Invalid UTF-8 in the command name: an unknown command.
    EXPECT_TRUE(host.SendMessageThenProbe(R"({"ZEKA":"GetVersion)" + bad + R"(","tabID":1})").empty());
    // Invalid UTF-8 in a member: the command is answered.
    for (const std::string& request :
         {R"({"ZEKA":"SetWarningMsg","tabID":3,"WarnMsg":")" + bad + R"("})",
          R"({"ZEKA":"GMUsbKeySign","tabID":3,"DeSignerDN":"CN=)" + bad + R"(","HashName":"SM3","XmlMsg":")" + bad +
              R"(","KeyMsg":"k","FilePath":""})",
          R"J({"ZEKA":"GMCreatePKCS10","tabID":3,"CertInfo":"DN(CN=)J" + bad + R"J()HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)"})J"}) {
        const std::vector<Json::Value> replies = host.SendMessageThenProbe(request);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0]["tabID"], 3);
    }
    // Raw zero bytes and control characters inside the JSON text.
    EXPECT_TRUE(host.SendMessageThenProbe(std::string("{\"ZEKA\":\"Get\0Version\"}", 22)).empty());
    EXPECT_TRUE(host.SendMessageThenProbe(std::string("\0\0\0\0", 4)).empty());
    host.End();
}

TEST(HostileBodies, NestingOneHundredThousandDeep) {
    Host host;
    const size_t depth = 100000;
    EXPECT_TRUE(host.SendMessageThenProbe(std::string(depth, '[') + std::string(depth, ']')).empty());
    std::string objects;
    for (size_t i = 0; i < depth; ++i) objects += "{\"a\":";
    objects += "1" + std::string(depth, '}');
    EXPECT_TRUE(host.SendMessageThenProbe(objects).empty());
    // Deep nesting inside an otherwise valid request, and unbalanced.
    EXPECT_TRUE(host.SendMessageThenProbe(R"({"ZEKA":"GetVersion","tabID":1,"x":)" + std::string(depth, '[') +
                                          std::string(depth, ']') + "}")
                    .empty());
    EXPECT_TRUE(host.SendMessageThenProbe(std::string(depth, '[')).empty());
    host.End();
}

// Members each command reads.
const std::map<std::string, std::vector<std::string>>& CommandMembers() {
    static const std::map<std::string, std::vector<std::string>> members = {
        {"GMUsbKeySign", {"DeSignerDN", "HashName", "XmlMsg", "KeyMsg", "FilePath"}},
        {"GMUsbKeySignFile", {"SignerDN", "HashName", "XmlMsg", "KeyMsg", "FilePath", "FileP7Path"}},
        {"CustInitCard", {}},
        {"ChangePin", {}},
        {"GMDelTempKey", {"CertDn", "PublicKeyId"}},
        {"GMCreatePKCS10", {"CertInfo"}},
        {"GMWritePKCS7", {"P7Pakge"}},
        {"GetMediaID", {}},
        {"GetDriverVersion", {}},
        {"GetPublicKeyNum", {}},
        {"GetVersion", {}},
        {"GMGetAdminKeyInfo", {}},
        {"GMGetCertDN", {}},
        {"GMGetPublicKey", {"KeyType"}},
        {"GMGetPublicKeyC", {"KeyType", "DnOrID", "Base64SerRand"}},
        {"GetPublicKeyC", {}},
        {"GetCharsetList", {}},
        {"GetLanguageList", {}},
        {"SetCharset", {"CharSet"}},
        {"SetLanguage", {"Lang"}},
        {"SetWarningMsg", {"WarnMsg"}},
        {"setIPType", {"iptype"}},
        {"getClientInfo", {}},
        {"NSChooseFile", {}},
    };
    return members;
}

// Plausible values, so that only the member under test is odd.
std::string PlausibleValue(const std::string& member) {
    static const std::map<std::string, std::string> values = {
        {"DeSignerDN", "CN=Demo SM2 User,O=Demo Bank,C=CN"},
        {"SignerDN", "CN=Demo RSA User,O=Demo Bank,C=CN"},
        {"HashName", "SHA256"},
        {"CertInfo", "DN(CN=X,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)"},
        {"KeyType", "01"},
        {"DnOrID", "02||11"},
        {"Base64SerRand", "AAECAwQFBgcICQoLDA0ODxAREhM="},
        {"FilePath", ""},
        {"FileP7Path", "hostile-out.p7"},
        {"PublicKeyId", "12"},
        {"CharSet", "UTF-8"},
        {"Lang", "zh-CN"},
        {"iptype", "1"},
    };
    auto found = values.find(member);
    return found == values.end() ? "text" : found->second;
}

std::vector<std::pair<std::string, Json::Value>> OddValues(size_t hugeLength) {
    Json::Value array(Json::arrayValue);
    array.append("CN=X");
    array.append(1);
    Json::Value object(Json::objectValue);
    object["CN"] = "X";
    return {{"integer", Json::Value(12)},
            {"negative", Json::Value(-1)},
            {"float", Json::Value(1e300)},
            {"true", Json::Value(true)},
            {"array", array},
            {"empty array", Json::Value(Json::arrayValue)},
            {"object", object},
            {"null", Json::Value(Json::nullValue)},
            {"huge string", Json::Value(std::string(hugeLength, 'A'))}};
}

std::string Compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

// Every member of every command, and "ZEKA" and "tabID" themselves, given
// as each odd value in turn. A reply, when one comes, is an envelope of
// that command.
void EveryMemberOfEveryType(Host& host, size_t hugeLength) {
    for (const auto& [command, members] : CommandMembers()) {
        std::vector<std::string> all = members;
        all.push_back("tabID");
        all.push_back("ZEKA");
        for (const std::string& member : all) {
            for (const auto& [kind, odd] : OddValues(hugeLength)) {
                Json::Value request(Json::objectValue);
                request["ZEKA"] = command;
                request["tabID"] = 5;
                for (const std::string& other : members) request[other] = PlausibleValue(other);
                request[member] = odd;
                SCOPED_TRACE(command + "." + member + " as " + kind);
                for (const Json::Value& reply : host.SendMessageThenProbe(Compact(request))) {
                    EXPECT_EQ(reply["cmd"], command);
                    EXPECT_TRUE(reply["text"].isString() || reply["text"].isIntegral());
                }
            }
        }
    }
}

TEST(HostileMembers, EveryMemberAsEveryJsonTypeWithoutAModule) {
    Host host;
    EveryMemberOfEveryType(host, 8u << 20);
    host.End();
}

TEST(HostileMembers, EveryMemberAsEveryJsonTypeWithTheSoftwareToken) {
    ScratchDir state("hostile-token");
    ASSERT_EQ(RunTool(state.Path(), {"demo"}).exitCode, 0);
    ScratchDir work("hostile-work");
    // Relative output paths land in the scratch directory.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(work.Path());
    {
        Host host(SoftTokenModule(), state.Path());
        // Results stay below the size that is sent in pieces.
        EveryMemberOfEveryType(host, 64u << 10);
        host.End();
    }
    std::filesystem::current_path(previous);
    EXPECT_EQ(ToolNumber(state.Path(), "sessions"), 0);
}

// File paths that name something other than a readable regular file.
class HostileFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RunTool(state_.Path(), {"demo"}).exitCode, 0);
        fifo_ = work_.Path() + "/fifo";
        ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
        const std::string vanished = work_.Path() + "/vanished.txt";
        std::fclose(std::fopen(vanished.c_str(), "w"));
        std::remove(vanished.c_str());
        dangling_ = work_.Path() + "/dangling";
        ASSERT_EQ(symlink(vanished.c_str(), dangling_.c_str()), 0);
        paths_ = {work_.Path(), fifo_, "/dev/zero", "/dev/null", "/dev/urandom", vanished, dangling_,
                  std::string(5000, 'x')};
    }

    // Every answer is an error code, never a signature over whatever was read.
    static void ExpectErrorCode(const std::vector<Json::Value>& replies, const std::string& path) {
        ASSERT_EQ(replies.size(), 1u) << path;
        EXPECT_TRUE(replies[0]["text"].isIntegral()) << path << ": " << Compact(replies[0]);
        EXPECT_NE(replies[0]["text"], 0) << path;
    }

    ScratchDir state_{"hostile-files-token"};
    ScratchDir work_{"hostile-files"};
    std::string fifo_;
    std::string dangling_;
    std::vector<std::string> paths_;
};

std::string SignRequest(const std::string& path) {
    Json::Value request(Json::objectValue);
    request["ZEKA"] = "GMUsbKeySign";
    request["tabID"] = 7;
    request["DeSignerDN"] = "CN=Demo SM2 User,O=Demo Bank,C=CN";
    request["HashName"] = "SM3";
    request["XmlMsg"] = "<a>1</a>";
    request["KeyMsg"] = "k";
    request["FilePath"] = path;
    return Compact(request);
}

std::string SignFileRequest(const std::string& path, const std::string& p7Path, const std::string& dn) {
    Json::Value request(Json::objectValue);
    request["ZEKA"] = "GMUsbKeySignFile";
    request["tabID"] = 8;
    request["SignerDN"] = dn;
    request["HashName"] = dn.find("SM2") != std::string::npos ? "SM3" : "SHA256";
    request["XmlMsg"] = "<a>1</a>";
    request["KeyMsg"] = "k";
    request["FilePath"] = path;
    request["FileP7Path"] = p7Path;
    return Compact(request);
}

TEST_F(HostileFiles, SigningRefusesPathsThatAreNotRegularFiles) {
    Host host(SoftTokenModule(), state_.Path());
    for (const std::string& path : paths_) {
        ExpectErrorCode(host.SendMessageThenProbe(SignRequest(path)), path);
        for (const char* dn : {"CN=Demo RSA User,O=Demo Bank,C=CN", "CN=Demo SM2 User,O=Demo Bank,C=CN"}) {
            ExpectErrorCode(host.SendMessageThenProbe(SignFileRequest(path, work_.Path() + "/out.p7", dn)), path);
        }
    }
    host.End();
    EXPECT_FALSE(std::filesystem::exists(work_.Path() + "/out.p7"));
    EXPECT_EQ(ToolNumber(state_.Path(), "sessions"), 0);
}

TEST_F(HostileFiles, OutputInAMissingDirectoryOrOnAFifoIsRefused) {
    const std::string document = work_.Path() + "/document.txt";
    std::FILE* file = std::fopen(document.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("to be signed\n", file);
    std::fclose(file);
    Host host(SoftTokenModule(), state_.Path());
    for (const std::string& p7 : {work_.Path() + "/missing/dir/out.p7", work_.Path(), fifo_, std::string("/dev/full"),
                                  work_.Path() + "/" + std::string(300, 'n')}) {
        ExpectErrorCode(host.SendMessageThenProbe(SignFileRequest(document, p7, "CN=Demo SM2 User,O=Demo Bank,C=CN")), p7);
    }
    // The same request with a usable output path works, so the refusals above
    // were about the paths.
    const std::vector<Json::Value> replies =
        host.SendMessageThenProbe(SignFileRequest(document, work_.Path() + "/out.p7", "CN=Demo SM2 User,O=Demo Bank,C=CN"));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["text"], 0);
    host.End();
    EXPECT_FALSE(std::filesystem::exists(work_.Path() + "/missing"));
    EXPECT_EQ(ToolNumber(state_.Path(), "sessions"), 0);
}

// Output larger than a pipe holds, to a FIFO nobody reads: the host used to
// block in the write for good.
TEST_F(HostileFiles, LargeOutputToAFifoIsRefusedWithoutBlocking) {
    const std::string document = work_.Path() + "/document.txt";
    std::FILE* file = std::fopen(document.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("to be signed\n", file);
    std::fclose(file);
    Json::Value request(Json::objectValue);
    request["ZEKA"] = "GMUsbKeySignFile";
    request["tabID"] = 9;
    request["SignerDN"] = "CN=Demo SM2 User,O=Demo Bank,C=CN";
    request["HashName"] = "SM3";
    request["XmlMsg"] = std::string(300000, 'x');
    request["KeyMsg"] = "k";
    request["FilePath"] = document;
    request["FileP7Path"] = fifo_;
    Host host(SoftTokenModule(), state_.Path());
    ExpectErrorCode(host.SendMessageThenProbe(Compact(request), seconds(30)), fifo_);
    host.End();
}

}  // namespace
}  // namespace hardening
