// --diagnose on the key: the device layer examined in this process (its
// waits recorded, not slept) and reported through the host's report, and
// once through the host binary, which must leave the token as it found it.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "common/host_process.h"
#include "common/softtoken_fixture.h"
#include "device/DeviceP11Operation.h"
#include "device/module_connection.h"
#include "host/diagnosis.h"
#include "support/openssl_ptr.h"

namespace {

// The device layer on a module and the facade over it; discovery's waits
// are recorded instead of slept.
struct ExaminedDevice {
    explicit ExaminedDevice(const std::string& module)
        : device(std::make_unique<ModuleConnection>(module,
                                                    [this](unsigned int seconds) { waits.push_back(seconds); })),
          facade(device, "/nonexistent/chooser") {}

    std::vector<unsigned int> waits;
    DeviceP11Operation device;
    PKCS_Handle facade;
};

struct Report {
    DiagnosisReport report;
    std::string text;
    Json::Value json;
};

Report DiagnoseWith(const std::string& module) {
    ExaminedDevice examined(module);
    DiagnosisInput input;
    input.settings = {module, "/nonexistent/chooser", PathOrigin::Environment, PathOrigin::BuiltIn};
    input.hostVersion = "1.2.3";
    Report result{Diagnose(input, examined.facade.DiagnoseDevice()), "", Json::Value()};
    result.text = ReportAsText(result.report);
    std::string errors;
    const std::string json = ReportAsJson(result.report);
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(json.data(), json.data() + json.size(), &result.json, &errors)) << errors;
    return result;
}

struct KeyCase {
    const char* name;
    std::string module;
    std::vector<std::vector<std::string>> prepare;  // softtoken-tool commands
    long code;
    std::vector<std::string> shown;  // in the text report
};

const KeyCase kKeyCases[] = {
    {"UsableKey", SOFTTOKEN_MODULE, {{"demo"}}, 0,
     {"one-key rule:         0: exactly one key, in slot 1", "subject:    CN=Demo RSA User,O=Demo Bank,C=CN",
      "subject:    CN=Demo SM2 User,O=Demo Bank,C=CN", "key type:   RSA 2048", "key type:   SM2",
      "key pair:   public and private key found", "extended information: STK10000000000000001",
      "C_Initialize:         CKR_"}},
    // The second token's label tries to forge a line of the report.
    {"TwoKeys", SOFTTOKEN_MODULE, {{"demo"}, {"init", "--token", "2", "--label", "Two\n! one-key rule: 0"}}, -104,
     {"! one-key rule: -104: several keys", "slots with a token: 2", "label:          Two?! one-key rule: 0"}},
    {"NoKey", SOFTTOKEN_MODULE, {}, -102, {"! one-key rule: -102: no key is plugged in", "! slots with a token: 0"}},
    {"MissingModule", "/nonexistent/token-module.so", {}, -101,
     {"! file exists: no", "! load error:  /nonexistent/token-module.so: cannot open shared object file",
      "C_GetSlotList: not asked"}},
    {"NoAuxiliaryList", MODULE_NO_AUX, {}, -101,
     {"  C_GetFunctionList:    returned a list", "! E_GetAuxFunctionList: not exported", "! one-key rule: -101"}},
};

class KeyDiagnosis : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyDiagnosis, VerdictFollowsTheOneKeyRule) {
    const KeyCase& c = GetParam();
    SoftTokenDir token;
    for (const std::vector<std::string>& command : c.prepare) ASSERT_EQ(token.Tool(command).exitCode, 0);

    const Report result = DiagnoseWith(c.module);
    EXPECT_EQ(result.report.ExitStatus(), c.code == 0 ? 0 : 1);
    EXPECT_EQ(result.json["key"]["code"], static_cast<Json::Int64>(c.code));
    EXPECT_EQ(result.json["verdict"]["code"], static_cast<Json::Int64>(c.code));
    EXPECT_EQ(result.json["exit_status"], result.report.ExitStatus());
    for (const std::string& shown : c.shown) EXPECT_NE(result.text.find(shown), std::string::npos) << shown;
    if (c.code == 0) {
        ASSERT_EQ(result.json["key"]["certificates"].size(), 2u);
        EXPECT_EQ(result.json["key"]["certificates"][1]["subject"], "CN=Demo SM2 User,O=Demo Bank,C=CN");
    }
    EXPECT_EQ(token.Tool({"sessions"}).out, "0\n");
}

INSTANTIATE_TEST_SUITE_P(, KeyDiagnosis, ::testing::ValuesIn(kKeyCases),
                         [](const ::testing::TestParamInfo<KeyCase>& info) { return info.param.name; });

