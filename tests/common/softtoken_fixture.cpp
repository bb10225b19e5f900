#include "common/softtoken_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "common/host_process.h"

SoftTokenDir::SoftTokenDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "softtoken-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
    if (const char* previous = std::getenv("SOFTTOKEN_DIR")) previousDir_ = previous;
    setenv("SOFTTOKEN_DIR", path_.c_str(), 1);
}

SoftTokenDir::~SoftTokenDir() {
    if (previousDir_) {
        setenv("SOFTTOKEN_DIR", previousDir_->c_str(), 1);
    } else {
        unsetenv("SOFTTOKEN_DIR");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string SoftTokenDir::ModulePath() { return SOFTTOKEN_MODULE; }
std::string SoftTokenDir::ToolPath() { return SOFTTOKEN_TOOL; }

ChildOptions SoftTokenDir::ToolRun(const std::string& dir, const std::vector<std::string>& args) {
    ChildOptions options;
    options.argv = {ToolPath(), "--dir", dir};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.launcher = kTestLauncher;
    options.pipeOutput = true;
    return options;
}

ToolResult SoftTokenDir::Tool(std::vector<std::string> args) const {
    const ChildResult run = RunChild(ToolRun(path_, args));
    return ToolResult{run.exitCode, run.output};
}
