#include "tools/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The inherited environment with the options' changes; nothing when there
// are none, so the child gets ours as it is.
std::optional<std::vector<std::string>> ChildEnvironment(const ChildOptions& options) {
    if (options.env.empty() && options.unset.empty()) return std::nullopt;
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals == nullptr) continue;
        const std::string name(*entry, static_cast<size_t>(equals - *entry));
        bool replaced = options.env.count(name) != 0;
        for (const std::string& removed : options.unset) replaced = replaced || removed == name;
        if (!replaced) result.emplace_back(*entry);
    }
    for (const auto& [name, value] : options.env) result.push_back(name + "=" + value);
    return result;
}

// The command line with the launcher, if any, in front.
std::vector<std::string> LaunchedArgv(const ChildOptions& options) {
    if (options.launcher.empty()) return options.argv;
    std::vector<std::string> argv{options.launcher};
    argv.insert(argv.end(), options.argv.begin(), options.argv.end());
    return argv;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Both ends of a pipe, closed on exec so that no other child inherits them.
struct Pipe {
    int ends[2] = {-1, -1};
    bool Open() { return pipe2(ends, O_CLOEXEC) == 0; }
    ~Pipe() {
        CloseIfOpen(ends[0]);
        CloseIfOpen(ends[1]);
    }
    int Take(int which) {
        const int fd = ends[which];
        ends[which] = -1;
        return fd;
    }
};

// Standard streams of the child as the options want them.
class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    void Redirect(int fd, int target) { posix_spawn_file_actions_adddup2(&actions_, fd, target); }
    void Open(int target, const std::string& path, mode_t mode) {
        posix_spawn_file_actions_addopen(&actions_, target, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    }
    void Close(int target) { posix_spawn_file_actions_addclose(&actions_, target); }
    const posix_spawn_file_actions_t* Get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

}  // namespace

ChildOptions PipedChild(std::vector<std::string> argv, std::map<std::string, std::string> env) {
    ChildOptions options;
    options.argv = std::move(argv);
    options.env = std::move(env);
    options.pipeInput = true;
    options.pipeOutput = true;
    return options;
}

ChildProcess::ChildProcess(const ChildOptions& options) : stopSignal_(options.stopSignal) {
    if (options.argv.empty()) {
        startError_ = EINVAL;
        return;
    }
    Pipe input, output;
    if ((options.pipeInput && !input.Open()) || (options.pipeOutput && !output.Open())) {
        startError_ = errno;
        return;
    }
    SpawnActions actions;
    if (options.pipeInput) actions.Redirect(input.ends[0], STDIN_FILENO);
    if (options.pipeOutput) {
        actions.Redirect(output.ends[1], STDOUT_FILENO);
    } else if (!options.stdoutFile.empty()) {
        actions.Open(STDOUT_FILENO, options.stdoutFile, 0644);
    }
    if (options.closeStderr) {
        actions.Close(STDERR_FILENO);
    } else if (!options.stderrFile.empty()) {
        actions.Open(STDERR_FILENO, options.stderrFile, 0600);
    }

    std::vector<std::string> args = LaunchedArgv(options);
    std::vector<char*> argv = Pointers(args);
    std::optional<std::vector<std::string>> env = ChildEnvironment(options);
    std::vector<char*> envp = env ? Pointers(*env) : std::vector<char*>();
    char* const* childEnv = env ? envp.data() : environ;
    const bool searchPath = options.searchPath || !options.launcher.empty();
    const auto spawn = searchPath ? posix_spawnp : posix_spawn;
    pid_t pid = -1;
    startError_ = spawn(&pid, argv[0], actions.Get(), nullptr, argv.data(), childEnv);
    if (startError_ != 0) return;
    pid_ = pid;
    if (options.pipeInput) toChild_ = input.Take(1);
    if (options.pipeOutput) fromChild_ = output.Take(0);
}

ChildProcess::~ChildProcess() {
    CloseInput();
    if (pid_ > 0 && !status_) {
        kill(pid_, stopSignal_);
        Wait();
    }
    CloseIfOpen(fromChild_);
}

bool ChildProcess::WriteAll(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (toChild_ < 0) return false;
        const ssize_t put = write(toChild_, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

void ChildProcess::CloseInput() { CloseIfOpen(toChild_); }

std::optional<int> ChildProcess::Wait(rusage* usage) {
    if (status_ || pid_ <= 0) return status_;
    rusage ignored{};
    int status = 0;
    for (;;) {
        if (wait4(pid_, &status, 0, usage ? usage : &ignored) == pid_) break;
        if (errno != EINTR) return std::nullopt;
    }
    status_ = status;
    return status_;
}

std::optional<int> ChildProcess::WaitFor(std::chrono::milliseconds timeout) {
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
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ChildResult RunChild(const ChildOptions& options, rusage* usage) {
    ChildResult result;
    ChildProcess child(options);
    if (!child.Started()) return result;
    if (child.Output() >= 0) {
        char chunk[4096];
        for (ssize_t got; (got = read(child.Output(), chunk, sizeof chunk)) != 0;) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;
            result.output.append(chunk, static_cast<size_t>(got));
        }
    }
    const std::optional<int> status = child.Wait(usage);
    if (status && WIFEXITED(*status)) result.exitCode = WEXITSTATUS(*status);
    return result;
}
