// Every call a command makes into the token module fails in turn. For each
// command that reaches the token, a clean run tells how many calls the host
// process makes (C_Initialize included); then, for every k up to that number,
// a fresh host runs the command with the k-th call failing, and must answer
// it, answer the next request, end normally, leave no session open, and log
// the failed call by its result.
//
// One host process per (command, k); they run side by side (most of a run is
// the module's settling pause after C_Initialize), each on its own copy of
// the token state.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <thread>

#include "hardening/hardening_support.h"

#include "support/MyBase64.h"
#include "token_module/token_module.h"

namespace hardening {
namespace {

struct Command {
    const char* name;
    std::string request;  // "@DIR@" stands for the run's state directory
};

// Test names and failure messages show the command's name.
void PrintTo(const Command& command, std::ostream* out) { *out << command.name; }

const std::string kRsaDn = "CN=Demo RSA User,O=Demo Bank,C=CN";
const std::string kSm2Dn = "CN=Demo SM2 User,O=Demo Bank,C=CN";

std::vector<Command> TokenCommands() {
    return {
        {"SignRsa", R"({"ZEKA":"GMUsbKeySign","tabID":1,"DeSignerDN":")" + kRsaDn +
                        R"(","HashName":"SHA256","XmlMsg":"<a>1</a>","KeyMsg":"k","FilePath":""})"},
        {"SignSm2WithFile", R"({"ZEKA":"GMUsbKeySign","tabID":1,"DeSignerDN":")" + kSm2Dn +
                                R"(","HashName":"SM3","XmlMsg":"<a>1</a>","KeyMsg":"k","FilePath":"@DIR@/document.txt"})"},
        {"SignFileRsa", R"({"ZEKA":"GMUsbKeySignFile","tabID":1,"SignerDN":")" + kRsaDn +
                            R"(","HashName":"SHA1","XmlMsg":"x","KeyMsg":"k","FilePath":"@DIR@/document.txt",)"
                            R"("FileP7Path":"@DIR@/out.p7"})"},
        {"SignFileSm2", R"({"ZEKA":"GMUsbKeySignFile","tabID":1,"SignerDN":")" + kSm2Dn +
                            R"(","HashName":"SM3","XmlMsg":"x","KeyMsg":"k","FilePath":"@DIR@/document.txt",)"
                            R"("FileP7Path":"@DIR@/out.p7"})"},
        {"CustInitCard", R"({"ZEKA":"CustInitCard","tabID":1})"},
        {"ChangePin", R"({"ZEKA":"ChangePin","tabID":1})"},
        {"DelTempKey", R"({"ZEKA":"GMDelTempKey","tabID":1,"CertDn":"","PublicKeyId":"12"})"},
        {"CreatePKCS10",
         R"J({"ZEKA":"GMCreatePKCS10","tabID":1,"CertInfo":"DN(CN=Fault,O=Bank,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)"})J"},
        {"CreatePKCS10Two",
         R"J({"ZEKA":"GMCreatePKCS10","tabID":1,"CertInfo":"DN(CN=A,C=CN)HASH(SHA256)KEYTYPE(RSA1024)CERTTYPE(02)||DN(CN=B,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)"})J"},
        {"WritePKCS7", R"({"ZEKA":"GMWritePKCS7","tabID":1,"P7Pakge":"@CERT@"})"},
        // The second part names no key on the token: the first is rolled back.
        {"WritePKCS7Rollback", R"({"ZEKA":"GMWritePKCS7","tabID":1,"P7Pakge":"@CERT@||@CACERT@"})"},
        {"GetMediaID", R"({"ZEKA":"GetMediaID","tabID":1})"},
        {"GetDriverVersion", R"({"ZEKA":"GetDriverVersion","tabID":1})"},
        {"GetPublicKeyNum", R"({"ZEKA":"GetPublicKeyNum","tabID":1})"},
        {"GetAdminKeyInfo", R"({"ZEKA":"GMGetAdminKeyInfo","tabID":1})"},
        {"GetCertDN", R"({"ZEKA":"GMGetCertDN","tabID":1})"},
        {"GetPublicKey", R"({"ZEKA":"GMGetPublicKey","tabID":1,"KeyType":"allpubkey"})"},
        {"GetPublicKeyCByIds", R"({"ZEKA":"GMGetPublicKeyC","tabID":1,"KeyType":"01","DnOrID":"02||11",)"
                               R"("Base64SerRand":"AAECAwQFBgcICQoLDA0ODxAREhM="})"},
        {"GetPublicKeyCByDn", R"({"ZEKA":"GMGetPublicKeyC","tabID":1,"KeyType":"02","DnOrID":"Demo SM2 User",)"
                              R"("Base64SerRand":"AAECAwQFBgcICQoLDA0ODxAREhM="})"},
        {"GetPublicKeyC", R"({"ZEKA":"GetPublicKeyC","tabID":1})"},
        {"GetCharsetList", R"({"ZEKA":"GetCharsetList","tabID":1})"},
        {"GetLanguageList", R"({"ZEKA":"GetLanguageList","tabID":1})"},
        {"SetCharset", R"({"ZEKA":"SetCharset","tabID":1,"CharSet":"GBK"})"},
        {"SetLanguage", R"({"ZEKA":"SetLanguage","tabID":1,"Lang":"en-US"})"},
        {"SetWarningMsg", R"({"ZEKA":"SetWarningMsg","tabID":1,"WarnMsg":"take care"})"},
        {"SetIPType", R"({"ZEKA":"setIPType","tabID":1,"iptype":"2"})"},
        {"GetClientInfo", R"({"ZEKA":"getClientInfo","tabID":1})"},
    };
}

