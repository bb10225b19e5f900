// The request log (TOKEN_HOST_LOG) through the host binary: what it holds
// after real signing, what it must never hold, and a log that cannot be
// opened, which must cost the browser nothing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <json/json.h>

#include "common/host_process.h"
#include "common/softtoken_fixture.h"

namespace {

namespace fs = std::filesystem;

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "token-host-log.XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~ScratchDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

Json::Value Parse(const std::string& body) {
    Json::Value value;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(body.data(), body.data() + body.size(), &value, &errors)) << errors;
    return value;
}

std::string Compact(const Json::Value& value) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, value);
}

// A text that cannot turn up in the log by chance.
std::string UniqueMarker() {
    std::random_device random;
    return "marker" + std::to_string(random()) + "x" + std::to_string(random());
}

// The first 16-byte window of the log that also appears in the text, if any.
std::string SharedWindow(const std::string& log, const std::string& text) {
    constexpr size_t kWindow = 16;
    for (size_t at = 0; at + kWindow <= log.size(); ++at) {
        const std::string window = log.substr(at, kWindow);
        if (text.find(window) != std::string::npos) return window;
    }
    return std::string();
}

class RequestLogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(token_.Tool({"demo"}).exitCode, 0); }

    HostProcess::Options Options() const {
        HostProcess::Options options;
        options.env["TOKEN_HOST_MODULE"] = SoftTokenDir::ModulePath();
        options.env["SOFTTOKEN_DIR"] = token_.Path();
        options.env["TOKEN_HOST_CHOOSER"] = "/nonexistent/chooser";
        options.env["TOKEN_HOST_LOG"] = log_.string();
        return options;
    }

    // Every piece's "text", asking for the next piece while lastData is false.
    std::string Collect(HostProcess& host, size_t& pieces) {
        std::string result;
        for (pieces = 1;; ++pieces) {
            const std::optional<std::string> body = host.ReadFrame(std::chrono::seconds(60));
            if (!body) {
                ADD_FAILURE() << "no reply";
                return result;
            }
            const Json::Value reply = Parse(*body);
            result += reply["text"].asString();
            if (reply["lastData"].asBool()) return result;
            EXPECT_TRUE(host.SendMessage(R"({"ZEKA":"GetMoreData"})"));
        }
    }

    SoftTokenDir token_;
    ScratchDir work_;
    const fs::path log_ = work_.path() / "requests.log";
};

