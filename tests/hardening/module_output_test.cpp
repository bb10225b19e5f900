// A module that writes to standard output, as some vendors' modules log: none
// of it may reach the browser's stream. Every reply frame stays whole, and the
// chatter shows where standard error goes, in the order it was written.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "common/host_process.h"
#include "device/signing_checks.h"
#include "hardening/hardening_support.h"

namespace hardening {
namespace {

std::string SignRequest(int tabId, const std::string& dn, const std::string& hash) {
    return R"({"ZEKA":"GMUsbKeySign","tabID":)" + std::to_string(tabId) + R"(,"DeSignerDN":")" + dn +
           R"(","HashName":")" + hash + R"(","XmlMsg":"<a>1</a>","KeyMsg":"k","FilePath":""})";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The lines of the module's chatter; each must be one call's printf followed
// by its write, or stdio held the printf back.
std::vector<std::string> ChatterLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Closed, standard error is where a careless fix would leave standard output.
enum class StandardError { ToFile, Closed };

class ChattyModule : public ::testing::TestWithParam<StandardError> {};

TEST_P(ChattyModule, RepliesStayWholeAndTheChatterGoesToStandardError) {
    ScratchDir state("chatty-module");
    ASSERT_EQ(RunTool(state.Path(), {"demo"}).exitCode, 0);
    ScratchDir logs("chatty-module-log");
    const std::string errorFile = logs.Path() + "/stderr";
    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = CHATTY_MODULE;
    options.env["SOFTTOKEN_DIR"] = state.Path();
    options.env["TOKEN_HOST_CHOOSER"] = "/bin/false";
    if (GetParam() == StandardError::Closed) {
        options.closeStderr = true;
    } else {
        options.stderrFile = errorFile;
    }
    HostProcess host(options);

    const struct {
        const char* dn;
        const char* hash;
        bool (*verifies)(const signing_checks::Bytes&);
    } signers[] = {
        {"CN=Demo RSA User,O=Demo Bank,C=CN", "SHA256", signing_checks::RsaVerifies},
        {"CN=Demo SM2 User,O=Demo Bank,C=CN", "SM3", signing_checks::Sm2Verifies},
    };
    int tabId = 0;
    for (const auto& signer : signers) {
        SCOPED_TRACE(signer.dn);
        ASSERT_TRUE(host.SendMessage(SignRequest(++tabId, signer.dn, signer.hash)));
        const std::optional<std::string> frame = host.ReadFrame(std::chrono::seconds(30));
        ASSERT_TRUE(frame.has_value()) << "no whole frame";
        const std::optional<Json::Value> reply = ParseReply(*frame);
        ASSERT_TRUE(reply.has_value()) << *frame;
        EXPECT_EQ((*reply)["tabID"], tabId);
        ASSERT_TRUE((*reply)["text"].isString()) << *frame;
        EXPECT_TRUE(signer.verifies(signing_checks::Unbase64((*reply)["text"].asString())));
    }
    ASSERT_TRUE(host.SendEnd());
    EXPECT_EQ(host.ReadUntilClosed(), "");
    EXPECT_EQ(host.ExitCode(), 0);
    if (GetParam() == StandardError::ToFile) {
        const std::string chatter = ReadFile(errorFile);
        size_t signs = 0;
        for (const std::string& line : ChatterLines(chatter)) {
            const bool initialize = line == "chatty printf C_Initialize;chatty write C_Initialize";
            const bool sign = line == "chatty printf C_Sign;chatty write C_Sign";
            EXPECT_TRUE(initialize || sign) << chatter;
            signs += sign;
        }
        ASSERT_EQ(signs, 2u) << chatter;
        EXPECT_EQ(chatter.back(), '\n') << chatter;
    }
}

INSTANTIATE_TEST_SUITE_P(StandardError, ChattyModule,
                         ::testing::Values(StandardError::ToFile, StandardError::Closed),
                         [](const ::testing::TestParamInfo<StandardError>& info) {
                             return info.param == StandardError::ToFile ? "ToFile" : "Closed";
                         });

}  // namespace
}  // namespace hardening