// What the host is asked after the faulted command: it reaches the token too.
const std::string kNextRequest = R"({"ZEKA":"GetPublicKeyNum","tabID":2})";

// Failures a module reports, taken in turn so each k meets one of them.
const CK_RV kInjected[] = {CKR_DEVICE_ERROR,  CKR_GENERAL_ERROR, CKR_DEVICE_REMOVED, CKR_BUFFER_TOO_SMALL,
                           CKR_PIN_INCORRECT, CKR_CANCEL,        CKR_ARGUMENTS_BAD,  CKR_SESSION_HANDLE_INVALID};
// How the request log names them.
const char* const kInjectedNames[] = {"CKR_DEVICE_ERROR",  "CKR_GENERAL_ERROR", "CKR_DEVICE_REMOVED",
                                      "CKR_BUFFER_TOO_SMALL", "CKR_PIN_INCORRECT", "CKR_CANCEL",
                                      "CKR_ARGUMENTS_BAD", "CKR_SESSION_HANDLE_INVALID"};

std::string Hex(CK_RV rv) {
    std::ostringstream text;
    text << "0x" << std::hex << rv;
    return text.str();
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
    return text;
}

// The demo token, a temporary SM2 key (number 12), a second RSA pair whose
// certificate "GMWritePKCS7" installs again, and a file to sign.
class TemplateState {
public:
    TemplateState() : dir_("fault-template") {
        ok_ = RunTool(dir_.Path(), {"demo"}).exitCode == 0 &&
              RunTool(dir_.Path(), {"add-key", "--type", "rsa1024", "--index", "1", "--pair-id", "fault-rsa"}).exitCode == 0 &&
              RunTool(dir_.Path(), {"add-key", "--type", "sm2", "--index", "1", "--no-cert"}).exitCode == 0;
        const std::string pem = dir_.Path() + "/cert.pem";
        ok_ = ok_ && RunTool(dir_.Path(), {"export", "--pair-id", "fault-rsa", "--what", "cert", "--out", dir_.Path() + "/cert.der"}).exitCode == 0;
        std::FILE* file = std::fopen((dir_.Path() + "/document.txt").c_str(), "w");
        ok_ = ok_ && file && std::fputs("a document to sign\n", file) >= 0;
        if (file) std::fclose(file);
        ok_ = ok_ && RunTool(dir_.Path(), {"ca-cert", "--alg", "rsa", "--out", dir_.Path() + "/ca.pem"}).exitCode == 0;
        certBase64_ = ok_ ? Base64File(dir_.Path() + "/cert.der") : "";
        caBase64_ = ok_ ? PemBody(dir_.Path() + "/ca.pem") : "";
    }
    bool ok() const { return ok_; }
    const std::string& Path() const { return dir_.Path(); }

    std::string RequestFor(const Command& command, const std::string& runDir) const {
        return Replace(Replace(Replace(command.request, "@DIR@", runDir), "@CERT@", certBase64_), "@CACERT@",
                       caBase64_);
    }

private:
    // The Base64 lines of a PEM file joined, without the armour.
    static std::string PemBody(const std::string& path) {
        std::FILE* file = std::fopen(path.c_str(), "r");
        if (!file) return "";
        std::string body;
        char line[256];
        while (std::fgets(line, sizeof line, file)) {
            if (line[0] == '-') continue;
            for (const char* c = line; *c; ++c) {
                if (*c != '\n' && *c != '\r') body.push_back(*c);
            }
        }
        std::fclose(file);
        return body;
    }

