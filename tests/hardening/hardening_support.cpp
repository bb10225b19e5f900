#include "hardening/hardening_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <json/reader.h>

#include "common/host_process.h"
#include "common/softtoken_fixture.h"

extern char** environ;

namespace hardening {

namespace fs = std::filesystem;

ScratchDir::ScratchDir(const std::string& stem) {
    std::string pattern = (fs::temp_directory_path() / (stem + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ToolOutput RunTool(const std::string& dir, const std::vector<std::string>& args) {
    std::vector<std::string> all = {SoftTokenDir::ToolPath(), "--dir", dir};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);

    ToolOutput result;
    int ends[2];
    // Close-on-exec, so hosts started by other threads do not hold the pipe open.
    if (pipe2(ends, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (spawned == 0) {
        char chunk[4096];
        for (ssize_t got; (got = read(ends[0], chunk, sizeof chunk)) != 0;) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;
            result.out.append(chunk, static_cast<size_t>(got));
        }
    }
    close(ends[0]);
    if (spawned != 0) return result;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

long ToolNumber(const std::string& dir, const std::string& command) {
    const ToolOutput output = RunTool(dir, {command});
    if (output.exitCode != 0) return -1;
    try {
        return std::stol(output.out);
    } catch (const std::exception&) {
        return -1;
    }
}

void CopyState(const std::string& from, const std::string& to) {
    fs::copy(from, to, fs::copy_options::overwrite_existing | fs::copy_options::recursive);
}

std::optional<Json::Value> ParseReply(const std::string& body) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    if (!reader->parse(body.data(), body.data() + body.size(), &value, nullptr) || !value.isObject()) {
        return std::nullopt;
    }
    return value;
}

std::string SoftTokenModule() { return SoftTokenDir::ModulePath(); }

Conversation Converse(const std::string& stateDir, const std::vector<Request>& requests,
                      std::chrono::milliseconds replyTimeout, const std::string& module) {
    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = module.empty() ? SoftTokenModule() : module;
    options.env["SOFTTOKEN_DIR"] = stateDir;
    options.env["TOKEN_HOST_CHOOSER"] = "/bin/false";
    HostProcess host(options);
    Conversation conversation;
    conversation.started = host.Started();
    if (!conversation.started) return conversation;
    for (const Request& request : requests) {
        host.SendRaw(request.raw ? request.body : Frame(request.body));
        if (request.expectReply) conversation.replies.push_back(host.ReadFrame(replyTimeout));
    }
    host.SendEnd();
    conversation.trailing = host.ReadUntilClosed(replyTimeout);
    conversation.exitCode = host.ExitCode(replyTimeout);
    return conversation;
}

}  // namespace hardening
