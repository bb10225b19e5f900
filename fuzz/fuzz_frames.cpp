// The browser's message stream against the whole host with no token module
// installed: framing, JSON parsing, dispatch, member conversion, facade
// checks, and every command's path to its error reply.
#include "fuzz/host_fuzzing.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TOKEN_HOST_MODULE", "/nonexistent/token-module.so", 1);
    fuzzing::SetUpHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::ServeStream(data, size);
    return 0;
}