// A self-signed certificate valid from daysFromNow to daysFromNow + 1, as DER.
std::string CertificateValidFrom(long daysFromNow, const char* commonName) {
    const EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    const X509Ptr certificate(X509_new());
    if (!key || !certificate) return "";
    X509_set_version(certificate.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 7);
    constexpr long kDay = 24 * 60 * 60;
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), daysFromNow * kDay);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), (daysFromNow + 1) * kDay);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                               0);
    X509_set_issuer_name(certificate.get(), name);
    X509_set_pubkey(certificate.get(), key.get());
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) return "";
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate.get(), &der);
    const OpenSslBytes owned(der);
    return length > 0 ? std::string(reinterpret_cast<const char*>(der), static_cast<size_t>(length)) : "";
}

TEST(KeyDiagnosisCertificates, ValidityKeyTypeAndKeyPairAreShown) {
    SoftTokenDir token;
    ASSERT_EQ(token.Tool({"demo"}).exitCode, 0);
    const std::vector<std::pair<std::string, std::string>> added = {
        {"expired.der", CertificateValidFrom(-2, "Expired")},
        {"future.der", CertificateValidFrom(1, "Future")},
        {"garbage.der", "not a certificate"},
    };
    for (const auto& [file, content] : added) {
        ASSERT_FALSE(content.empty());
        const std::string path = token.Path() + "/" + file;
        std::ofstream(path, std::ios::binary) << content;
        ASSERT_EQ(token.Tool({"add-cert", "--file", path}).exitCode, 0);
    }

    const Report result = DiagnoseWith(SOFTTOKEN_MODULE);
    EXPECT_EQ(result.report.ExitStatus(), 0) << "a usable key, whatever its certificates";
    const Json::Value& certificates = result.json["key"]["certificates"];
    ASSERT_EQ(certificates.size(), 5u) << result.text;
    const Json::Value& rsa = certificates[0];
    EXPECT_EQ(rsa["issuer"], "CN=Demo RSA CA,O=Demo Bank,C=CN");
    EXPECT_EQ(rsa["expired"], false);
    EXPECT_EQ(rsa["not_yet_valid"], false);
    EXPECT_EQ(rsa["public_key"], true);
    EXPECT_EQ(rsa["private_key"], true);
    const Json::Value& expired = certificates[2];
    EXPECT_EQ(expired["subject"], "CN=Expired");
    EXPECT_EQ(expired["expired"], true);
    EXPECT_EQ(expired["not_yet_valid"], false);
    EXPECT_EQ(expired["key_type"], "EC prime256v1");
    EXPECT_EQ(expired["pair_id"], false) << "its key is not on the token";
    EXPECT_EQ(certificates[3]["not_yet_valid"], true);
    EXPECT_EQ(certificates[3]["expired"], false);
    EXPECT_EQ(certificates[4]["read"], true);
    EXPECT_EQ(certificates[4]["decoded"], false);

    for (const char* shown : {" UTC (expired)\n", " UTC (not yet valid)\n", "\n!   X.509:    no\n",
                              "key pair:   none (no pair ID"}) {
        EXPECT_NE(result.text.find(shown), std::string::npos) << shown << "\n" << result.text;
    }
}

std::string Trimmed(const std::string& text) { return text.substr(0, text.find_last_not_of('\n') + 1); }

// The token's objects, settings, holder queue and open sessions.
std::string TokenState(const SoftTokenDir& token) {
    return token.Tool({"list"}).out + token.Tool({"show"}).out + "sessions " + Trimmed(token.Tool({"sessions"}).out);
}

TEST(KeyDiagnosisBinary, ReportsTheKeyAndLeavesTheTokenAsItWas) {
    SoftTokenDir token;
    ASSERT_EQ(token.Tool({"demo"}).exitCode, 0);
    // Any login, signing or other prompt would take one of these.
    ASSERT_EQ(token.Tool({"queue", "cancel", "cancel@sign"}).exitCode, 0);
    const std::string before = TokenState(token);

    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = SOFTTOKEN_MODULE;
    options.env["SOFTTOKEN_DIR"] = token.Path();
    options.args = {"--diagnose"};
    HostProcess host(options);
    const std::string report = host.ReadUntilClosed(std::chrono::seconds(30));
    EXPECT_EQ(host.ExitCode(), 0) << report;
    EXPECT_NE(report.find("CN=Demo RSA User,O=Demo Bank,C=CN"), std::string::npos) << report;
    EXPECT_NE(report.find("Verdict: a usable key was found (exit status 0)"), std::string::npos) << report;

    EXPECT_EQ(TokenState(token), before);
    EXPECT_NE(before.find("sessions 0"), std::string::npos) << before;
}

}  // namespace
