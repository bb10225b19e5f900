// token-client against the real host, and against a scripted host that sends
// a result in two pieces.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/host_process.h"

namespace {

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = "/tmp/token-client-test.XXXXXX";
        path_ = mkdtemp(pattern.data());
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Runs a shell command line; returns its exit code and standard output.
int RunCommand(const std::string& command, std::string& output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char block[4096];
    size_t got;
    output.clear();
    while ((got = fread(block, 1, sizeof block, pipe)) > 0) output.append(block, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// The client as the start of a command line, run by the build's launcher.
std::string Client() {
    return (kTestLauncher.empty() ? "" : Quoted(kTestLauncher) + " ") + Quoted(TOKEN_CLIENT_BINARY);
}

// Options that make the client start the real host.
std::string RealHost() {
    return " --host " + Quoted(TOKEN_HOST_BINARY) + (kTestLauncher.empty() ? "" : " --launcher " + Quoted(kTestLauncher));
}

TEST(TokenClient, PrintsRepliesAndSavesTheLastText) {
    ScratchDir dir;
    std::string output;
    const int code = RunCommand("TOKEN_HOST_MODULE=/nonexistent/m.so " + Client() + RealHost() + " --save '" +
                                    (dir / "saved").string() +
                                    "' '{\"ZEKA\":\"Nope\"}' '{\"ZEKA\":\"GMUsbKeySign\",\"tabID\":4}'"
                                    " '{\"ZEKA\":\"GetVersion\",\"tabID\":7}'",
                                output);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("no reply expected"), std::string::npos) << output;
    EXPECT_NE(output.find("cmd=GMUsbKeySign tabID=4 text=-304"), std::string::npos) << output;
    EXPECT_NE(output.find("cmd=GetVersion tabID=7 text=\"1.0.21.1015\""), std::string::npos) << output;
    EXPECT_EQ(ReadFile(dir / "saved"), "1.0.21.1015");
}

TEST(TokenClient, FollowsPiecesWithGetMoreData) {
    ScratchDir dir;
    const std::string seen = (dir / "more-data-request").string();
    // Answers the first request with two pieces and records what came
    // between them; ends on the empty message.
    std::ofstream(dir / "fake-host") << "#!/bin/sh\n"
                                        "frame() { n=$(printf '%s' \"$1\" | wc -c)\n"
                                        "  printf \"$(printf '\\\\%03o' $((n % 256)) $((n / 256)) 0 0)\"\n"
                                        "  printf '%s' \"$1\"; }\n"
                                        "body() { n=$(head -c 4 | od -An -tu4 | tr -d ' '); head -c \"$n\"; }\n"
                                        "body > /dev/null\n"
                                        "frame '{\"cmd\":\"GMUsbKeySign\",\"lastData\":false,\"tabID\":3,\"text\":\"abc\"}'\n"
                                        "body > '" + seen + "'\n"
                                        "frame '{\"cmd\":\"GMUsbKeySign\",\"lastData\":true,\"tabID\":3,\"text\":\"def\"}'\n"
                                        "head -c 4 > /dev/null\n";
    chmod((dir / "fake-host").c_str(), 0700);
    std::string output;
    const int code = RunCommand(Client() + " --host '" + (dir / "fake-host").string() + "' --save '" +
                                    (dir / "joined").string() + "' '{\"ZEKA\":\"GMUsbKeySign\",\"tabID\":3}'",
                                output);
    EXPECT_EQ(code, 0) << output;
    EXPECT_EQ(ReadFile(dir / "joined"), "abcdef");
    EXPECT_EQ(ReadFile(seen), "{\"ZEKA\":\"GetMoreData\",\"tabID\":3}");
    EXPECT_NE(output.find("pieces=2"), std::string::npos) << output;
}

TEST(TokenClient, StartsTheHostThroughTheLauncher) {
    ScratchDir dir;
    const std::string seen = (dir / "launched").string();
    // Records what it was asked to run, then runs it (through the build's launcher, if any).
    std::ofstream(dir / "launcher") << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << seen << "'\nexec "
                                    << (kTestLauncher.empty() ? "" : Quoted(kTestLauncher) + " ") << "\"$@\"\n";
    chmod((dir / "launcher").c_str(), 0700);
    std::string output;
    const int code = RunCommand("TOKEN_HOST_MODULE=/nonexistent/m.so " + Client() + " --host " +
                                    Quoted(TOKEN_HOST_BINARY) + " --launcher " + Quoted((dir / "launcher").string()) +
                                    " '{\"ZEKA\":\"GetVersion\",\"tabID\":2}'",
                                output);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("cmd=GetVersion tabID=2 text=\"1.0.21.1015\""), std::string::npos) << output;
    EXPECT_EQ(ReadFile(seen), std::string(TOKEN_HOST_BINARY) + "\n");
}

}  // namespace
