#include "common/host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::vector<std::string> ChildEnvironment(const HostProcess::Options& options) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals == nullptr) continue;
        variables[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
    }
    for (const std::string& name : options.unset) variables.erase(name);
    for (const auto& [name, value] : options.env) variables[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
    return result;
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

std::string LengthPrefix(uint32_t length) {
    std::string prefix(4, '\0');
    for (int i = 0; i < 4; ++i) prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return prefix;
}

std::string Frame(const std::string& body) { return LengthPrefix(static_cast<uint32_t>(body.size())) + body; }

HostProcess::HostProcess() : HostProcess(Options{}) {}

HostProcess::HostProcess(const Options& options) {
    // A host that has already exited must show as a failed write, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0) return;
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    if (options.closeStderr) {
        posix_spawn_file_actions_addclose(&actions, STDERR_FILENO);
    } else if (!options.stderrFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.stderrFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }

    std::vector<std::string> args = {options.binary};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = ChildEnvironment(options);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int error = posix_spawn(&pid, options.binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    if (error != 0) {
        close(input[1]);
        close(output[0]);
        return;
    }
    pid_ = pid;
    toHost_ = input[1];
    fromHost_ = output[0];
}

HostProcess::~HostProcess() {
    CloseStdin();
    if (pid_ > 0 && !WaitExit(std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    CloseIfOpen(fromHost_);
}

bool HostProcess::Collect(std::chrono::milliseconds timeout) {
    if (outputClosed_ || fromHost_ < 0) return false;
    pollfd poller{fromHost_, POLLIN, 0};
    const int ready = poll(&poller, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) return true;
    char block[65536];
    const ssize_t got = read(fromHost_, block, sizeof block);
    if (got > 0) {
        pending_.append(block, static_cast<size_t>(got));
        return true;
    }
    if (got < 0 && errno == EINTR) return true;
    outputClosed_ = true;
    return false;
}

bool HostProcess::SendRaw(const std::string& bytes) {
    if (toHost_ < 0) return false;
    size_t written = 0;
    while (written < bytes.size()) {
        pollfd pollers[2] = {{toHost_, POLLOUT, 0}, {fromHost_, POLLIN, 0}};
        const nfds_t count = outputClosed_ ? 1 : 2;
        if (poll(pollers, count, 10000) <= 0) return false;
        if (count == 2 && (pollers[1].revents & (POLLIN | POLLHUP))) Collect(std::chrono::milliseconds(0));
        if (pollers[0].revents & (POLLERR | POLLHUP)) return false;
        if (!(pollers[0].revents & POLLOUT)) continue;
        const size_t chunk = std::min<size_t>(bytes.size() - written, 65536);
        const ssize_t put = write(toHost_, bytes.data() + written, chunk);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        written += static_cast<size_t>(put);
    }
    return true;
}

void HostProcess::CloseStdin() { CloseIfOpen(toHost_); }

std::optional<std::string> HostProcess::ReadFrame(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (pending_.size() >= 4) {
            uint32_t length = 0;
            for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(pending_[i])) << (8 * i);
            if (pending_.size() >= 4 + static_cast<size_t>(length)) {
                std::string body = pending_.substr(4, length);
                pending_.erase(0, 4 + static_cast<size_t>(length));
                return body;
            }
        }
        const int left = RemainingMs(deadline);
        if (left == 0 || !Collect(std::chrono::milliseconds(left))) return std::nullopt;
    }
}

std::string HostProcess::ReadUntilClosed(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (RemainingMs(deadline) > 0 && Collect(std::chrono::milliseconds(RemainingMs(deadline)))) {
    }
    std::string all;
    all.swap(pending_);
    return all;
}

std::optional<int> HostProcess::WaitExit(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) return status_;
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = status;
            return status_;
        }
        if (done < 0 && errno != EINTR) return std::nullopt;
        if (RemainingMs(deadline) == 0) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int HostProcess::ExitCode(std::chrono::milliseconds timeout) {
    const std::optional<int> status = WaitExit(timeout);
    if (!status || !WIFEXITED(*status)) return -1;
    return WEXITSTATUS(*status);
}
