// softtoken-tool: its commands as other tests and the README rely on them.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <sstream>

#include "token_test_support.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(SoftTokenTool, DemoCreatesTwoCertifiedPairsOnceOnly) {
    SoftTokenDir dir;
    ToolResult demo = dir.Tool({"demo"});
    ASSERT_EQ(demo.exitCode, 0);
    std::vector<std::string> pairIds = Lines(demo.out);
    ASSERT_EQ(pairIds.size(), 2u);
    std::vector<std::string> listed = Lines(dir.Tool({"list"}).out);
    ASSERT_EQ(listed.size(), 6u);
    EXPECT_EQ(listed[0], "16777217 public-key rsa 0 02 " + pairIds[0] + " -");
    EXPECT_EQ(listed[1], "16777218 private-key rsa 0 - " + pairIds[0] + " -");
    EXPECT_EQ(listed[2], "16777219 certificate - - - " + pairIds[0] + " CN=Demo RSA User,O=Demo Bank,C=CN");
    EXPECT_EQ(listed[3], "16777220 public-key sm2 0 01 " + pairIds[1] + " -");
    EXPECT_EQ(listed[5], "16777222 certificate - - - " + pairIds[1] + " CN=Demo SM2 User,O=Demo Bank,C=CN");

    ToolResult again = dir.Tool({"demo"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(Lines(dir.Tool({"list"}).out).size(), 6u);
}

TEST(SoftTokenTool, ErrorsExitWithOneAndWriteNothingOnStdout) {
    SoftTokenDir dir;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"list"},                                   // no token yet
             {"frobnicate"},                             // unknown command
             {"init", "--token", "9"},                   // tokens 1 to 8
             {"init", "--tries", "7"},                   // at most 6
             {"init", "--slot"},                         // option without value
         }) {
        ToolResult result = dir.Tool(args);
        EXPECT_EQ(result.exitCode, 1) << args[0];
        EXPECT_EQ(result.out, "") << args[0];
    }
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    EXPECT_EQ(dir.Tool({"set", "--text-format", "03"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"set", "--ext-info", "maybe"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"set", "--language-list", std::string(301, 'a')}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"set", "--admin-key-id", std::string(19, 'a')}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"add-key", "--type", "rsa4096"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"add-key", "--type", "sm2", "--index", "6"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"delete-object", "--handle", "12345"}).exitCode, 1);
}

TEST(SoftTokenTool, InitOptionsShowUpInShow) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init", "--token", "2", "--slot", "0", "--serial", "XYZ", "--tries", "3"}).exitCode, 0);
    ASSERT_EQ(dir.Tool({"unplug", "--token", "2"}).exitCode, 0);
    std::string shown = dir.Tool({"show", "--token", "2"}).out;
    EXPECT_NE(shown.find("plugged: no\n"), std::string::npos);
    EXPECT_NE(shown.find("slot: 0\n"), std::string::npos);
    EXPECT_NE(shown.find("serial: XYZ             \n"), std::string::npos);
    EXPECT_NE(shown.find("tries: 3\n"), std::string::npos);
    EXPECT_NE(shown.find("initialised: no\n"), std::string::npos);
}

TEST(SoftTokenTool, KeysTakeTheLowestFreeIndexAndGivenPairIds) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    ASSERT_EQ(dir.Tool({"add-key", "--type", "sm2", "--index", "0", "--no-cert"}).exitCode, 0);
    ToolResult second = dir.Tool({"add-key", "--type", "sm2", "--pair-id", "mine", "--format", "01"});
    ASSERT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, "mine\n");
    std::vector<std::string> listed = Lines(dir.Tool({"list"}).out);
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_NE(listed[2].find(" public-key sm2 1 01 mine -"), std::string::npos);
    EXPECT_NE(listed[4].find(" certificate - - - mine CN=Test SM2 User 1,O=Demo Bank,C=CN"), std::string::npos);
    EXPECT_EQ(dir.Tool({"add-key", "--type", "sm2", "--pair-id", "mine"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"add-key", "--type", "sm2", "--index", "1"}).exitCode, 1);
}

