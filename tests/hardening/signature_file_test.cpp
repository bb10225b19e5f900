// The signature file appears whole or not at all: a host that cannot finish
// writing it, or dies while writing it, leaves what was under its name.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/host_process.h"
#include "hardening/hardening_support.h"

namespace hardening {
namespace {

using std::chrono::seconds;

const char kEarlier[] = "the signature of an earlier transfer";

class SignatureFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RunTool(state_.Path(), {"demo"}).exitCode, 0);
        std::ofstream(document_) << "to be signed\n";
        std::ofstream(output_) << kEarlier;
    }

    HostProcess::Options Options() const {
        HostProcess::Options options;
        options.env["TOKEN_HOST_MODULE"] = SoftTokenModule();
        options.env["TOKEN_HOST_CHOOSER"] = "/bin/false";
        options.env["SOFTTOKEN_DIR"] = state_.Path();
        return options;
    }

    // A SignedData of about 800 KB: the file is written in many pieces.
    std::string Request() const {
        return R"({"ZEKA":"GMUsbKeySignFile","tabID":3,"SignerDN":"CN=Demo SM2 User,O=Demo Bank,C=CN",)"
               R"("HashName":"SM3","XmlMsg":")" +
               std::string(600000, 'x') + R"(","KeyMsg":"k","FilePath":")" + document_ + R"(","FileP7Path":")" +
               output_ + R"("})";
    }

    ::testing::AssertionResult OutputIsTheEarlierOne() const {
        std::ifstream in(output_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        const std::string output = text.str();
        if (output == kEarlier) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << output.size() << " bytes: " << output.substr(0, 60);
    }

    // What the work folder holds besides the document and the output.
    std::vector<std::string> Others() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(work_.Path())) {
            const std::string name = entry.path().filename().string();
            if (entry.path() != document_ && entry.path() != output_) names.push_back(name);
        }
        return names;
    }

    ScratchDir state_{"signature-file-token"};
    ScratchDir work_{"signature-file"};
    const std::string document_ = work_.Path() + "/document.txt";
    const std::string output_ = work_.Path() + "/out.p7";
};

TEST_F(SignatureFileTest, AFailedWriteLeavesTheEarlierFile) {
    // The file size limit stops the write part way; with SIGXFSZ ignored the
    // host sees the write fail. The shell runs the host through the launcher, if any.
    HostProcess::Options options = Options();
    options.binary = "/bin/sh";
    options.launcher.clear();
    options.args = {"-c", "trap '' XFSZ; ulimit -f 256; exec ${1:+\"$1\"} \"$0\"", TOKEN_HOST_BINARY, kTestLauncher};
    HostProcess host(options);
    ASSERT_TRUE(host.SendMessage(Request()));
    const std::optional<std::string> frame = host.ReadFrame(seconds(60));
    ASSERT_TRUE(frame);
    const std::optional<Json::Value> reply = ParseReply(*frame);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["text"], -409);
    host.SendEnd();
    EXPECT_EQ(host.ExitCode(), 0);
    EXPECT_TRUE(OutputIsTheEarlierOne());
    EXPECT_TRUE(Others().empty());
}

TEST_F(SignatureFileTest, AHostKilledWhileWritingLeavesTheEarlierFile) {
    HostProcess::Options options = Options();
    options.env["LD_PRELOAD"] = KILL_WHILE_WRITING;
    options.env["KILL_WHILE_WRITING_IN"] = work_.Path();
    // A sanitizer runtime would otherwise insist on coming first.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
    HostProcess host(options);
    ASSERT_TRUE(host.SendMessage(Request()));
    const std::optional<int> status = host.WaitExit(seconds(60));
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGKILL);
    EXPECT_TRUE(OutputIsTheEarlierOne());
    // The unfinished text lies under a name of its own.
    const std::vector<std::string> others = Others();
    ASSERT_EQ(others.size(), 1u);
    EXPECT_EQ(others[0].rfind(".out.p7.token-host-", 0), 0u) << others[0];
    EXPECT_GT(std::filesystem::file_size(work_.Path() + "/" + others[0]), 0u);
}

}  // namespace
}  // namespace hardening
