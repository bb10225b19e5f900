#include "common/host_process.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

ChildOptions SpawnOptions(const HostProcess::Options& options) {
    ChildOptions child = PipedChild({options.binary}, options.env);
    child.argv.insert(child.argv.end(), options.args.begin(), options.args.end());
    child.launcher = options.launcher;
    child.unset = options.unset;
    child.stderrFile = options.stderrFile;
    child.closeStderr = options.closeStderr;
    return child;
}

}  // namespace

std::string LengthPrefix(uint32_t length) {
    std::string prefix(4, '\0');
    for (int i = 0; i < 4; ++i) prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return prefix;
}

std::string Frame(const std::string& body) { return LengthPrefix(static_cast<uint32_t>(body.size())) + body; }

HostProcess::HostProcess() : HostProcess(Options{}) {}

HostProcess::HostProcess(const Options& options) : child_(SpawnOptions(options)) {
    // A host that has already exited must show as a failed write, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
}

HostProcess::~HostProcess() {
    // The host ends by itself once its input closes; it is killed only if it does not.
    CloseStdin();
    WaitExit(std::chrono::seconds(5));
}

bool HostProcess::Collect(std::chrono::milliseconds timeout) {
    if (outputClosed_ || child_.Output() < 0) return false;
    pollfd poller{child_.Output(), POLLIN, 0};
    const int ready = poll(&poller, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) return true;
    char block[65536];
    const ssize_t got = read(child_.Output(), block, sizeof block);
    if (got > 0) {
        pending_.append(block, static_cast<size_t>(got));
        return true;
    }
    if (got < 0 && errno == EINTR) return true;
    outputClosed_ = true;
    return false;
}

bool HostProcess::SendRaw(const std::string& bytes) {
    const int toHost = child_.Input();
    if (toHost < 0) return false;
    size_t written = 0;
    while (written < bytes.size()) {
        pollfd pollers[2] = {{toHost, POLLOUT, 0}, {child_.Output(), POLLIN, 0}};
        const nfds_t count = outputClosed_ ? 1 : 2;
        if (poll(pollers, count, 10000) <= 0) return false;
        if (count == 2 && (pollers[1].revents & (POLLIN | POLLHUP))) Collect(std::chrono::milliseconds(0));
        if (pollers[0].revents & (POLLERR | POLLHUP)) return false;
        if (!(pollers[0].revents & POLLOUT)) continue;
        const size_t chunk = std::min<size_t>(bytes.size() - written, 65536);
        const ssize_t put = write(toHost, bytes.data() + written, chunk);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        written += static_cast<size_t>(put);
    }
    return true;
}

void HostProcess::CloseStdin() { child_.CloseInput(); }

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

std::optional<int> HostProcess::WaitExit(std::chrono::milliseconds timeout) { return child_.WaitFor(timeout); }

int HostProcess::ExitCode(std::chrono::milliseconds timeout) {
    const std::optional<int> status = WaitExit(timeout);
    if (!status || !WIFEXITED(*status)) return -1;
    return WEXITSTATUS(*status);
}
