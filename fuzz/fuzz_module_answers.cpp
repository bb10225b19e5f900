// The token module's answers, falsified: every command that reads something
// from the token runs against the software token behind the tampering module,
// whose script is the fuzz input (after the first byte, which picks the
// command). Whatever the module reports, the host must stay inside its
// buffers, answer, and close every session it opened.
#include "fuzz/host_fuzzing.h"

#include <dlfcn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/MyBase64.h"

namespace {

namespace fs = std::filesystem;

using SetScript = void (*)(const uint8_t*, size_t);
using OpenSessions = long (*)();
SetScript g_setScript = nullptr;
OpenSessions g_openSessions = nullptr;

std::string g_stateDir;
std::map<std::string, std::string> g_snapshot;
std::vector<std::string> g_requests;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) fuzzing::Fail("writing a scratch file");
}

void RunTool(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid < 0) fuzzing::Fail("fork");
    if (pid == 0) {
        std::vector<char*> argv;
        std::vector<std::string> all = {FUZZ_SOFTTOKEN_TOOL, "--dir", g_stateDir};
        all.insert(all.end(), args.begin(), args.end());
        for (std::string& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int sink = open("/dev/null", O_WRONLY);
        if (sink >= 0) dup2(sink, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fuzzing::Fail("setting up the software token");
    }
}

// The token's files as they were after set-up; each input starts from them,
// so key generation and deletion do not pile up across inputs.
void TakeSnapshot() {
    for (const auto& entry : fs::directory_iterator(g_stateDir)) {
        g_snapshot[entry.path().filename().string()] = ReadFile(entry.path());
    }
}

void RestoreSnapshot() {
    for (const auto& entry : fs::directory_iterator(g_stateDir)) {
        if (g_snapshot.count(entry.path().filename().string()) == 0) fs::remove(entry.path());
    }
    for (const auto& [name, bytes] : g_snapshot) {
        const fs::path path = fs::path(g_stateDir) / name;
        if (ReadFile(path) != bytes) WriteFile(path, bytes);
    }
}

std::string Base64(const std::string& bytes) {
    return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void BuildRequests(const std::string& workDir) {
    const std::string file = workDir + "/document.txt";
    WriteFile(file, "file content to be signed\n");
    const std::string p7 = workDir + "/document.p7";
    const std::string certFile = workDir + "/cert.der";
    RunTool({"export", "--pair-id", "fuzz-rsa", "--what", "cert", "--out", certFile});
    const std::string cert = Base64(ReadFile(certFile));
    const std::string caFile = workDir + "/ca.pem";
    RunTool({"ca-cert", "--alg", "rsa", "--out", caFile});
    std::string caBody;
    std::istringstream caLines(ReadFile(caFile));
    for (std::string line; std::getline(caLines, line);) {
        if (!line.empty() && line[0] != '-') caBody += line;
    }
    const std::string rsaDn = "CN=Demo RSA User,O=Demo Bank,C=CN";
    const std::string sm2Dn = "CN=Demo SM2 User,O=Demo Bank,C=CN";
    g_requests = {
        R"({"ZEKA":"GMUsbKeySign","tabID":1,"DeSignerDN":")" + rsaDn +
            R"(","HashName":"SHA256","XmlMsg":"<a>1</a>","KeyMsg":"amount=1","FilePath":""})",
        R"({"ZEKA":"GMUsbKeySign","tabID":1,"DeSignerDN":")" + sm2Dn +
            R"(","HashName":"SM3","XmlMsg":"<a>1</a>","KeyMsg":"amount=1","FilePath":")" + file + R"("})",
        R"({"ZEKA":"GMUsbKeySignFile","tabID":1,"SignerDN":")" + rsaDn +
            R"(","HashName":"SHA1","XmlMsg":"x","KeyMsg":"k","FilePath":")" + file + R"(","FileP7Path":")" + p7 +
            R"("})",
        R"({"ZEKA":"GMUsbKeySignFile","tabID":1,"SignerDN":")" + sm2Dn +
            R"(","HashName":"SM3","XmlMsg":"x","KeyMsg":"k","FilePath":")" + file + R"(","FileP7Path":")" + p7 +
            R"("})",
        R"({"ZEKA":"GMGetPublicKey","tabID":1,"KeyType":"allpubkey"})",
        R"({"ZEKA":"GMGetPublicKeyC","tabID":1,"KeyType":"01","DnOrID":"02||11","Base64SerRand":"AAECAwQFBgcICQoLDA0ODxAREhM="})",
        R"({"ZEKA":"GMGetPublicKeyC","tabID":1,"KeyType":"02","DnOrID":"Demo SM2 User","Base64SerRand":"AAECAwQFBgcICQoLDA0ODxAREhM="})",
        R"({"ZEKA":"GetPublicKeyC","tabID":1})",
        R"({"ZEKA":"GMGetCertDN","tabID":1})",
        R"({"ZEKA":"GMGetAdminKeyInfo","tabID":1})",
        R"({"ZEKA":"GetCharsetList","tabID":1})",
        R"({"ZEKA":"GetLanguageList","tabID":1})",
        R"({"ZEKA":"getClientInfo","tabID":1})",
        R"({"ZEKA":"GetDriverVersion","tabID":1})",
        R"({"ZEKA":"GetMediaID","tabID":1})",
        R"({"ZEKA":"GetPublicKeyNum","tabID":1})",
        R"({"ZEKA":"ChangePin","tabID":1})",
        R"({"ZEKA":"CustInitCard","tabID":1})",
        R"({"ZEKA":"SetCharset","tabID":1,"CharSet":"GBK"})",
        R"J({"ZEKA":"GMCreatePKCS10","tabID":1,"CertInfo":"DN(CN=Fuzz,O=Bank,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)"})J",
        R"J({"ZEKA":"GMCreatePKCS10","tabID":1,"CertInfo":"DN(CN=Fuzz,C=CN)HASH(SHA256)KEYTYPE(RSA1024)CERTTYPE(02)||DN(CN=Fuzz,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)"})J",
        R"({"ZEKA":"GMWritePKCS7","tabID":1,"P7Pakge":"-----BEGIN CERTIFICATE-----\r\n)" + cert +
            R"(\r\n-----END CERTIFICATE-----\r\n"})",
        // The second part names no key on the token, so the first is rolled back.
        R"({"ZEKA":"GMWritePKCS7","tabID":1,"P7Pakge":")" + cert + "||" + caBody + R"("})",
        R"({"ZEKA":"GMDelTempKey","tabID":1,"CertDn":"","PublicKeyId":"12"})",
        R"({"ZEKA":"GMDelTempKey","tabID":1,"CertDn":"CN=Demo SM2 User","PublicKeyId":""})",
    };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_stateDir = fuzzing::MakeScratchDirectory("fuzz-answers-XXXXXX");
    RunTool({"demo"});
    RunTool({"add-key", "--type", "rsa1024", "--index", "1", "--pair-id", "fuzz-rsa"});
    RunTool({"add-key", "--type", "sm2", "--index", "1", "--no-cert"});
    const std::string workDir = fuzzing::MakeScratchDirectory("fuzz-answers-work-XXXXXX");
    BuildRequests(workDir);
    TakeSnapshot();

    void* module = dlopen(FUZZ_TAMPERING_MODULE, RTLD_NOW);
    if (!module) fuzzing::Fail("loading the tampering module");
    g_setScript = reinterpret_cast<SetScript>(dlsym(module, "TamperingModule_SetScript"));
    g_openSessions = reinterpret_cast<OpenSessions>(dlsym(module, "TamperingModule_OpenSessions"));
    if (!g_setScript || !g_openSessions) fuzzing::Fail("the tampering module's controls");

    setenv("SOFTTOKEN_DIR", g_stateDir.c_str(), 1);
    setenv("TOKEN_HOST_MODULE", FUZZ_TAMPERING_MODULE, 1);
    if (chdir(workDir.c_str()) != 0) fuzzing::Fail("chdir");
    fuzzing::SetUpHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    RestoreSnapshot();
    const std::string& request = g_requests[data[0] % g_requests.size()];
    g_setScript(data + 1, size - 1);
    ServeMessage(fuzzing::TheHost(), request);
    g_setScript(nullptr, 0);
    if (g_openSessions() != 0) {
        std::fprintf(stderr, "the host left %ld session(s) open\n", g_openSessions());
        std::abort();
    }
    return 0;
}
