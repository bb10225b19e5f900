#include "facade/facade_environment.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

namespace {

std::filesystem::path& ChooserDirectory() {
    static std::filesystem::path directory;
    return directory;
}

class FacadeEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string pattern = "/tmp/facade-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        // A name a shell would split or interpret.
        ChooserDirectory() = std::filesystem::path(pattern) / "it's a $dir; & more";
        std::filesystem::create_directory(ChooserDirectory());
    }
    void TearDown() override { std::filesystem::remove_all(ChooserDirectory().parent_path()); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new FacadeEnvironment);

}  // namespace

const std::filesystem::path& FakeChooserPath() {
    static const std::filesystem::path path = ChooserDirectory() / "chooser";
    return path;
}

void WriteFakeChooser(const std::string& body) {
    std::ofstream(FakeChooserPath()) << "#!/bin/sh\n" << body;
    chmod(FakeChooserPath().c_str(), 0700);
}
