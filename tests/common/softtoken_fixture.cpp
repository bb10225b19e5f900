#include "common/softtoken_fixture.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

extern char** environ;

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

ToolResult SoftTokenDir::Tool(std::vector<std::string> args) const {
    args.insert(args.begin(), {ToolPath(), "--dir", path_});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    ToolResult result;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    pid_t child = 0;
    int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned == 0) {
        char chunk[4096];
        for (ssize_t got; (got = read(pipeEnds[0], chunk, sizeof chunk)) != 0;) {
            if (got < 0) {
                if (errno == EINTR) continue;
                break;
            }
            result.out.append(chunk, static_cast<size_t>(got));
        }
    }
    close(pipeEnds[0]);
    if (spawned != 0) return result;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}
