// The opt-in request log (TOKEN_HOST_LOG): one line per request saying what
// happened to it, never what it said. A line holds the time, the command, the
// tabID, the reply code (or the length of a text reply), the duration, the
// sizes of the members read and the first module call that failed (its
// function and result, by names of our own). Texts, DNs, file paths and
// results never reach it.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "facade/PKCSHandle.h"
#include "support/file_descriptor.h"

// What serving one request did, recorded by the loop and the handlers.
struct RequestTrace {
    enum class Kind {
        Unparseable,  // not JSON, or not a JSON object
        Unknown,      // no command name, or one not in the table
        Command,      // a command of the table: see command
    };
    enum class Reply { None, Status, Text };
    struct Member {
        const char* name;  // the handler's own literal
        size_t size;
    };

    size_t requestSize = 0;
    Kind kind = Kind::Unparseable;
    const char* command = nullptr;  // the table's own name, never the request's text
    std::optional<int> tabId;
    std::vector<Member> members;

    Reply reply = Reply::None;
    long status = 0;        // Reply::Status: the integer "text"
    size_t textLength = 0;  // Reply::Text: bytes of the string "text"
    // The facade's code when the reply does not carry it ("GMGetCertDN"
    // answers every failure with an empty text).
    std::optional<long> unrepliedCode;
    // A result sent in pieces: how many went out, of how many, and the
    // closing status when the transfer was cut short.
    size_t piecesSent = 0;
    size_t piecesNeeded = 0;
    std::optional<long> closingStatus;

    void ReadMember(const char* name, size_t size) { members.push_back({name, size}); }
    void RepliedStatus(long code) {
        reply = Reply::Status;
        status = code;
    }
    void RepliedText(size_t length) {
        reply = Reply::Text;
        textLength = length;
    }
};

// When a request began, on the wall clock for the log and on a steady clock
// for its duration.
struct RequestTiming {
    std::chrono::system_clock::time_point began = std::chrono::system_clock::now();
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// One log line, newline included.
std::string FormatLogLine(const RequestTrace& trace, std::chrono::system_clock::time_point began,
                          std::chrono::steady_clock::duration took, const ModuleCallFailure& failure);

// "2024-05-06T07:08:09.012Z"
std::string IsoTimeUtc(std::chrono::system_clock::time_point when);

// Whether the log file TOKEN_HOST_LOG names can be used, judged without
// creating or changing anything (for --diagnose).
struct LogTargetState {
    bool set = false;     // the variable names a file
    bool usable = false;  // the host would write to it
    std::string state;    // for a person: what the host would do, or why not
};
LogTargetState AssessLogTarget(const char* path);

// The log file, opened once at start. It is used only when it is (or
// becomes) a regular file of this user, reached without following a link in
// its last component; a file created here gets mode 0600. Any other case,
// and any failure, means no log and no complaint: the channel must never
// suffer for it.
class RequestLog {
public:
    explicit RequestLog(const char* path);
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    bool On() const { return file_.get() >= 0; }
    // One write() per line, so that hosts appending to the same file side
    // by side never split each other's lines. Failures are ignored.
    void Write(const std::string& line) const;

private:
    FileDescriptor file_;
};
