// Test fixture of the signing tests: a device layer on the software token,
// a fresh token state per test, and the checks every signing test shares.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "device/DeviceP11Operation.h"
#include "signing_checks.h"

namespace signing_checks {

inline std::string Gb18030(const std::string& utf8) {
    iconv_t cd = iconv_open("GB18030", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string out(utf8.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* cursor = &out[0];
    size_t outLeft = out.size();
    iconv(cd, &in, &inLeft, &cursor, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class SigningTokenTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/signing-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("SOFTTOKEN_DIR", (dir_ + "/state").c_str(), 1);
        Tool("init");
        device_ = std::make_unique<DeviceP11Operation>(SOFTTOKEN_MODULE);
        device_->SetSleeper([](unsigned int) {});
    }

    void TearDown() override {
        if (device_ && device_->Functions()) {
            EXPECT_EQ(OpenSessions(), 0UL) << "a session was left open";
        }
        device_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Runs the token's tool on this test's state; output of a successful run.
    std::string Tool(const std::string& args) {
        const std::string command =
            std::string(SOFTTOKEN_TOOL) + " --dir '" + dir_ + "/state' " + args + " 2>&1";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
        std::string output;
        char buffer[512];
        while (pipe && fgets(buffer, sizeof buffer, pipe.get())) output += buffer;
        const int status = pclose(pipe.release());
        EXPECT_EQ(status, 0) << command << "\n" << output;
        return output;
    }

    // Adds a certified pair; returns its pair ID.
    std::string AddKey(const std::string& type, const std::string& format, const std::string& subject) {
        std::string id = Tool("add-key --type " + type + " --format " + format + " --subject '" + subject + "'");
        while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
        return id;
    }

    Bytes Certificate(const std::string& pairId) {
        const std::string path = dir_ + "/cert.der";
        Tool("export --pair-id " + pairId + " --what cert --out '" + path + "'");
        const std::string der = ReadWholeFile(path);
        return Bytes(der.begin(), der.end());
    }

    // Handle of the first object in the tool's listing of the given class
    // ("cert", "pub", "priv" as the listing names them) and pair.
    unsigned long Handle(const std::string& kind, const std::string& pairId) {
        std::istringstream listing(Tool("list"));
        std::string line;
        while (std::getline(listing, line)) {
            if (line.find(pairId) == std::string::npos || line.find(kind) == std::string::npos) continue;
            return std::stoul(line);
        }
        ADD_FAILURE() << "no " << kind << " object of " << pairId;
        return 0;
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    unsigned long OpenSessions() {
        void* module = dlopen(SOFTTOKEN_MODULE, RTLD_NOW | RTLD_NOLOAD);
        if (!module) return ~0UL;
        using CountFn = unsigned long (*)();
        auto count = reinterpret_cast<CountFn>(dlsym(module, "SoftToken_OpenSessionCount"));
        const unsigned long n = count ? count() : ~0UL;
        dlclose(module);
        return n;
    }

    std::string dir_;
    std::unique_ptr<DeviceP11Operation> device_;
};

}  // namespace signing_checks
