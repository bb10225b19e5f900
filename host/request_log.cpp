#include "host/request_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char* KindName(RequestTrace::Kind kind) {
    switch (kind) {
    case RequestTrace::Kind::Unparseable:
        return "(unparseable)";
    case RequestTrace::Kind::Unknown:
        return "(unknown)";
    case RequestTrace::Kind::Command:
        break;
    }
    return nullptr;
}

void AppendField(std::string& line, const char* name, const std::string& value) {
    line += ' ';
    line += name;
    line += '=';
    line += value;
}

void AppendReply(std::string& line, const RequestTrace& trace) {
    switch (trace.reply) {
    case RequestTrace::Reply::None:
        AppendField(line, "reply", "none");
        break;
    case RequestTrace::Reply::Status:
        AppendField(line, "reply", std::to_string(trace.status));
        break;
    case RequestTrace::Reply::Text:
        AppendField(line, "reply", "ok");
        AppendField(line, "length", std::to_string(trace.textLength));
        break;
    }
    if (trace.unrepliedCode) AppendField(line, "code", std::to_string(*trace.unrepliedCode));
    if (trace.piecesNeeded > 1) {
        AppendField(line, "pieces", std::to_string(trace.piecesSent) + "/" + std::to_string(trace.piecesNeeded));
    }
    if (trace.closingStatus) AppendField(line, "closing", std::to_string(*trace.closingStatus));
}

// The file a log may be written to: a regular file of this user.
bool AcceptableLogFile(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_uid == geteuid();
}

std::string Reason(int error) { return std::strerror(error); }

std::string ParentFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::string IsoTimeUtc(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(when.time_since_epoch());
    auto seconds = duration_cast<std::chrono::seconds>(sinceEpoch);
    auto millis = sinceEpoch - duration_cast<milliseconds>(seconds);
    // Before the epoch the remainder is negative: borrow a second.
    if (millis.count() < 0) {
        seconds -= std::chrono::seconds(1);
        millis += std::chrono::seconds(1);
    }
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis.count()));
    return text;
}

std::string FormatLogLine(const RequestTrace& trace, std::chrono::system_clock::time_point began,
                          std::chrono::steady_clock::duration took, const ModuleCallFailure& failure) {
    std::string line = IsoTimeUtc(began);
    line += ' ';
    line += trace.kind == RequestTrace::Kind::Command ? trace.command : KindName(trace.kind);
    if (trace.tabId) AppendField(line, "tabID", std::to_string(*trace.tabId));
    AppendField(line, "size", std::to_string(trace.requestSize));
    AppendReply(line, trace);
    AppendField(line, "ms", std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    if (!failure.Empty()) AppendField(line, "failed", failure.function + ":" + failure.result);
    for (const RequestTrace::Member& member : trace.members) {
        AppendField(line, member.name, std::to_string(member.size));
    }
    line += '\n';
    return line;
}

LogTargetState AssessLogTarget(const char* path) {
    if (path == nullptr || *path == '\0') return {false, false, "not set: no log"};
    struct stat status {};
    if (lstat(path, &status) == 0) {
        if (!S_ISREG(status.st_mode)) return {true, false, "not a regular file: no log"};
        if (status.st_uid != geteuid()) return {true, false, "owned by another user: no log"};
        if (access(path, W_OK) != 0) return {true, false, "cannot be written (" + Reason(errno) + "): no log"};
        return {true, true, "appended to"};
    }
    if (errno != ENOENT) return {true, false, "cannot be examined (" + Reason(errno) + "): no log"};
    const std::string folder = ParentFolder(path);
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        return {true, false, "cannot be created (" + Reason(errno) + "): no log"};
    }
    return {true, true, "created at the first request, mode 0600"};
}

RequestLog::RequestLog(const char* path) : file_(-1) {
    if (path == nullptr || *path == '\0') return;
    // Looked at before opening: opening a device or a FIFO may have effects
    // of its own (a FIFO without a reader would even block the start).
    struct stat status {};
    if (lstat(path, &status) == 0 && !AcceptableLogFile(status)) return;
    file_.reset(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0600));
    if (!On()) return;
    // What was opened may have replaced what was looked at.
    if (fstat(file_.get(), &status) != 0 || !AcceptableLogFile(status)) file_.Close();
}

void RequestLog::Write(const std::string& line) const {
    if (!On()) return;
    ssize_t written;
    do {
        written = write(file_.get(), line.data(), line.size());
    } while (written < 0 && errno == EINTR);
}
