// Answers of a module that misreports lengths and counts: the host believes
// no length beyond the buffer it describes, answers with an error code, and
// closes its sessions.
#include <gtest/gtest.h>

#include "common/host_process.h"
#include "hardening/hardening_support.h"

namespace hardening {
namespace {

const std::string kSignRsa =
    R"({"ZEKA":"GMUsbKeySign","tabID":4,"DeSignerDN":"CN=Demo RSA User,O=Demo Bank,C=CN","HashName":"SHA256",)"
    R"("XmlMsg":"<a>1</a>","KeyMsg":"k","FilePath":""})";
const std::string kKeyCount = R"({"ZEKA":"GetPublicKeyNum","tabID":5})";

class LyingModule : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(RunTool(state_.Path(), {"demo"}).exitCode, 0); }

    // Runs the requests against the lying module; every one must be answered.
    std::vector<Json::Value> Run(const std::string& lie, const std::vector<std::string>& requests) {
        HostProcess::Options options;
        options.env["TOKEN_HOST_MODULE"] = LYING_MODULE;
        options.env["SOFTTOKEN_DIR"] = state_.Path();
        options.env["TOKEN_LIE"] = lie;
        HostProcess host(options);
        std::vector<Json::Value> replies;
        for (const std::string& request : requests) {
            host.SendMessage(request);
            const std::optional<std::string> frame = host.ReadFrame(std::chrono::seconds(30));
            EXPECT_TRUE(frame.has_value()) << lie << ": no answer to " << request;
            if (!frame) break;
            replies.push_back(ParseReply(*frame).value_or(Json::Value()));
        }
        host.SendEnd();
        EXPECT_EQ(host.ExitCode(std::chrono::seconds(30)), 0) << lie;
        EXPECT_EQ(ToolNumber(state_.Path(), "sessions"), 0) << lie;
        return replies;
    }

    ScratchDir state_{"lying-module"};
};

// Used to allocate whatever was claimed (4 GiB and up, or a buffer that
// wrapped round to nothing while the module was told it was huge).
TEST_F(LyingModule, AbsurdAttributeLengthsAreRefused) {
    for (const char* length : {"0x1000001", "0xffffffff", "0x100000000", "0x10000000000", "0xfffffffffffffffe",
                               "0xfffffffffffffff0"}) {
        const std::vector<Json::Value> replies = Run(std::string("attribute-length:") + length, {kSignRsa, kKeyCount});
        ASSERT_EQ(replies.size(), 2u) << length;
        EXPECT_TRUE(replies[0]["text"].isIntegral()) << length;
        EXPECT_NE(replies[0]["text"], 0) << length;
    }
}

TEST_F(LyingModule, ObjectCountsBeyondTheRequestAreClamped) {
    for (const char* count : {"11", "1000", "0xffffffffffffffff"}) {
        const std::vector<Json::Value> replies = Run(std::string("find-count:") + count, {kSignRsa, kKeyCount});
        ASSERT_EQ(replies.size(), 2u) << count;
    }
}

}  // namespace
}  // namespace hardening
