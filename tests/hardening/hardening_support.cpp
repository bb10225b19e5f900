#include "hardening/hardening_support.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <json/reader.h>

#include "common/host_process.h"
#include "common/softtoken_fixture.h"
#include "tools/child_process.h"

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
    const ChildResult run = RunChild(SoftTokenDir::ToolRun(dir, args));
    return ToolOutput{run.exitCode, run.output};
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
                      std::chrono::milliseconds replyTimeout, const std::string& module,
                      const std::string& logFile) {
    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = module.empty() ? SoftTokenModule() : module;
    options.env["SOFTTOKEN_DIR"] = stateDir;
    options.env["TOKEN_HOST_CHOOSER"] = "/bin/false";
    if (!logFile.empty()) options.env["TOKEN_HOST_LOG"] = logFile;
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
