#include "facade/file_chooser.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "facade/PKCSHandle.h"
#include "support/file_descriptor.h"
#include "support/result_codes.h"

extern char** environ;

const char* const kChooserResultFile = "/tmp/.dv_chooseFile";

namespace {

using Clock = std::chrono::steady_clock;

// How long a chooser told to stop may take before it is killed.
constexpr std::chrono::milliseconds kStopGrace(2000);
// How often the child is looked at where the kernel cannot signal its exit.
constexpr int kExitPollMs = 100;

// What a shell reports when it cannot run a command, as wait statuses.
constexpr int kStatusNotFound = 127 << 8;
constexpr int kStatusNotExecutable = 126 << 8;
constexpr int kStatusNoChild = -1;

class SpawnFileActions {
public:
    SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

int StatusForSpawnError(int error) {
    if (error == ENOENT || error == ENOTDIR) return kStatusNotFound;
    if (error == EACCES || error == ENOEXEC || error == EPERM) return kStatusNotExecutable;
    return kStatusNoChild;
}

// Watches the browser's input without reading it: bytes waiting there are
// requests for the main loop, and only the end of the input counts.
class InputWatch {
public:
    explicit InputWatch(int fd) : poller_{fd, static_cast<short>(fd >= 0 ? POLLIN | POLLRDHUP : 0), 0} {}
    pollfd& Poller() { return poller_; }
    // After a poll: whether the input has ended or can no longer be read.
    bool Ended();

private:
    pollfd poller_;
};

bool InputWatch::Ended() {
    if (poller_.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) return true;
    if (!(poller_.revents & POLLIN)) return false;
    int pending = 0;
    if (ioctl(poller_.fd, FIONREAD, &pending) == 0 && pending == 0) return true;
    // A request (or bytes that cannot be counted) waits: from now on only a
    // hang-up is looked for, or every poll would return at once.
    poller_.events = POLLRDHUP;
    return false;
}

// A descriptor that becomes readable when the child exits; -1 where the
// kernel has none.
int OpenExitNotice(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// A started chooser; it is stopped and reaped on every path out.
class ChooserProcess {
public:
    explicit ChooserProcess(pid_t pid) : pid_(pid), exitNotice_(OpenExitNotice(pid)) {}
    ~ChooserProcess() { Stop(); }
    ChooserProcess(const ChooserProcess&) = delete;
    ChooserProcess& operator=(const ChooserProcess&) = delete;

    // Its wait status once it exits; nothing when the input ends first.
    std::optional<int> WaitUnlessInputEnds(int input);
    // SIGTERM, then SIGKILL once the grace time has passed; reaps it.
    void Stop();

private:
    // Reaps it once it has exited (at once with WNOHANG); true once reaped.
    bool Reap(int options);
    // Sleeps until it may have exited or the input may have changed, at
    // most timeoutMs (-1: no limit).
    void Doze(pollfd* input, int timeoutMs);

    pid_t pid_;
    FileDescriptor exitNotice_;
    std::optional<int> status_;
};

bool ChooserProcess::Reap(int options) {
    if (status_) return true;
    int status = 0;
    pid_t done;
    while ((done = waitpid(pid_, &status, options)) < 0 && errno == EINTR) {
    }
    if (done == 0) return false;
    status_ = done == pid_ ? status : kStatusNoChild;
    return true;
}

void ChooserProcess::Doze(pollfd* input, int timeoutMs) {
    pollfd pollers[2] = {{exitNotice_.get(), POLLIN, 0}, {-1, 0, 0}};
    if (input) pollers[1] = {input->fd, input->events, 0};
    if (exitNotice_.get() < 0) timeoutMs = timeoutMs < 0 ? kExitPollMs : std::min(timeoutMs, kExitPollMs);
    // Interrupted or not, the caller looks again.
    poll(pollers, 2, timeoutMs);
    if (input) input->revents = pollers[1].revents;
}

std::optional<int> ChooserProcess::WaitUnlessInputEnds(int input) {
    InputWatch watch(input);
    // A chooser that has finished is answered even if the input ended too.
    while (!Reap(WNOHANG)) {
        if (watch.Ended()) return std::nullopt;
        Doze(&watch.Poller(), -1);
    }
    return status_;
}

void ChooserProcess::Stop() {
    // Once reaped, the pid may already belong to another process.
    if (status_) return;
    kill(pid_, SIGTERM);
    const Clock::time_point deadline = Clock::now() + kStopGrace;
    while (!Reap(WNOHANG)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        Doze(nullptr, static_cast<int>(left));
    }
    if (status_) return;
    kill(pid_, SIGKILL);
    Reap(0);
}

bool IsOwnRegularFile(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid();
}

}  // namespace

int RunChooserProgram(const std::string& program, int watchedInput) {
    SpawnFileActions actions;
    // Standard input and output may still be the browser's message stream
    // (the host moves it aside at start, other callers may not): the chooser
    // must neither consume requests nor write into the replies.
    if (posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), STDERR_FILENO, STDOUT_FILENO) != 0) {
        return kStatusNoChild;
    }
    // The host ignores SIGPIPE; the chooser gets the usual default.
    SpawnAttributes attributes;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    if (posix_spawnattr_setsigdefault(attributes.get(), &defaults) != 0 ||
        posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF) != 0) {
        return kStatusNoChild;
    }
    std::string name = program;
    std::string mode = "0";
    std::string flags = "16";
    std::string language = "2052";
    std::vector<char*> argv = {name.data(), mode.data(), flags.data(), language.data(), nullptr};
    pid_t pid = 0;
    const int error = posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
    if (error != 0) return StatusForSpawnError(error);
    ChooserProcess chooser(pid);
    if (const std::optional<int> status = chooser.WaitUnlessInputEnds(watchedInput)) return *status;
    // The browser has gone: no one is left to take the choice.
    chooser.Stop();
    return kChooserInputEnded;
}

long ReadChooserResult(const char* path, std::string& chosen) {
    chosen.clear();
    // O_NONBLOCK keeps a planted FIFO from stalling the host.
    FileDescriptor file(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0 || !IsOwnRegularFile(file.get())) return 0;
    char block[4096];
    for (;;) {
        const ssize_t got = read(file.get(), block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            chosen.clear();
            return rc::kReadFailed;
        }
        if (got == 0) return 0;
        if (chosen.size() + static_cast<size_t>(got) > kMaxChooserResultSize) {
            chosen.clear();
            return rc::kReadFailed;
        }
        chosen.append(block, static_cast<size_t>(got));
    }
}

long RunChooserAndReadResult(const std::string& program, const char* resultFile, int watchedInput,
                             std::string& chosen) {
    // A result left by an earlier run must never be taken for this choice:
    // when it cannot be removed, the chooser is not run at all.
    if (unlink(resultFile) != 0 && errno != ENOENT) {
        const int error = errno;
        std::fprintf(stderr, "token-host: file chooser not run: cannot remove the old result file %s: %s\n",
                     resultFile, std::strerror(error));
        return kStatusNoChild;
    }
    const int status = RunChooserProgram(program, watchedInput);
    if (status != 0) return status;
    return ReadChooserResult(resultFile, chosen);
}
