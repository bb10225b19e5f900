#include "bench/host_driver.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int RunProgram(const std::vector<std::string>& argv, rusage* usage, const std::string& stdoutPath) {
    ChildOptions options;
    options.argv = argv;
    options.searchPath = true;
    options.stdoutFile = stdoutPath;
    return RunChild(options, usage).exitCode;
}

namespace {

ChildOptions HostOptions(const std::string& binary, const std::map<std::string, std::string>& env) {
    ChildOptions options = PipedChild({binary}, env);
    options.launcher = TOKEN_HOST_TEST_LAUNCHER;
    return options;
}

}  // namespace

HostDriver::HostDriver(const std::string& binary, const std::map<std::string, std::string>& env)
    : host_(HostOptions(binary, env)), buffer_(1 << 20) {}

bool HostDriver::Send(const std::string& body) {
    const uint32_t length = static_cast<uint32_t>(body.size());
    const char prefix[4] = {static_cast<char>(length), static_cast<char>(length >> 8), static_cast<char>(length >> 16),
                            static_cast<char>(length >> 24)};
    return host_.WriteAll(prefix, sizeof prefix) && host_.WriteAll(body.data(), body.size());
}

bool HostDriver::Fill() {
    if (begin_ == end_) begin_ = end_ = 0;
    for (;;) {
        const ssize_t got = read(host_.Output(), buffer_.data() + end_, buffer_.size() - end_);
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
    host_.CloseInput();
    const std::optional<int> status = host_.Wait(usage);
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
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
