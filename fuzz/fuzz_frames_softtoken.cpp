// The browser's message stream against the whole host and the software
// token holding the demo keys: every command reaches real token work. The
// token's state lives in a scratch directory made at start; output files the
// requests name land in a scratch working directory.
#include "fuzz/host_fuzzing.h"

#include <sys/wait.h>

#include <string>
#include <vector>

namespace {

void RunTool(const std::string& dir, const char* command) {
    const pid_t pid = fork();
    if (pid < 0) fuzzing::Fail("fork");
    if (pid == 0) {
        const int sink = open("/dev/null", O_WRONLY);
        if (sink >= 0) dup2(sink, STDOUT_FILENO);
        execl(FUZZ_SOFTTOKEN_TOOL, FUZZ_SOFTTOKEN_TOOL, "--dir", dir.c_str(), command, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fuzzing::Fail("setting up the software token");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string stateDir = fuzzing::MakeScratchDirectory("fuzz-softtoken-XXXXXX");
    RunTool(stateDir, "demo");
    setenv("SOFTTOKEN_DIR", stateDir.c_str(), 1);
    setenv("TOKEN_HOST_MODULE", FUZZ_SOFTTOKEN_MODULE, 1);
    if (chdir(fuzzing::MakeScratchDirectory("fuzz-work-XXXXXX").c_str()) != 0) fuzzing::Fail("chdir");
    fuzzing::SetUpHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::ServeStream(data, size);
    return 0;
}
