// A token-host child process driven the way the browser drives it, with the
// timings and the resource usage a benchmark needs.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/child_process.h"

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start);

// Runs a program to its end with the given arguments; returns its exit code
// (-1 when it could not run) and its resource usage.
int RunProgram(const std::vector<std::string>& argv, rusage* usage = nullptr, const std::string& stdoutPath = "");

class HostDriver {
public:
    // Starts the host with these variables added to the environment.
    HostDriver(const std::string& binary, const std::map<std::string, std::string>& env);
    HostDriver(const HostDriver&) = delete;
    HostDriver& operator=(const HostDriver&) = delete;

    bool Started() const { return host_.Started(); }
    bool Send(const std::string& body);
    // The next reply body; empty when the output ends.
    std::string Receive();
    // Sends the empty message and waits for the exit; false unless status 0.
    bool Finish(rusage* usage);

private:
    bool Fill();

    ChildProcess host_;
    std::vector<char> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

// What one reply envelope holds, read without a general JSON parser so that
// the driver costs little beside the host: "text" as a string (Base64 needs
// no escapes) or as the number of an error code.
struct Envelope {
    bool ok = false;
    bool lastData = false;
    bool textIsString = false;
    std::string_view text;  // points into the body
};
Envelope ParseEnvelope(const std::string& body);
