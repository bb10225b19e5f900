// Helpers for the hardening tests: software-token state directories that can
// be copied (one per host process, so processes can run side by side), the
// token tool run without touching the test's environment, and a host
// conversation that reports what happened instead of asserting.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

namespace hardening {

// A fresh directory under the system's temporary folder, removed with the object.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& stem = "hardening");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

struct ToolOutput {
    int exitCode = -1;
    std::string out;
};

// softtoken-tool --dir dir args...; safe to call from several threads.
ToolOutput RunTool(const std::string& dir, const std::vector<std::string>& args);
// A number the tool printed ("sessions", "calls"); -1 when it failed.
long ToolNumber(const std::string& dir, const std::string& command);
// Copies every file of one state directory into another.
void CopyState(const std::string& from, const std::string& to);

// Parses one reply frame; nullopt when it is not a JSON object.
std::optional<Json::Value> ParseReply(const std::string& body);

// Everything one host process did with a sequence of requests.
struct Conversation {
    bool started = false;
    std::vector<std::optional<std::string>> replies;  // one per request; nullopt: none in time
    std::string trailing;                             // output after the last expected reply
    int exitCode = -1;                                // -1: did not exit normally in time
};

// Runs the host with the software token of stateDir (or moduleOverride), sends
// each request and waits for one reply to each (expectReply false: none is
// read), then ends the host with an empty message. A logFile given is the
// host's TOKEN_HOST_LOG.
struct Request {
    std::string body;
    bool expectReply = true;
    bool raw = false;  // body is already framed bytes
};
Conversation Converse(const std::string& stateDir, const std::vector<Request>& requests,
                      std::chrono::milliseconds replyTimeout = std::chrono::seconds(30),
                      const std::string& module = "", const std::string& logFile = "");

// The module path of the software token, and one that does not exist.
std::string SoftTokenModule();
constexpr const char* kMissingModule = "/nonexistent/token-module.so";

}  // namespace hardening
