// Host processes of several browser tabs on one software token at once:
// two enrol keys and install their certificates while a third signs. Every
// reply must be right and every key pair and certificate must be on the
// token afterwards.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include <json/writer.h>

#include "common/host_process.h"
#include "hardening/hardening_support.h"

namespace hardening {
namespace {

using std::chrono::seconds;

std::string Compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

std::string Base64Decode(const std::string& text) {
    std::string bytes(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                                       reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0) return "";
    bytes.resize(static_cast<size_t>(length) - std::count(text.end() - std::min<size_t>(2, text.size()), text.end(), '='));
    return bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One tab's host process; its requests fail the test where the reply is wrong.
class Tab {
public:
    explicit Tab(const std::string& stateDir) {
        HostProcess::Options options;
        options.env["TOKEN_HOST_MODULE"] = SoftTokenModule();
        options.env["TOKEN_HOST_CHOOSER"] = "/bin/false";
        options.env["SOFTTOKEN_DIR"] = stateDir;
        host_ = std::make_unique<HostProcess>(options);
    }

    // The reply's "text".
    Json::Value Ask(Json::Value request) {
        request["tabID"] = ++requests_;
        if (!host_->SendMessage(Compact(request))) return Json::Value();
        const std::optional<std::string> frame = host_->ReadFrame(seconds(60));
        const std::optional<Json::Value> reply = frame ? ParseReply(*frame) : std::nullopt;
        return reply ? (*reply)["text"] : Json::Value();
    }

    int End() {
        host_->SendEnd();
        return host_->ExitCode(seconds(30));
    }

private:
    std::unique_ptr<HostProcess> host_;
    int requests_ = 0;
};

struct Enroller {
    const char* tab;
    const char* keyType;
    const char* hash;
    const char* alg;
    int keys;  // as many as the token has free indexes for
};

// Enrols keys one after another, each certified by the demo CA and installed.
void Enrol(const std::string& stateDir, const Enroller& enroller) {
    Tab tab(stateDir);
    ScratchDir work("shared-token-enrol");
    for (int i = 1; i <= enroller.keys; ++i) {
        const std::string cn = std::string(enroller.tab) + " " + std::to_string(i);
        SCOPED_TRACE(cn);
        Json::Value create;
        create["ZEKA"] = "GMCreatePKCS10";
        create["CertInfo"] = "DN(CN=" + cn + ",O=Bank,C=CN)HASH(" + enroller.hash + ")KEYTYPE(" + enroller.keyType +
                             ")CERTTYPE(01)";
        const Json::Value request = tab.Ask(create);
        ASSERT_TRUE(request.isString()) << request;
        const std::string csr = work.Path() + "/request.der";
        const std::string certificate = work.Path() + "/certificate.pem";
        std::ofstream(csr, std::ios::binary) << Base64Decode(request.asString());
        ASSERT_EQ(RunTool(stateDir, {"issue", "--csr", csr, "--out", certificate, "--alg", enroller.alg}).exitCode, 0);
        Json::Value install;
        install["ZEKA"] = "GMWritePKCS7";
        install["P7Pakge"] = ReadFile(certificate);
        ASSERT_EQ(tab.Ask(install), 0);
    }
    EXPECT_EQ(tab.End(), 0);
}

// Signs with the demo keys until told to stop.
void Sign(const std::string& stateDir, const std::atomic<bool>& stop, int& signatures) {
    Tab tab(stateDir);
    Json::Value sign;
    sign["ZEKA"] = "GMUsbKeySign";
    sign["XmlMsg"] = "<transfer>100</transfer>";
    sign["KeyMsg"] = "confirm";
    for (signatures = 0; !stop || signatures == 0; ++signatures) {
        const bool sm2 = signatures % 2 != 0;
        sign["DeSignerDN"] = sm2 ? "CN=Demo SM2 User,O=Demo Bank,C=CN" : "CN=Demo RSA User,O=Demo Bank,C=CN";
        sign["HashName"] = sm2 ? "SM3" : "SHA256";
        const Json::Value signature = tab.Ask(sign);
        ASSERT_TRUE(signature.isString() && !signature.asString().empty()) << signature;
    }
    EXPECT_EQ(tab.End(), 0);
}

TEST(SharedToken, TabsEnrollingInstallingAndSigningAtOnceLoseNothing) {
    ScratchDir state("shared-token");
    ASSERT_EQ(RunTool(state.Path(), {"demo"}).exitCode, 0);
    // The demo pairs take index 0 of each algorithm.
    const Enroller enrollers[] = {{"Tab A", "RSA1024", "SHA256", "rsa", 7}, {"Tab B", "SM2256", "SM3", "sm2", 5}};
    std::atomic<bool> stop{false};
    int signatures = 0;
    std::thread signer(Sign, state.Path(), std::cref(stop), std::ref(signatures));
    std::vector<std::thread> enrolling;
    for (const Enroller& enroller : enrollers) enrolling.emplace_back(Enrol, state.Path(), enroller);
    for (std::thread& thread : enrolling) thread.join();
    stop = true;
    signer.join();

    // Every pair: public key, private key and certificate, nothing else.
    std::map<std::string, std::multiset<std::string>> pairs;
    std::multiset<std::string> subjects;
    std::istringstream lines(RunTool(state.Path(), {"list"}).out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string handle, kind, keyType, index, format, pairId, subject;
        fields >> handle >> kind >> keyType >> index >> format >> pairId;
        std::getline(fields >> std::ws, subject);
        pairs[pairId].insert(kind);
        if (kind == "certificate") subjects.insert(subject);
    }
    std::multiset<std::string> expected = {"CN=Demo RSA User,O=Demo Bank,C=CN", "CN=Demo SM2 User,O=Demo Bank,C=CN"};
    for (const Enroller& enroller : enrollers) {
        for (int i = 1; i <= enroller.keys; ++i) {
            expected.insert("C=CN,O=Bank,CN=" + std::string(enroller.tab) + " " + std::to_string(i));
        }
    }
    EXPECT_EQ(subjects, expected);
    EXPECT_EQ(pairs.size(), expected.size());
    for (const auto& [pairId, kinds] : pairs) {
        EXPECT_EQ(kinds, (std::multiset<std::string>{"certificate", "private-key", "public-key"})) << pairId;
    }
    EXPECT_EQ(ToolNumber(state.Path(), "sessions"), 0);
    EXPECT_GT(signatures, 0);
}

}  // namespace
}  // namespace hardening
