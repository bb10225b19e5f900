// Shared pieces of the fuzz targets that drive the whole host: the message
// stream goes through the real frame reader and dispatcher, and replies go to
// /dev/null (libFuzzer reports on stderr).
#pragma once

#include <sys/mman.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceP11Operation.h"
#include "device/module_connection.h"
#include "facade/PKCSHandle.h"
#include "host/framing.h"
#include "host/handlers.h"
#include "host/message_loop.h"

namespace fuzzing {

inline void Fail(const char* what) {
    std::perror(what);
    std::abort();
}

// Replies are framed onto standard output; the fuzzer must not print them.
// A chunked reply reads its "GetMoreData" from standard input: it finds the
// end there at once.
inline void DetachStandardStreams() {
    const int sink = open("/dev/null", O_RDWR);
    if (sink < 0 || dup2(sink, STDOUT_FILENO) < 0 || dup2(sink, STDIN_FILENO) < 0) Fail("redirecting stdio");
    close(sink);
}

// Every target that touches the facade runs with a chooser that fails at
// once, so "NSChooseFile" costs one fork and nothing else.
inline void UseHarmlessChooser() { setenv("TOKEN_HOST_CHOOSER", "/bin/false", 1); }

// An in-memory file holding the input, read back from its start.
class InputFile {
public:
    InputFile(const uint8_t* data, size_t size) : fd_(memfd_create("fuzz-input", 0)) {
        if (fd_ < 0) Fail("memfd_create");
        size_t written = 0;
        while (written < size) {
            const ssize_t put = write(fd_, data + written, size - written);
            if (put <= 0) Fail("writing the fuzz input");
            written += static_cast<size_t>(put);
        }
        if (lseek(fd_, 0, SEEK_SET) != 0) Fail("lseek");
    }
    ~InputFile() { close(fd_); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// A fresh directory under the temporary folder, removed when the fuzzer exits.
inline std::string MakeScratchDirectory(const char* pattern) {
    static std::vector<std::string> made;
    std::string path = (std::filesystem::temp_directory_path() / pattern).string();
    if (!mkdtemp(path.data())) Fail("mkdtemp");
    if (made.empty()) {
        std::atexit([] {
            std::error_code ignored;
            for (const std::string& dir : made) std::filesystem::remove_all(dir, ignored);
        });
    }
    made.push_back(path);
    return path;
}

// The host the targets drive, made by SetUpHost once the environment is
// set: the device layer (whose discovery never sleeps), the facade over it,
// and the channel on standard input and output. Kept for the life of the
// fuzzer, as a host keeps its own.
struct FuzzedHost {
    explicit FuzzedHost(const TokenSettings& settings)
        : device(std::make_unique<ModuleConnection>(settings.modulePath, [](unsigned int) {})),
          facade(device, settings.chooserProgram) {}
    DeviceP11Operation device;
    PKCS_Handle facade;
    HostChannel channel{STDIN_FILENO, STDOUT_FILENO};
    Host host{facade, channel};
};

inline std::unique_ptr<FuzzedHost>& FuzzedHostSlot() {
    static std::unique_ptr<FuzzedHost> fuzzed;
    return fuzzed;
}

inline Host& TheHost() { return FuzzedHostSlot()->host; }

// The first byte picks the reader's block size, so frames also straddle
// block boundaries; the rest is the message stream.
inline void ServeStream(const uint8_t* data, size_t size) {
    if (size == 0) return;
    static const size_t kBlockSizes[] = {1, 2, 3, 4, 5, 7, 16, 64 * 1024};
    const size_t blockSize = kBlockSizes[data[0] % (sizeof kBlockSizes / sizeof kBlockSizes[0])];
    InputFile input(data + 1, size - 1);
    FrameReader reader(input.fd(), blockSize);
    // The reader ends for good at the end of input: the loop is bounded by it.
    for (;;) {
        InboundFrame frame = reader.Next();
        if (frame.kind == FrameKind::End) break;
        if (frame.kind == FrameKind::Message) ServeMessage(TheHost(), frame.body);
    }
}

// Call once the environment names the module. Discovery never sleeps here.
inline void SetUpHost() {
    DetachStandardStreams();
    UseHarmlessChooser();
    FuzzedHostSlot() = std::make_unique<FuzzedHost>(TokenSettingsFromEnvironment());
}

}  // namespace fuzzing
