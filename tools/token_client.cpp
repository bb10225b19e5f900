// token-client: talks to the token host the way the browser extension does.
// Starts the host, sends each JSON request framed, prints the replies,
// follows "GetMoreData" for chunked signing results and ends the host with
// an empty message.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <json/json.h>

#include "tools/child_process.h"

namespace {

const char kUsage[] =
    "Usage: token-client [options] [REQUEST...]\n"
    "Starts the token host, sends each JSON request to it and prints the replies.\n"
    "\n"
    "Options:\n"
    "  --host PATH     the host program (default: token-host beside this program)\n"
    "  --launcher PROG start the host through PROG (an emulator for a host built\n"
    "                  for another machine)\n"
    "  --stdin         read requests from standard input, one JSON object per line\n"
    "  --full          print reply texts in full instead of abbreviating long ones\n"
    "  --save FILE     write the text of the last reply (pieces joined) to FILE\n"
    "  --timeout SECS  how long to wait for each reply (default 600)\n"
    "  --help          show this text\n"
    "\n"
    "Example: token-client '{\"ZEKA\":\"GetVersion\",\"tabID\":1}'\n";

// Commands the host answers; anything else gets no reply.
const std::set<std::string> kCommands = {
    "GMUsbKeySign",    "GMUsbKeySignFile", "CustInitCard",    "ChangePin",        "GMDelTempKey",
    "GMCreatePKCS10",  "GMWritePKCS7",     "GetMediaID",      "GetDriverVersion", "GetPublicKeyNum",
    "GetVersion",      "GMGetAdminKeyInfo", "GMGetCertDN",    "GMGetPublicKey",   "GMGetPublicKeyC",
    "GetPublicKeyC",   "GetCharsetList",   "GetLanguageList", "SetCharset",       "SetLanguage",
    "SetWarningMsg",   "setIPType",        "getClientInfo",   "NSChooseFile",
};

constexpr size_t kAbbreviateAbove = 160;

struct Options {
    std::string hostPath;
    std::string launcher;
    bool fromStdin = false;
    bool full = false;
    std::string saveFile;
    int timeoutSeconds = 600;
    std::vector<std::string> requests;
};

std::string DefaultHostPath() {
    char self[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "token-host";
    std::string path(self, static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    return path.substr(0, slash + 1) + "token-host";
}

// False (after a message) when the command line is unusable.
bool ParseOptions(int argc, char** argv, Options& options) {
    options.hostPath = DefaultHostPath();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--host" && hasValue) {
            options.hostPath = argv[++i];
        } else if (arg == "--launcher" && hasValue) {
            options.launcher = argv[++i];
        } else if (arg == "--save" && hasValue) {
            options.saveFile = argv[++i];
        } else if (arg == "--timeout" && hasValue) {
            options.timeoutSeconds = std::atoi(argv[++i]);
            if (options.timeoutSeconds <= 0) {
                std::cerr << "token-client: --timeout needs a positive number of seconds\n";
                return false;
            }
        } else if (arg == "--stdin") {
            options.fromStdin = true;
        } else if (arg == "--full") {
            options.full = true;
        } else if (arg.rfind("--", 0) == 0) {
            std::cerr << "token-client: unknown or incomplete option " << arg << "\n" << kUsage;
            return false;
        } else {
            options.requests.push_back(arg);
        }
    }
    if (options.fromStdin) {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line.find_first_not_of(" \t\r") != std::string::npos) options.requests.push_back(line);
        }
    }
    if (options.requests.empty()) {
        std::cerr << kUsage;
        return false;
    }
    return true;
}

std::string LengthPrefix(uint32_t length) {
    std::string prefix(4, '\0');
    for (int i = 0; i < 4; ++i) prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return prefix;
}

ChildOptions HostOptions(const std::string& path, const std::string& launcher) {
    ChildOptions options = PipedChild({path});
    options.launcher = launcher;
    options.stopSignal = SIGTERM;
    return options;
}

// The host as a child process with pipes on its standard input and output.
class HostConnection {
public:
    HostConnection(const std::string& path, const std::string& launcher) : host_(HostOptions(path, launcher)) {
        if (!host_.Started()) {
            std::cerr << "token-client: cannot start " << path << ": " << std::strerror(host_.StartError()) << "\n";
        }
    }

    bool Started() const { return host_.Started(); }

    bool Send(const std::string& body) {
        if (body.size() > UINT32_MAX) return false;
        const std::string frame = LengthPrefix(static_cast<uint32_t>(body.size())) + body;
        return host_.WriteAll(frame.data(), frame.size());
    }

    // The next reply body, or nothing on time-out or end of output.
    std::optional<std::string> Receive(int timeoutSeconds) {
        std::string prefix;
        if (!ReadExact(4, prefix, timeoutSeconds)) return std::nullopt;
        uint32_t length = 0;
        for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(prefix[i])) << (8 * i);
        std::string body;
        if (!ReadExact(length, body, timeoutSeconds)) return std::nullopt;
        return body;
    }

    // Sends the empty message that ends the host and waits for its exit.
    int Finish(int timeoutSeconds) {
        const std::string end = LengthPrefix(0);
        host_.WriteAll(end.data(), end.size());
        host_.CloseInput();
        return host_.WaitFor(std::chrono::seconds(timeoutSeconds)).value_or(-1);
    }