    static std::string Base64File(const std::string& path) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (!file) return "";
        std::string bytes;
        for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<char>(c));
        std::fclose(file);
        return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }

    ScratchDir dir_;
    bool ok_ = false;
    std::string certBase64_;
    std::string caBase64_;
};

const TemplateState& Template() {
    static TemplateState state;
    return state;
}

struct RunResult {
    std::string problem;  // empty when the host behaved
    long sessionsLeft = 0;
    long calls = 0;
};

bool IsReplyTo(const std::optional<std::string>& reply, const std::string& cmd) {
    if (!reply) return false;
    const auto value = ParseReply(*reply);
    return value && (*value)["cmd"].asString() == cmd && (*value)["lastData"].asBool() &&
           ((*value)["text"].isString() || (*value)["text"].isIntegral());
}

std::string CommandName(const std::string& request) { return ParseReply(request).value()["ZEKA"].asString(); }

std::vector<std::string> LogLines(const std::string& path) {
    std::vector<std::string> lines;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file) return lines;
    std::string line;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c != '\n') {
            line.push_back(static_cast<char>(c));
            continue;
        }
        lines.push_back(line);
        line.clear();
    }
    std::fclose(file);
    return lines;
}

// What a log line names as the failed call ("C_Sign:CKR_CANCEL"); empty
// when none.
std::string FailedCall(const std::string& line) {
    const std::string field = " failed=";
    const size_t at = line.find(field);
    if (at == std::string::npos) return "";
    const size_t start = at + field.size();
    return line.substr(start, line.find(' ', start) - start);
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The log names the first failed call of each request: the injected one,
// unless the command meets a failure of its own first (as its clean run
// shows); the next request is charged with none.
std::string LogProblem(const std::string& logFile, const char* injectedName, const std::string& cleanFailure) {
    const std::vector<std::string> lines = LogLines(logFile);
    if (lines.size() != 2) return "the log holds " + std::to_string(lines.size()) + " lines; ";
    const std::string failed = FailedCall(lines[0]);
    if (!EndsWith(failed, std::string(":") + injectedName) && (cleanFailure.empty() || failed != cleanFailure)) {
        return "the log does not name the failed call: " + lines[0] + "; ";
    }
    if (!FailedCall(lines[1]).empty()) return "the next request is charged: " + lines[1] + "; ";
    return "";
}

// What a clean host process serving only the command did.
struct CleanRun {
    long calls = -1;      // -1 when the run failed
    std::string failure;  // the failed call its log names, if any
};

// One host process: the command (with the k-th call failing when k > 0),
// then the next request. With injectedName, the log is checked too.
RunResult RunOnce(const Command& command, unsigned long k, CK_RV rv, const char* injectedName = nullptr,
                  const CleanRun& clean = CleanRun{}) {
    RunResult result;
    ScratchDir run("fault-run");
    CopyState(Template().Path(), run.Path());
    if (k > 0 && RunTool(run.Path(), {"fault", "--call", std::to_string(k), "--rv", Hex(rv)}).exitCode != 0) {
        result.problem = "cannot plan the fault";
        return result;
    }
    const std::string request = Template().RequestFor(command, run.Path());
    const std::string log = run.Path() + "/requests.log";
    const Conversation conversation =
        Converse(run.Path(), {{request}, {kNextRequest}}, std::chrono::seconds(60), "", log);
    std::ostringstream problem;
    if (!conversation.started) problem << "host did not start; ";
    if (conversation.replies.size() != 2 || !IsReplyTo(conversation.replies[0], CommandName(request))) {
        problem << "no proper reply to the command; ";
    }
    if (conversation.replies.size() != 2 || !IsReplyTo(conversation.replies[1], "GetPublicKeyNum")) {
        problem << "no reply to the next request; ";
    }
    if (!conversation.trailing.empty()) problem << "unexpected output after the replies; ";
    if (conversation.exitCode != 0) problem << "exit code " << conversation.exitCode << "; ";
    if (injectedName) problem << LogProblem(log, injectedName, clean.failure);
    result.problem = problem.str();
    result.sessionsLeft = ToolNumber(run.Path(), "sessions");
    result.calls = ToolNumber(run.Path(), "calls");
    return result;
}

CleanRun RunClean(const Command& command) {
    ScratchDir run("fault-clean");
    CopyState(Template().Path(), run.Path());
    const std::string log = run.Path() + "/requests.log";
    const Conversation conversation =
        Converse(run.Path(), {{Template().RequestFor(command, run.Path())}}, std::chrono::seconds(30), "", log);
    CleanRun clean;
    if (conversation.replies.size() != 1 || !conversation.replies[0]) return clean;
    if (ToolNumber(run.Path(), "sessions") != 0) return clean;
    clean.calls = ToolNumber(run.Path(), "calls");
    const std::vector<std::string> lines = LogLines(log);
    if (!lines.empty()) clean.failure = FailedCall(lines[0]);
    return clean;
}

// Runs jobs 0..count-1 on a few threads; the host processes mostly wait.
template <typename Job>
void RunSideBySide(size_t count, Job job) {
    const size_t workers = std::min<size_t>(count, 8);
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (size_t w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            for (size_t i; (i = next++) < count;) job(i);
        });
    }
    for (std::thread& thread : threads) thread.join();
}

