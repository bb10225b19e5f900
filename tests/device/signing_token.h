// Test fixture of the signing tests: a device layer on the software token
// with a fresh token per test, a scratch folder for the files to sign, and
// the token set-up steps the signing tests share.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device/modules/recorded_device.h"
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

class SigningTokenTest : public SoftTokenTest {
protected:
    void SetUp() override {
        SoftTokenTest::SetUp();
        std::string pattern = (std::filesystem::temp_directory_path() / "signing-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        scratch_ = pattern;
        Run({"init"});
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
        SoftTokenTest::TearDown();
    }

    // Runs the token's tool; its output.
    std::string Run(std::vector<std::string> args) {
        ToolResult result = dir.Tool(args);
        EXPECT_EQ(result.exitCode, 0) << args[0] << ": " << result.out;
        return result.out;
    }

    // Adds a certified pair; its pair ID.
    std::string AddKey(const std::string& type, const std::string& format, const std::string& subject) {
        std::string id = Run({"add-key", "--type", type, "--format", format, "--subject", subject});
        while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
        return id;
    }

    // Adds a certificate object with raw bytes under a pair ID of its own.
    void AddCertificate(const std::string& pairId, const std::string& bytes) {
        const std::string path = Path("certificate.bin");
        WriteWholeFile(path, bytes);
        Run({"add-cert", "--file", path, "--pair-id", pairId});
    }

    Bytes Certificate(const std::string& pairId) {
        const std::string path = Path("exported.der");
        Run({"export", "--pair-id", pairId, "--what", "cert", "--out", path});
        const std::string der = ReadWholeFile(path);
        return Bytes(der.begin(), der.end());
    }

    // Deletes the object of that class ("public-key", "private-key",
    // "certificate") and pair.
    void DeleteObject(const std::string& kind, const std::string& pairId) {
        std::istringstream listing(Run({"list"}));
        std::string line;
        while (std::getline(listing, line)) {
            std::istringstream fields(line);
            std::string handle, objectClass, algorithm, index, format, id;
            fields >> handle >> objectClass >> algorithm >> index >> format >> id;
            if (objectClass == kind && id == pairId) {
                Run({"delete-object", "--handle", handle});
                return;
            }
        }
        ADD_FAILURE() << "no " << kind << " of " << pairId;
    }

    std::string Path(const std::string& name) const { return scratch_ + "/" + name; }

    std::string scratch_;
    RecordedDevice d;
};

}  // namespace signing_checks
