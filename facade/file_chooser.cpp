#include "facade/file_chooser.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <vector>

#include "facade/PKCSHandle.h"
#include "support/file_descriptor.h"

extern char** environ;

const char* const kDefaultChooserPath = "/usr/bin/ZEKA_UI";
const char* const kChooserResultFile = "/tmp/.dv_chooseFile";

const std::string& ChooserProgram() {
    static const std::string program = [] {
        const char* path = std::getenv("TOKEN_HOST_CHOOSER");
        return std::string(path && *path ? path : kDefaultChooserPath);
    }();
    return program;
}

namespace {

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

int WaitForChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kStatusNoChild;
    }
    return status;
}

bool IsOwnRegularFile(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid();
}

}  // namespace

int RunChooserProgram(const std::string& program) {
    SpawnFileActions actions;
    // Standard input and output belong to the browser's message stream: the
    // chooser must neither consume requests nor write into the replies.
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
    return WaitForChild(pid);
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
            return -302;
        }
        if (got == 0) return 0;
        if (chosen.size() + static_cast<size_t>(got) > kMaxChooserResultSize) {
            chosen.clear();
            return -302;
        }
        chosen.append(block, static_cast<size_t>(got));
    }
}

long RunChooserAndReadResult(const std::string& program, const char* resultFile, std::string& chosen) {
    // A result left by an earlier run must never be taken for this choice.
    unlink(resultFile);
    const int status = RunChooserProgram(program);
    if (status != 0) return status;
    return ReadChooserResult(resultFile, chosen);
}
