// A program started as a child process, with pipes on the standard streams
// the caller asks for: the token client, the tests and the benchmarks all talk
// to the host (and run the software token's tool) through it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ChildOptions {
    // argv[0] names the program: a path, or with searchPath a name looked up in PATH.
    std::vector<std::string> argv;
    bool searchPath = false;
    // When set, the program (a path, or a name looked up in PATH) that runs
    // argv: an emulator for a program built for another machine. argv[0]
    // must then be a path.
    std::string launcher;
    // Set in the child's environment, on top of the inherited one.
    std::map<std::string, std::string> env;
    // Removed from the inherited environment.
    std::vector<std::string> unset;
    // Pipes on the child's standard input and output; unpiped streams are
    // inherited, or standard output goes to stdoutFile when one is named.
    bool pipeInput = false;
    bool pipeOutput = false;
    std::string stdoutFile;
    // Standard error goes to stderrFile when one is named, or is closed.
    std::string stderrFile;
    bool closeStderr = false;
    // Sent to a child that is still running when its ChildProcess goes away.
    int stopSignal = SIGKILL;
};

// Options for a child with pipes on its standard input and output.
ChildOptions PipedChild(std::vector<std::string> argv, std::map<std::string, std::string> env = {});

class ChildProcess {
public:
    explicit ChildProcess(const ChildOptions& options);
    // Closes the pipes; a child still running gets the stop signal and is reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    // Why the child did not start (an errno value), 0 once it has.
    int StartError() const { return startError_; }

    // Our ends of the pipes, -1 when there is none (or it was closed).
    int Input() const { return toChild_; }
    int Output() const { return fromChild_; }
    // Writes all bytes to the child's input, waiting as long as it takes;
    // false when the child stops reading.
    bool WriteAll(const void* data, size_t size);
    void CloseInput();

    // The wait status once the child has exited, waiting as long as it takes;
    // nothing when there is no child to wait for.
    std::optional<int> Wait(rusage* usage = nullptr);
    // The same, giving up (and leaving the child running) after the timeout.
    std::optional<int> WaitFor(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int startError_ = 0;
    int toChild_ = -1;
    int fromChild_ = -1;
    int stopSignal_ = SIGKILL;
    std::optional<int> status_;
};

// Runs a program to its end. exitCode is -1 when it could not run or did not
// exit normally; output holds what it wrote on standard output when piped.
struct ChildResult {
    int exitCode = -1;
    std::string output;
};
ChildResult RunChild(const ChildOptions& options, rusage* usage = nullptr);
