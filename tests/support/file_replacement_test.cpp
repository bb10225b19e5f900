#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/file_replacement.h"

namespace {

namespace fs = std::filesystem;

class FileReplacementTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "file-replacement-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        target_ = dir_ + "/out.p7";
    }
    void TearDown() override { fs::remove_all(dir_); }

    static void Put(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
    std::string target_;
};

TEST_F(FileReplacementTest, CommitPutsANewFileUnderTheNameAndNeverWritesThroughALink) {
    const mode_t previousMask = umask(027);
    const std::string linked = dir_ + "/linked";
    const struct {
        const char* what;
        void (*prepare)(const std::string& target, const std::string& linked);
    } before[] = {
        {"nothing", [](const std::string&, const std::string&) {}},
        {"a file", [](const std::string& target, const std::string&) {
             Put(target, "earlier content, longer than the new");
             chmod(target.c_str(), 0600);
         }},
        {"a link", [](const std::string& target, const std::string& linked) {
             Put(linked, "the link's target");
             symlink(linked.c_str(), target.c_str());
         }},
    };
    for (const auto& b : before) {
        SCOPED_TRACE(b.what);
        fs::remove(target_);
        b.prepare(target_, linked);
        {
            FileReplacement file(target_, "test");
            ASSERT_TRUE(file.IsOpen());
            ASSERT_TRUE(file.Write("new ", 4));
            ASSERT_TRUE(file.Write("content", 7));
            ASSERT_TRUE(file.Commit());
        }
        struct stat info {};
        ASSERT_EQ(lstat(target_.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        EXPECT_EQ(Get(target_), "new content");
        EXPECT_EQ(Entries().size(), fs::exists(linked) ? 2u : 1u);  // no temporary left
    }
    EXPECT_EQ(Get(linked), "the link's target");
    umask(previousMask);

    // The temporary's name stays within NAME_MAX however long the final one is.
    const std::string longName = dir_ + "/" + std::string(NAME_MAX, 'n');
    FileReplacement file(longName, "test");
    ASSERT_TRUE(file.IsOpen());
    ASSERT_TRUE(file.Commit());
    EXPECT_TRUE(fs::exists(longName));
}

TEST_F(FileReplacementTest, NothingChangesUnlessCommitted) {
    Put(target_, "earlier");
    {
        FileReplacement file(target_, "test");
        ASSERT_TRUE(file.IsOpen());
        ASSERT_TRUE(file.Write("partial", 7));
        const std::vector<std::string> names = Entries();
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[0].rfind(".out.p7.test-", 0), 0u) << names[0];
        EXPECT_NE(names[0].find(".unfinished"), std::string::npos) << names[0];
        EXPECT_EQ(Get(target_), "earlier");
    }
    EXPECT_EQ(Get(target_), "earlier");
    EXPECT_EQ(Entries(), std::vector<std::string>{"out.p7"});
}

TEST_F(FileReplacementTest, OnlyARegularFileOrALinkIsReplaced) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, dir_, dir_ + "/missing/out.p7", std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        FileReplacement file(path, "test");
        EXPECT_FALSE(file.IsOpen());
        EXPECT_FALSE(file.Write("x", 1));
        EXPECT_FALSE(file.Commit());
    }
    EXPECT_EQ(Entries(), std::vector<std::string>{"fifo"});
}

}  // namespace
