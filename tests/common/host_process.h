// Runs build/token-host as a child process with pipes on its standard input
// and output, for tests that talk to it the way a browser does.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/child_process.h"

// The 4-byte little-endian length prefix, and a whole frame.
std::string LengthPrefix(uint32_t length);
std::string Frame(const std::string& body);

// What runs the programs of this build when a test starts them: the
// emulator of a cross build, or empty where they run directly.
inline const std::string kTestLauncher = TOKEN_HOST_TEST_LAUNCHER;

class HostProcess {
public:
    struct Options {
        std::string binary = TOKEN_HOST_BINARY;
        std::vector<std::string> args;
        // Runs binary; clear it when binary is not of this build (a shell).
        std::string launcher = kTestLauncher;
        // Set in the child's environment (on top of the inherited one).
        std::map<std::string, std::string> env;
        // Removed from the inherited environment.
        std::vector<std::string> unset;
        // The host's standard error goes to this file (inherited when empty),
        // or is closed.
        std::string stderrFile;
        bool closeStderr = false;
    };

    HostProcess();
    explicit HostProcess(const Options& options);
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    bool Started() const { return child_.Started(); }
    pid_t Pid() const { return child_.Pid(); }

    // Writes bytes to the host's standard input; output arriving meanwhile
    // is collected, so large writes cannot deadlock against replies.
    bool SendRaw(const std::string& bytes);
    bool SendMessage(const std::string& json) { return SendRaw(Frame(json)); }
    // The empty message that ends the host.
    bool SendEnd() { return SendRaw(LengthPrefix(0)); }
    void CloseStdin();

    // The body of the next complete frame, or nothing when none arrives in
    // time (or the output ends first).
    std::optional<std::string> ReadFrame(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Everything the host writes until it closes its output (or the time
    // runs out), including bytes already collected.
    std::string ReadUntilClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The wait status once the host has exited, or nothing if it is still
    // running after the timeout.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The exit code, or -1 when the host did not exit normally in time.
    int ExitCode(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    // Reads what is available within the timeout; false at end of output.
    bool Collect(std::chrono::milliseconds timeout);

    ChildProcess child_;
    bool outputClosed_ = false;
    std::string pending_;
};