TEST_F(RequestLogTest, SigningLeavesOneLinePerRequestAndNothingOfWhatWasSigned) {
    const std::string marker = UniqueMarker();
    const fs::path document = work_.path() / ("document-" + marker + ".txt");
    std::ofstream(document) << "contract " << marker << "\n";
    const fs::path signatureFile = work_.path() / ("signature-" + marker + ".p7");
    const std::string rsaDn = "CN=Demo RSA User";
    const std::string sm2Dn = "CN=Demo SM2 User,O=Demo Bank,C=CN";
    const std::string keyMessage = "Pay 100.00 to " + marker;
    // Long enough for the result to go out in two pieces.
    const std::string xml = "<T>" + marker + std::string(900000, 'x') + "</T>";

    HostProcess host(Options());
    Json::Value sign;
    sign["ZEKA"] = "GMUsbKeySign";
    sign["tabID"] = 1;
    sign["DeSignerDN"] = rsaDn;
    sign["HashName"] = "SHA256";
    sign["XmlMsg"] = xml;
    sign["KeyMsg"] = keyMessage;
    sign["FilePath"] = document.string();
    ASSERT_TRUE(host.SendMessage(Compact(sign)));
    size_t pieces = 0;
    const std::string signature = Collect(host, pieces);
    ASSERT_EQ(pieces, 2u);

    Json::Value signFile;
    signFile["ZEKA"] = "GMUsbKeySignFile";
    signFile["tabID"] = 2;
    signFile["SignerDN"] = sm2Dn;
    signFile["HashName"] = "SM3";
    signFile["XmlMsg"] = "<T>" + marker + "</T>";
    signFile["KeyMsg"] = keyMessage;
    signFile["FilePath"] = document.string();
    signFile["FileP7Path"] = signatureFile.string();
    ASSERT_TRUE(host.SendMessage(Compact(signFile)));
    ASSERT_EQ(Parse(*host.ReadFrame(std::chrono::seconds(60)))["text"], 0);

    sign["tabID"] = 3;
    sign["DeSignerDN"] = "CN=" + marker;  // no such signer
    sign["XmlMsg"] = "<T>" + marker + "</T>";
    ASSERT_TRUE(host.SendMessage(Compact(sign)));
    ASSERT_EQ(Parse(*host.ReadFrame(std::chrono::seconds(60)))["text"], -304);
    ASSERT_TRUE(host.SendMessage("{\"ZEKA\":\"" + marker + "\",\"tabID\":4}"));
    ASSERT_TRUE(host.SendEnd());
    ASSERT_EQ(host.ExitCode(std::chrono::seconds(30)), 0);

    struct stat status {};
    ASSERT_EQ(stat(log_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    const std::string log = ReadAll(log_);
    const std::vector<std::string> lines = Lines(log);
    ASSERT_EQ(lines.size(), 4u) << log;
    const std::regex time(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )");
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_search(line, time)) << line;
    const auto has = [](const std::string& line, const std::string& part) {
        return line.find(part) != std::string::npos;
    };
    const std::string sizes = " XmlMsg=" + std::to_string(xml.size()) +
                              " KeyMsg=" + std::to_string(keyMessage.size()) +
                              " FilePath=" + std::to_string(document.string().size());
    EXPECT_TRUE(has(lines[0], " GMUsbKeySign tabID=1 ")) << lines[0];
    EXPECT_TRUE(has(lines[0], " reply=ok length=" + std::to_string(signature.size()) + " pieces=2/2 ms="))
        << lines[0];
    EXPECT_TRUE(has(lines[0], " DeSignerDN=" + std::to_string(rsaDn.size()) + " HashName=6" + sizes)) << lines[0];
    EXPECT_TRUE(has(lines[1], " GMUsbKeySignFile tabID=2 ")) << lines[1];
    EXPECT_TRUE(has(lines[1], " reply=0 ms=")) << lines[1];
    EXPECT_TRUE(has(lines[1], " FileP7Path=" + std::to_string(signatureFile.string().size()))) << lines[1];
    EXPECT_TRUE(has(lines[2], " GMUsbKeySign tabID=3 ")) << lines[2];
    EXPECT_TRUE(has(lines[2], " reply=-304 ")) << lines[2];
    EXPECT_TRUE(has(lines[3], " (unknown) size=")) << lines[3];
    EXPECT_TRUE(has(lines[3], " reply=none ")) << lines[3];
    for (const std::string& line : lines) EXPECT_FALSE(has(line, " failed=")) << "no module call failed: " << line;

    for (const std::string& secret : {marker, rsaDn, std::string("Demo SM2 User"), keyMessage, document.string(),
                                      signatureFile.string(), work_.path().string()}) {
        EXPECT_FALSE(has(log, secret)) << secret;
    }
    EXPECT_EQ(SharedWindow(log, signature), "");
    EXPECT_EQ(SharedWindow(log, ReadAll(signatureFile)), "");
}

struct PlannedFault {
    const char* name;
    const char* rv;
    const char* logged;
};

class RequestLogFailedCall : public ::testing::TestWithParam<PlannedFault> {};

// The first call of the process is C_Initialize; failing, it spares the
// request the module's settling pause.
TEST_P(RequestLogFailedCall, NamesTheFunctionAndItsResult) {
    SoftTokenDir token;
    ASSERT_EQ(token.Tool({"demo"}).exitCode, 0);
    ASSERT_EQ(token.Tool({"fault", "--call", "1", "--rv", GetParam().rv}).exitCode, 0);
    ScratchDir work;
    const fs::path log = work.path() / "requests.log";
    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = SoftTokenDir::ModulePath();
    options.env["SOFTTOKEN_DIR"] = token.Path();
    options.env["TOKEN_HOST_LOG"] = log.string();
    HostProcess host(options);
    ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"GetMediaID","tabID":5})"));
    ASSERT_EQ(Parse(*host.ReadFrame())["text"], -101);
    ASSERT_TRUE(host.SendEnd());
    ASSERT_EQ(host.ExitCode(), 0);
    const std::string line = ReadAll(log);
    EXPECT_NE(line.find(" reply=-101 ms="), std::string::npos) << line;
    EXPECT_NE(line.find(std::string(" failed=C_Initialize:") + GetParam().logged + "\n"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(, RequestLogFailedCall,
                         ::testing::Values(PlannedFault{"Standard", "0x30", "CKR_DEVICE_ERROR"},
                                           PlannedFault{"VendorTimeOut", "0x80466F87", "CKR_VENDOR_USER_TIMEOUT"},
                                           PlannedFault{"Unnamed", "0x80001234", "0x80001234"}),
                         [](const ::testing::TestParamInfo<PlannedFault>& info) { return info.param.name; });

TEST(RequestLogUnusable, TheHostServesAsIfThereWereNoLog) {
    ScratchDir work;
    const fs::path folder = work.path() / "a-folder";
    fs::create_directory(folder);
    const fs::path fifo = work.path() / "a-fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path linkTarget = work.path() / "target";
    std::ofstream(linkTarget).flush();
    const fs::path link = work.path() / "a-link";
    fs::create_symlink(linkTarget, link);
    for (const fs::path& unusable : {folder, work.path() / "missing-folder" / "log", fifo, link}) {
        SCOPED_TRACE(unusable.string());
        HostProcess::Options options;
        options.env["TOKEN_HOST_MODULE"] = "/nonexistent/token-module.so";
        options.env["TOKEN_HOST_LOG"] = unusable.string();
        HostProcess host(options);
        ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"GetVersion","tabID":7})"));
        const std::optional<std::string> reply = host.ReadFrame();
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, "{\"cmd\":\"GetVersion\",\"lastData\":true,\"tabID\":7,\"text\":\"1.0.21.1015\"}\n");
        ASSERT_TRUE(host.SendEnd());
        EXPECT_EQ(host.ReadUntilClosed(), "");
        EXPECT_EQ(host.ExitCode(), 0);
    }
    EXPECT_EQ(fs::file_size(linkTarget), 0u) << "written through a link";
    EXPECT_FALSE(fs::exists(work.path() / "missing-folder"));
}

}  // namespace