TEST(SoftTokenTool, CertificatesCanBeAddedRawExportedAndDeleted) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    std::string pairId = LastLine(dir.Tool({"add-key", "--type", "rsa1024"}).out);
    std::string certPath = dir.Path() + "/user.der";
    ASSERT_EQ(dir.Tool({"export", "--pair-id", pairId, "--what", "cert", "--out", certPath}).exitCode, 0);
    Bytes der = ReadFileBytes(certPath);
    ASSERT_FALSE(der.empty());
    EXPECT_EQ(der[0], 0x30);

    ASSERT_EQ(dir.Tool({"delete-cert", "--pair-id", pairId}).exitCode, 0);
    EXPECT_EQ(dir.Tool({"delete-cert", "--pair-id", pairId}).exitCode, 1);
    // Without --pair-id a certificate of a key on the token is linked to it.
    ASSERT_EQ(dir.Tool({"add-cert", "--file", certPath}).exitCode, 0);
    EXPECT_NE(dir.Tool({"list"}).out.find("certificate - - - " + pairId + " CN="), std::string::npos);

    std::string junkPath = dir.Path() + "/junk.bin";
    WriteFileBytes(junkPath, {0x30, 0x03, 0x01, 0x02});
    ToolResult junk = dir.Tool({"add-cert", "--file", junkPath, "--pair-id", "odd"});
    ASSERT_EQ(junk.exitCode, 0);
    EXPECT_NE(dir.Tool({"list"}).out.find(LastLine(junk.out) + " certificate - - - odd -"), std::string::npos);
    ASSERT_EQ(dir.Tool({"delete-object", "--handle", LastLine(junk.out)}).exitCode, 0);
    EXPECT_EQ(dir.Tool({"list"}).out.find(" odd "), std::string::npos);

    std::string keyPath = dir.Path() + "/public.pem";
    ASSERT_EQ(dir.Tool({"export", "--pair-id", pairId, "--what", "pubkey", "--out", keyPath}).exitCode, 0);
    Bytes pem = ReadFileBytes(keyPath);
    EXPECT_EQ(std::string(pem.begin(), pem.begin() + 26), "-----BEGIN PUBLIC KEY-----");
}

}  // namespace

namespace {

// Issues a certificate for a new request key through the tool; returns the
// issued certificate, or null.
X509* IssueThroughTool(const SoftTokenDir& dir, EVP_PKEY* key, bool sm2, bool tamper, int& exitCode) {
    X509_REQ* request = X509_REQ_new();
    X509_NAME* name = X509_REQ_get_subject_name(request);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Requester"), -1, -1,
                               0);
    X509_REQ_set_pubkey(request, key);
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    if (sm2) EVP_PKEY_CTX_set1_id(context, "1234567812345678", 16);
    EVP_MD_CTX_set_pkey_ctx(digest, context);
    EVP_DigestSignInit(digest, nullptr, sm2 ? EVP_sm3() : EVP_sha256(), nullptr, key);
    X509_REQ_sign_ctx(request, digest);
    EVP_MD_CTX_free(digest);
    EVP_PKEY_CTX_free(context);
    unsigned char* der = nullptr;
    int length = i2d_X509_REQ(request, &der);
    Bytes requestDer(der, der + length);
    OPENSSL_free(der);
    X509_REQ_free(request);
    if (tamper) requestDer[requestDer.size() / 3] ^= 0x01;

    std::string requestPath = dir.Path() + "/request.der";
    std::string certificatePath = dir.Path() + "/issued.der";
    WriteFileBytes(requestPath, requestDer);
    exitCode = dir.Tool({"issue", "--csr", requestPath, "--out", certificatePath, "--format", "der"}).exitCode;
    if (exitCode != 0) return nullptr;
    Bytes issued = ReadFileBytes(certificatePath);
    const unsigned char* cursor = issued.data();
    return d2i_X509(nullptr, &cursor, static_cast<long>(issued.size()));
}

X509* CaCertificate(const SoftTokenDir& dir, const char* algorithm) {
    std::string path = dir.Path() + "/ca.pem";
    if (dir.Tool({"ca-cert", "--alg", algorithm, "--out", path}).exitCode != 0) return nullptr;
    FILE* file = std::fopen(path.c_str(), "r");
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    return certificate;
}

TEST(SoftTokenTool, IssuesCertificatesForVerifiedRequests) {
    SoftTokenDir dir;
    EVP_PKEY* rsaKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024});
    int exitCode = -1;
    X509* rsaCertificate = IssueThroughTool(dir, rsaKey, false, false, exitCode);
    ASSERT_NE(rsaCertificate, nullptr);
    X509* rsaCa = CaCertificate(dir, "rsa");
    ASSERT_NE(rsaCa, nullptr);
    EXPECT_EQ(X509_verify(rsaCertificate, X509_get0_pubkey(rsaCa)), 1);
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(rsaCertificate), X509_get_subject_name(rsaCa)), 0);
    EXPECT_EQ(IssueThroughTool(dir, rsaKey, false, true, exitCode), nullptr);
    EXPECT_EQ(exitCode, 1);
    X509_free(rsaCertificate);
    X509_free(rsaCa);
    EVP_PKEY_free(rsaKey);

    EVP_PKEY* sm2Key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    X509* sm2Certificate = IssueThroughTool(dir, sm2Key, true, false, exitCode);
    ASSERT_NE(sm2Certificate, nullptr);
    X509* sm2Ca = CaCertificate(dir, "sm2");
    ASSERT_NE(sm2Ca, nullptr);
    ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>("1234567812345678"), 16);
    X509_set0_distinguishing_id(sm2Certificate, id);
    EXPECT_EQ(X509_verify(sm2Certificate, X509_get0_pubkey(sm2Ca)), 1);
    X509_free(sm2Certificate);
    X509_free(sm2Ca);
    EVP_PKEY_free(sm2Key);
}

}  // namespace
