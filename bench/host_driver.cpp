#include "bench/host_driver.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

extern char** environ;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
    return pointers;
}

std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& added) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (added.count(name) == 0) env.push_back(text);
    }
    for (const auto& [name, value] : added) env.push_back(name + "=" + value);
    return env;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool Wait(pid_t pid, int* status, rusage* usage) {
    rusage ignored{};
    for (;;) {
        if (wait4(pid, status, 0, usage ? usage : &ignored) == pid) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, rusage* usage, const std::string& stdoutPath) {
    std::vector<std::string> args = argv;
    std::vector<char*> argp = Pointers(args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdoutPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    if (!Wait(pid, &status, usage)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

HostDriver::HostDriver(const std::string& binary, const std::map<std::string, std::string>& env)
    : buffer_(1 << 20) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> args = {binary};
    std::vector<std::string> envStrings = EnvironmentWith(env);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(envStrings);
    if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toHost_ = in[1];
    fromHost_ = out[0];
}

HostDriver::~HostDriver() {
    if (toHost_ >= 0) close(toHost_);
    if (fromHost_ >= 0) close(fromHost_);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        Wait(pid_, &status, nullptr);
    }
}

bool HostDriver::Send(const std::string& body) {
    const uint32_t length = static_cast<uint32_t>(body.size());
    const char prefix[4] = {static_cast<char>(length), static_cast<char>(length >> 8), static_cast<char>(length >> 16),
                            static_cast<char>(length >> 24)};
    return WriteAll(toHost_, prefix, sizeof prefix) && WriteAll(toHost_, body.data(), body.size());
}

bool HostDriver::Fill() {
    if (begin_ == end_) begin_ = end_ = 0;
    for (;;) {
        const ssize_t got = read(fromHost_, buffer_.data() + end_, buffer_.size() - end_);
        if (got > 0) {
            end_ += static_cast<size_t>(got);
            return true;
        }
        if (got < 0 && errno == EINTR) continue;
        return false;
    }
}

std::string HostDriver::Receive() {
    while (end_ - begin_ < 4) {
        if (begin_ != 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        if (!Fill()) return std::string();
    }
    const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data() + begin_);
    const size_t length = p[0] | (p[1] << 8) | (p[2] << 16) | (size_t(p[3]) << 24);
    begin_ += 4;
    std::string body;
    body.reserve(length);
    while (body.size() < length) {
        if (begin_ == end_ && !Fill()) return std::string();
        const size_t take = std::min(length - body.size(), end_ - begin_);
        body.append(buffer_.data() + begin_, take);
        begin_ += take;
    }
    return body;
}

bool HostDriver::Finish(rusage* usage) {
    Send(std::string());
    close(toHost_);
    toHost_ = -1;
    int status = 0;
    const bool waited = Wait(pid_, &status, usage);
    pid_ = -1;
    return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Envelope ParseEnvelope(const std::string& body) {
    Envelope envelope;
    // The members come in key order and "text" last, so everything but the
    // text itself sits in the first few bytes: never scan the text.
    const size_t text = body.find("\"text\":");
    if (text == std::string::npos) return envelope;
    envelope.lastData = std::string_view(body).substr(0, text).find("\"lastData\":true") != std::string_view::npos;
    const size_t start = text + 7;
    if (start < body.size() && body[start] == '"') {
        // Base64 needs no escapes: the text ends at the next quote.
        const size_t close = body.find('"', start + 1);
        if (close == std::string::npos) return envelope;
        envelope.textIsString = true;
        envelope.text = std::string_view(body).substr(start + 1, close - start - 1);
    } else {
        const size_t close = body.find_first_of(",}", start);
        envelope.text = std::string_view(body).substr(start, close == std::string::npos ? std::string::npos : close - start);
    }
    envelope.ok = true;
    return envelope;
}