private:
    bool ReadExact(size_t count, std::string& out, int timeoutSeconds) {
        out.clear();
        std::vector<char> block(1 << 16);
        while (out.size() < count) {
            pollfd poller{host_.Output(), POLLIN, 0};
            const int ready = poll(&poller, 1, timeoutSeconds * 1000);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            const size_t want = std::min(block.size(), count - out.size());
            const ssize_t got = read(host_.Output(), block.data(), want);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            out.append(block.data(), static_cast<size_t>(got));
        }
        return true;
    }

    ChildProcess host_;
};

std::optional<Json::Value> ParseJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &value, nullptr)) return std::nullopt;
    } catch (const Json::Exception&) {
        return std::nullopt;
    }
    return value;
}

// Why the host will not answer this request, or empty when it will.
std::string WhyNoReply(const std::optional<Json::Value>& request) {
    if (!request) return "not JSON";
    if (!request->isObject()) return "not a JSON object";
    const Json::Value& name = (*request)["ZEKA"];
    if (!name.isString()) return "no command name";
    if (kCommands.count(name.asString()) == 0) return "unknown command " + name.asString();
    return "";
}

std::string Quoted(const std::string& text) {
    Json::StreamWriterBuilder builder;
    builder["emitUTF8"] = true;
    return Json::writeString(builder, Json::Value(text));
}

// Requests are shown as typed, cut when long.
std::string Shorten(const std::string& text, bool full) {
    if (full || text.size() <= kAbbreviateAbove) return text;
    return text.substr(0, 100) + " ... " + text.substr(text.size() - 40) + " (" + std::to_string(text.size()) +
           " bytes)";
}

std::string Describe(const std::string& text, bool full) {
    if (full || text.size() <= kAbbreviateAbove) return Quoted(text);
    return Quoted(text.substr(0, 100)) + " ... " + Quoted(text.substr(text.size() - 40)) + " (" +
           std::to_string(text.size()) + " bytes)";
}

struct Outcome {
    bool answered = false;
    std::string text;  // joined string text, or the number in decimal
};

// Reads the reply to one request, following "GetMoreData" while the host
// says more pieces follow.
Outcome ReadReply(HostConnection& host, const Options& options) {
    Outcome outcome;
    size_t pieces = 0;
    for (;;) {
        const std::optional<std::string> body = host.Receive(options.timeoutSeconds);
        if (!body) {
            std::cout << "  no reply within " << options.timeoutSeconds << " s\n";
            return outcome;
        }
        const std::optional<Json::Value> reply = ParseJson(*body);
        if (!reply || !reply->isObject()) {
            std::cout << "  unreadable reply: " << Describe(*body, options.full) << "\n";
            return outcome;
        }
        const Json::Value& text = (*reply)["text"];
        const bool last = (*reply)["lastData"].asBool();
        ++pieces;
        if (text.isString()) {
            outcome.text += text.asString();
        } else {
            outcome.text = text.toStyledString();
            outcome.text.erase(outcome.text.find_last_not_of('\n') + 1);
        }
        if (last) {
            outcome.answered = true;
            std::cout << "  cmd=" << (*reply)["cmd"].asString() << " tabID=" << (*reply)["tabID"].asInt()
                      << (pieces > 1 ? " pieces=" + std::to_string(pieces) : std::string()) << " text="
                      << (text.isString() ? Describe(outcome.text, options.full) : outcome.text) << "\n";
            return outcome;
        }
        std::cout << "  piece " << pieces << ": " << text.asString().size() << " bytes, asking for more\n";
        Json::Value more;
        more["ZEKA"] = "GetMoreData";
        more["tabID"] = (*reply)["tabID"];
        Json::StreamWriterBuilder compact;
        compact["indentation"] = "";
        if (!host.Send(Json::writeString(compact, more))) {
            std::cout << "  the host stopped reading\n";
            return outcome;
        }
    }
}

bool SaveText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    return static_cast<bool>(out);
}

int Run(const Options& options) {
    HostConnection host(options.hostPath, options.launcher);
    if (!host.Started()) return 1;
    bool allAnswered = true;
    std::optional<std::string> lastText;
    for (size_t i = 0; i < options.requests.size(); ++i) {
        const std::string& request = options.requests[i];
        std::cout << "request " << i + 1 << ": " << Shorten(request, options.full) << "\n";
        if (!host.Send(request)) {
            std::cerr << "token-client: the host stopped reading\n";
            allAnswered = false;
            break;
        }
        const std::string reason = WhyNoReply(ParseJson(request));
        if (!reason.empty()) {
            std::cout << "  no reply expected (" << reason << ")\n";
            continue;
        }
        const Outcome outcome = ReadReply(host, options);
        if (!outcome.answered) {
            allAnswered = false;
            break;
        }
        lastText = outcome.text;
    }
    if (!options.saveFile.empty()) {
        if (!lastText || !SaveText(options.saveFile, *lastText)) {
            std::cerr << "token-client: nothing written to " << options.saveFile << "\n";
            allAnswered = false;
        }
    }
    const int status = host.Finish(10);
    if (status != 0) {
        std::cerr << "token-client: the host ended with wait status " << status << "\n";
        return 1;
    }
    return allAnswered ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << kUsage;
        return 0;
    }
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;
    // A host that has gone away shows as a failed write.
    signal(SIGPIPE, SIG_IGN);
    return Run(options);
}
