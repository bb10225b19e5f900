// Text members holding a zero byte, sent to the host binary with the software
// token behind it. Each request would be served if the text ended at the zero
// byte; instead it is refused with the command's code for a bad input, and the
// module is never called: nothing is signed, written or changed.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

#include "common/host_process.h"
#include "common/softtoken_fixture.h"

namespace {

namespace fs = std::filesystem;

// Stand-ins in member values, replaced once the token and files exist.
const char kDocument[] = "@DOCUMENT@";
const char kOutput[] = "@OUTPUT@";
const char kCertificate[] = "@CERTIFICATE@";

struct Command {
    std::string name;
    long refusal;
    // Every member the command reads, with a value it would be served with.
    std::vector<std::pair<std::string, std::string>> members;
};

struct CommandKind {
    std::string name;
    std::vector<Command> commands;
};

void PrintTo(const CommandKind& kind, std::ostream* out) { *out << kind.name; }

std::string Base64(const std::string& bytes) {
    std::string text(bytes.size() / 3 * 4 + 5, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string Compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

class ZeroByteInText : public ::testing::TestWithParam<CommandKind> {
protected:
    void SetUp() override {
        // The demo prints the RSA pair's ID first.
        const ToolResult demo = token_.Tool({"demo"});
        ASSERT_EQ(demo.exitCode, 0);
        const std::string rsaPair = demo.out.substr(0, demo.out.find('\n'));
        const fs::path der = fs::path(token_.Path()) / "cert.der";
        ASSERT_EQ(token_.Tool({"export", "--pair-id", rsaPair, "--what", "cert", "--out", der.string()}).exitCode, 0);
        std::ifstream in(der, std::ios::binary);
        certificate_ = Base64(std::string(std::istreambuf_iterator<char>(in), {}));
        ASSERT_FALSE(certificate_.empty());
        // A temporary key, number 12, for the commands that name keys by number.
        ASSERT_EQ(token_.Tool({"add-key", "--type", "sm2", "--index", "1", "--no-cert"}).exitCode, 0);
        work_ = fs::path(token_.Path()) / "work";
        fs::create_directory(work_);
        std::ofstream(work_ / "doc.txt") << "a document to sign\n";
    }

    std::string Resolve(const std::string& value) const {
        if (value == kDocument) return (work_ / "doc.txt").string();
        if (value == kOutput) return (work_ / "out.p7").string();
        if (value == kCertificate) return certificate_;
        return value;
    }

    std::string TokenState() const { return token_.Tool({"list"}).out + token_.Tool({"show"}).out; }

    SoftTokenDir token_;
    fs::path work_;
    std::string certificate_;
};

TEST_P(ZeroByteInText, EveryTextMemberIsRefusedBeforeTheModuleIsCalled) {
    const std::string stateBefore = TokenState();
    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = SoftTokenDir::ModulePath();
    options.env["SOFTTOKEN_DIR"] = token_.Path();
    options.env["TOKEN_HOST_CHOOSER"] = "/nonexistent/chooser";
    HostProcess host(options);
    ASSERT_TRUE(host.Started());

    int tabId = 0;
    for (const Command& command : GetParam().commands) {
        for (const auto& [cut, ignored] : command.members) {
            Json::Value request(Json::objectValue);
            request["ZEKA"] = command.name;
            request["tabID"] = ++tabId;
            for (const auto& [member, value] : command.members) request[member] = Resolve(value);
            // What comes before the zero byte alone would be served.
            request[cut] = request[cut].asString() + std::string(1, '\0') + ".pdf";
            SCOPED_TRACE(command.name + "." + cut);
            ASSERT_TRUE(host.SendMessage(Compact(request)));
            const std::optional<std::string> body = host.ReadFrame(std::chrono::seconds(30));
            ASSERT_TRUE(body);
            Json::Value expected(Json::objectValue);
            expected["cmd"] = command.name;
            expected["lastData"] = true;
            expected["tabID"] = tabId;
            expected["text"] = static_cast<Json::Int>(command.refusal);
            EXPECT_EQ(*body, Compact(expected) + "\n");
        }
    }
    ASSERT_TRUE(host.SendEnd());
    EXPECT_EQ(host.ExitCode(), 0);

    EXPECT_EQ(token_.Tool({"calls"}).out, "0\n") << "the module was called";
    EXPECT_EQ(TokenState(), stateBefore);
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(work_)) {
        files.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(files, std::vector<std::string>{"doc.txt"}) << "an output file was written";
}

const Command kSignMessage{"GMUsbKeySign",
                           -304,
                           {{"DeSignerDN", "CN=Demo SM2 User,O=Demo Bank,C=CN"},
                            {"HashName", "SM3"},
                            {"XmlMsg", "<a>1</a>"},
                            {"KeyMsg", "pay 100.00"},
                            {"FilePath", ""}}};

// Long enough to be decoded where it lies in the request.
const Command kSignLongMessage{"GMUsbKeySign",
                               -304,
                               {{"DeSignerDN", "CN=Demo SM2 User,O=Demo Bank,C=CN"},
                                {"HashName", "SM3"},
                                {"XmlMsg", "<a>" + std::string(100000, '1') + "</a>"},
                                {"KeyMsg", "pay 100.00"},
                                {"FilePath", ""}}};

const Command kSignFile{"GMUsbKeySignFile",
                        -304,
                        {{"SignerDN", "CN=Demo RSA User,O=Demo Bank,C=CN"},
                         {"HashName", "SHA256"},
                         {"XmlMsg", "<a>1</a>"},
                         {"KeyMsg", "pay 100.00"},
                         {"FilePath", kDocument},
                         {"FileP7Path", kOutput}}};

const std::vector<Command> kKeyManagement = {
    {"GMCreatePKCS10", -304, {{"CertInfo", "DN(CN=X,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)"}}},
    {"GMWritePKCS7", -304, {{"P7Pakge", kCertificate}}},
    {"GMDelTempKey", -304, {{"CertDn", ""}, {"PublicKeyId", "12"}}},
};

const std::vector<Command> kKeyQueries = {
    {"GMGetPublicKey", -352, {{"KeyType", "allpubkey"}}},
    {"GMGetPublicKeyC", -304, {{"KeyType", "01"}, {"DnOrID", "12"}, {"Base64SerRand", "AAECAwQFBgcICQoLDA0O"}}},
};

const std::vector<Command> kSettings = {
    {"SetCharset", -304, {{"CharSet", "UTF-8"}}},
    {"SetLanguage", -304, {{"Lang", "en-US"}}},
    {"SetWarningMsg", -304, {{"WarnMsg", "Check the amount"}}},
    {"setIPType", -304, {{"iptype", "3"}}},
};

INSTANTIATE_TEST_SUITE_P(Commands, ZeroByteInText,
                         ::testing::Values(CommandKind{"MessageSigning", {kSignMessage}},
                                           CommandKind{"LongMessageSigning", {kSignLongMessage}},
                                           CommandKind{"FileSigning", {kSignFile}},
                                           CommandKind{"KeyManagement", kKeyManagement},
                                           CommandKind{"KeyQueries", kKeyQueries},
                                           CommandKind{"Settings", kSettings}),
                         [](const ::testing::TestParamInfo<CommandKind>& info) { return info.param.name; });

}  // namespace
