// The file chooser run through the facade with a fake chooser script. The
// result file is the fixed one, so these cases must not run in parallel with
// other users of it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "facade/PKCSHandle.h"
#include "facade/facade_environment.h"
#include "facade/file_chooser.h"

namespace {

const std::string kResultFile = "/tmp/.dv_chooseFile";

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void RemoveResultFile() {
    std::error_code ignored;
    std::filesystem::remove_all(kResultFile, ignored);
}

class Chooser : public ::testing::Test {
protected:
    void SetUp() override { RemoveResultFile(); }
    void TearDown() override { RemoveResultFile(); }

    long Choose() {
        result = ResultVector{'o', 'l', 'd'};
        return tested.facade.ChooseFile(result);
    }
    std::string ChosenText() const {
        EXPECT_FALSE(result.empty());
        EXPECT_EQ(result.back(), 0);
        return std::string(result.begin(), result.end() - 1);
    }

    FacadeUnderTest tested;
    ResultVector result;
};

TEST_F(Chooser, NonzeroExitIsReturnedAsTheRawStatus) {
    WriteFakeChooser("exit 2\n");
    EXPECT_EQ(Choose(), 512);
    EXPECT_EQ(result, (ResultVector{'o', 'l', 'd'})) << "no result on failure";
    WriteFakeChooser("exit 1\n");
    EXPECT_EQ(Choose(), 256);
}

TEST_F(Chooser, ChosenPathIsReturnedUnchanged) {
    const std::filesystem::path arguments = FakeChooserPath().parent_path() / "arguments";
    WriteFakeChooser("echo \"$@\" > \"$(dirname \"$0\")/arguments\"\n"
                     "printf '/home/me/a b.txt\\n/home/me/c.txt' > " + kResultFile + "\n");
    EXPECT_EQ(Choose(), 0);
    EXPECT_EQ(ChosenText(), "/home/me/a b.txt\n/home/me/c.txt");
    EXPECT_EQ(ReadFile(arguments), "0 16 2052\n");
}

TEST_F(Chooser, StaleResultOfAnEarlierRunIsNotReturned) {
    std::ofstream(kResultFile) << "/old/choice";
    WriteFakeChooser("exit 0\n");
    EXPECT_EQ(Choose(), 0);
    EXPECT_EQ(ChosenText(), "");
}

TEST_F(Chooser, ResultThatIsNotOurRegularFileReadsAsNoChoice) {
    const std::filesystem::path secret = FakeChooserPath().parent_path() / "secret";
    std::ofstream(secret) << "secret";
    WriteFakeChooser("ln -s \"$(dirname \"$0\")/secret\" " + kResultFile + "\n");
    EXPECT_EQ(Choose(), 0);
    EXPECT_EQ(ChosenText(), "") << "links are not followed";

    WriteFakeChooser("mkfifo " + kResultFile + "\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Choose(), 0);
    EXPECT_EQ(ChosenText(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "a FIFO must not block";
}

TEST_F(Chooser, ResultOwnedBySomeoneElseIsNotRead) {
    if (geteuid() != 0) GTEST_SKIP() << "needs to hand a file to another user";
    std::ofstream(kResultFile) << "/planted";
    ASSERT_EQ(chown(kResultFile.c_str(), 65534, 65534), 0);
    std::string chosen = "x";
    EXPECT_EQ(ReadChooserResult(kResultFile.c_str(), chosen), 0);
    EXPECT_EQ(chosen, "");
}

// Its content would be taken for this choice (or someone else could read it).
TEST_F(Chooser, ResultFileThatCannotBeRemovedFailsWithoutRunningTheChooser) {
    ASSERT_EQ(mkdir(kResultFile.c_str(), 0700), 0);
    const std::filesystem::path ran = FakeChooserPath().parent_path() / "ran";
    WriteFakeChooser("touch \"$(dirname \"$0\")/ran\"\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Choose(), -1);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, (ResultVector{'o', 'l', 'd'}));
    EXPECT_FALSE(std::filesystem::exists(ran));
    EXPECT_NE(said.find(kResultFile), std::string::npos) << said;
}

TEST_F(Chooser, OversizedResultIsRefused) {
    WriteFakeChooser("head -c " + std::to_string(kMaxChooserResultSize + 1) + " /dev/zero | tr '\\0' a > " +
                     kResultFile + "\n");
    EXPECT_EQ(Choose(), -302);
    WriteFakeChooser("head -c " + std::to_string(kMaxChooserResultSize) + " /dev/zero | tr '\\0' a > " +
                     kResultFile + "\n");
    EXPECT_EQ(Choose(), 0);
    EXPECT_EQ(ChosenText().size(), kMaxChooserResultSize);
}

// The browser's input while the chooser runs: a pipe or a socket (parameter).
class ChooserWatch : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        int ends[2];
        const int made = GetParam() ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) : pipe2(ends, O_CLOEXEC);
        ASSERT_EQ(made, 0);
        input_ = ends[0];
        browser_ = ends[1];
    }
    void TearDown() override {
        close(input_);
        if (browser_ >= 0) close(browser_);
    }
    int Pending() const {
        int pending = -1;
        ioctl(input_, FIONREAD, &pending);
        return pending;
    }

    int input_ = -1;
    int browser_ = -1;
};

TEST_P(ChooserWatch, WaitingRequestsStayUnreadAndOnlyTheEndStopsTheChooser) {
    const std::string request = "\x02\x00\x00\x00{}";
    ASSERT_EQ(write(browser_, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    WriteFakeChooser("sleep 0.3\nexit 3\n");
    EXPECT_EQ(RunChooserProgram(FakeChooserPath().string(), input_), 3 << 8);
    EXPECT_EQ(Pending(), static_cast<int>(request.size()));

    close(browser_);
    browser_ = -1;
    WriteFakeChooser("exec sleep 600\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunChooserProgram(FakeChooserPath().string(), input_), kChooserInputEnded);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(Pending(), static_cast<int>(request.size()));
}

INSTANTIATE_TEST_SUITE_P(, ChooserWatch, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "Socket" : "Pipe";
});

TEST(ChooserProgram, StatusesMatchWhatTheShellWouldReport) {
    EXPECT_EQ(RunChooserProgram("/nonexistent/chooser"), 127 << 8);
    WriteFakeChooser("kill -9 $$\n");
    EXPECT_EQ(RunChooserProgram(FakeChooserPath().string()), 9);
    WriteFakeChooser("exit 0\n");
    EXPECT_EQ(RunChooserProgram(FakeChooserPath().string()), 0);
}

}  // namespace