// Which k to run: all of them, or (sampled) every stride-th plus the last few.
std::vector<unsigned long> CallsToFail(long calls, unsigned long stride) {
    std::vector<unsigned long> ks;
    for (long k = 1; k <= calls; ++k) {
        if (stride <= 1 || k % static_cast<long>(stride) == 1 || k > calls - 3) ks.push_back(static_cast<unsigned long>(k));
    }
    return ks;
}

void InjectEveryFault(const Command& command, unsigned long stride) {
    ASSERT_TRUE(Template().ok()) << "cannot set up the software token";
    const CleanRun clean = RunClean(command);
    const long calls = clean.calls;
    ASSERT_GE(calls, 0) << command.name << ": the clean run failed";
    if (calls == 0) GTEST_SKIP() << command.name << " reaches no token yet";
    const std::vector<unsigned long> ks = CallsToFail(calls, stride);

    std::vector<RunResult> results(ks.size());
    RunSideBySide(ks.size(), [&](size_t i) {
        results[i] = RunOnce(command, ks[i], kInjected[ks[i] % 8], kInjectedNames[ks[i] % 8], clean);
    });

    size_t closeFaults = 0;
    for (size_t i = 0; i < ks.size(); ++i) {
        const RunResult& result = results[i];
        EXPECT_EQ(result.problem, "") << command.name << ", call " << ks[i] << " failing with "
                                      << Hex(kInjected[ks[i] % 8]);
        // Otherwise the planned fault was never reached and the run proved nothing.
        EXPECT_GE(result.calls, static_cast<long>(ks[i])) << command.name << ", call " << ks[i];
        if (result.sessionsLeft == 0) continue;
        // A C_CloseSession that fails leaves the session open whatever the host
        // does. Tell it apart: a call that "succeeds" without doing anything
        // leaves exactly the same single session only when it is a close.
        const RunResult silent = RunOnce(command, ks[i], CKR_OK);
        const bool isClose = result.sessionsLeft == 1 && silent.sessionsLeft == 1 && silent.problem.empty();
        EXPECT_TRUE(isClose) << command.name << ", call " << ks[i] << " failing with " << Hex(kInjected[ks[i] % 8])
                             << ": " << result.sessionsLeft << " session(s) left open";
        closeFaults += isClose;
    }
    ::testing::Test::RecordProperty("calls", static_cast<int>(calls));
    ::testing::Test::RecordProperty("faults_injected", static_cast<int>(ks.size()));
    std::printf("%s: %ld calls, %zu faults injected, %zu of them on a session close\n", command.name, calls, ks.size(),
                closeFaults);
}

class FaultInjectionAllCalls : public ::testing::TestWithParam<Command> {};
class FaultInjectionSample : public ::testing::TestWithParam<Command> {};

TEST_P(FaultInjectionAllCalls, HostAnswersAndClosesItsSessions) { InjectEveryFault(GetParam(), 1); }

// A quicker pass for the sanitizer build: every fourth call of a few commands
// that read the most from the token, and their last calls.
TEST_P(FaultInjectionSample, HostAnswersAndClosesItsSessions) { InjectEveryFault(GetParam(), 4); }

std::string NameOf(const ::testing::TestParamInfo<Command>& info) { return info.param.name; }

std::vector<Command> Sampled() {
    std::vector<Command> chosen;
    for (const Command& command : TokenCommands()) {
        const std::string name = command.name;
        if (name == "SignSm2WithFile" || name == "SignFileRsa" || name == "CreatePKCS10" || name == "WritePKCS7Rollback" ||
            name == "GetPublicKeyCByDn" || name == "GetCharsetList") {
            chosen.push_back(command);
        }
    }
    return chosen;
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultInjectionAllCalls, ::testing::ValuesIn(TokenCommands()), NameOf);
INSTANTIATE_TEST_SUITE_P(Commands, FaultInjectionSample, ::testing::ValuesIn(Sampled()), NameOf);

}  // namespace
}  // namespace hardening
