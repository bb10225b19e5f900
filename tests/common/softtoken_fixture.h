// Test helper for the software token: a fresh state directory per test.
//
//   SoftTokenDir dir;                       // mkdtemp + SOFTTOKEN_DIR=<it>
//   dir.Tool({"demo"});                     // softtoken-tool --dir <it> demo
//   ToolResult r = dir.Tool({"list"});      // r.exitCode, r.out (stdout)
//   void* module = dlopen(SoftTokenDir::ModulePath().c_str(), RTLD_NOW);
//
// The destructor removes the directory and restores SOFTTOKEN_DIR as it was.
// The tool's stderr is passed through to the test's stderr.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/child_process.h"

struct ToolResult {
    int exitCode = -1;  // -1 when the tool could not be run or was killed
    std::string out;    // everything it wrote on stdout
};

class SoftTokenDir {
public:
    SoftTokenDir();
    ~SoftTokenDir();
    SoftTokenDir(const SoftTokenDir&) = delete;
    SoftTokenDir& operator=(const SoftTokenDir&) = delete;

    const std::string& Path() const { return path_; }

    // Runs softtoken-tool with "--dir Path()" in front of args.
    ToolResult Tool(std::vector<std::string> args) const;

    static std::string ModulePath();  // the built libsofttoken.so
    static std::string ToolPath();    // the built softtoken-tool
    // softtoken-tool --dir dir args..., its output piped.
    static ChildOptions ToolRun(const std::string& dir, const std::vector<std::string>& args);

private:
    std::string path_;
    std::optional<std::string> previousDir_;
};
