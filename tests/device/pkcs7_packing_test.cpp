#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "device/pkcs7_packing.h"
#include "pkcs7/openssl_fixtures.h"
#include "support/MyBase64.h"
#include "token_module/token_module.h"

namespace {

using fixtures::Bytes;
using fixtures::TestIdentities;
using P7Ptr = std::unique_ptr<PKCS7, decltype(&PKCS7_free)>;

Bytes FromBase64(const std::string& text) {
    CMyBase64 base64;
    unsigned int length = 0;
    const int required = base64.Decode(text.c_str(), nullptr, &length);
    if (required < 0) return {};
    Bytes out(required);
    length = required;
    base64.Decode(text.c_str(), reinterpret_cast<char*>(out.data()), &length);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes RsaSign(EVP_PKEY* key, const EVP_MD* md, const std::string& content) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    Bytes sig(EVP_PKEY_get_size(key));
    size_t length = sig.size();
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key), 1);
    EXPECT_EQ(EVP_DigestSign(ctx.get(), sig.data(), &length, reinterpret_cast<const unsigned char*>(content.data()),
                             content.size()),
              1);
    sig.resize(length);
    return sig;
}

P7Ptr ParseP7(const Bytes& der) {
    const unsigned char* p = der.data();
    return P7Ptr(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())), PKCS7_free);
}

std::string AttachedContent(PKCS7* p7) {
    ASN1_OCTET_STRING* data = p7->d.sign->contents->d.data;
    return data ? std::string(reinterpret_cast<const char*>(data->data), data->length) : std::string();
}

// Verifies an RSA SignedData with OpenSSL, both as PKCS#7 and as CMS, without
// judging the certificate chain.
void ExpectRsaVerifies(const Bytes& der, const std::string& content) {
    P7Ptr p7 = ParseP7(der);
    ASSERT_TRUE(p7);
    EXPECT_EQ(AttachedContent(p7.get()), content);
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    EXPECT_EQ(PKCS7_verify(p7.get(), nullptr, store.get(), nullptr, nullptr, PKCS7_NOVERIFY), 1);

    const unsigned char* p = der.data();
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())), CMS_ContentInfo_free);
    ASSERT_TRUE(cms);
    EXPECT_EQ(CMS_verify(cms.get(), nullptr, store.get(), nullptr, nullptr, CMS_NO_SIGNER_CERT_VERIFY), 1);
}

// Checks an SM2 SignedData: the signer's certificate from the set gives the
// public key, and r,s verify over SM3(Z || content).
void ExpectSm2Verifies(const Bytes& der, const std::string& content) {
    P7Ptr p7 = ParseP7(der);
    ASSERT_TRUE(p7);
    EXPECT_EQ(AttachedContent(p7.get()), content);
    ASSERT_EQ(sk_X509_num(p7->d.sign->cert), 1);
    EVP_PKEY* key = X509_get0_pubkey(sk_X509_value(p7->d.sign->cert, 0));
    ASSERT_NE(key, nullptr);
    PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(OBJ_obj2nid(info->digest_alg->algorithm), NID_sm3);
    const Bytes signature(info->enc_digest->data, info->enc_digest->data + info->enc_digest->length);

    Bytes signedBytes = fixtures::Sm2Z(key);
    signedBytes.insert(signedBytes.end(), content.begin(), content.end());
    EXPECT_TRUE(fixtures::Sm2VerifyDigest(key, fixtures::Digest(EVP_sm3(), signedBytes), signature));
}

// What the signing flow hands over for SM2: Z || text, and r || s over it.
struct Sm2Signed {
    std::string data;
    Bytes rs;
};

Sm2Signed SignSm2(const std::string& text) {
    const auto& ids = TestIdentities::Get();
    const Bytes z = fixtures::Sm2Z(ids.sm2Key.get());
    Sm2Signed result;
    result.data.assign(z.begin(), z.end());
    result.data += text;
    result.rs = fixtures::Sm2SignDigest(ids.sm2Key.get(),
                                        fixtures::Digest(EVP_sm3(), Bytes(result.data.begin(), result.data.end())));
    return result;
}

Bytes TokenOrder(Bytes signature, bool sm2) {
    if (!sm2) {
        std::reverse(signature.begin(), signature.end());
    } else {
        std::reverse(signature.begin(), signature.begin() + signature.size() / 2);
        std::reverse(signature.begin() + signature.size() / 2, signature.end());
    }
    return signature;
}

class PackingTest : public ::testing::Test {
protected:
    std::string TempPath(const char* name) {
        std::string path = ::testing::TempDir() + "p7_" + std::to_string(getpid()) + "_" + name;
        created_.push_back(path);
        return path;
    }
    void TearDown() override {
        for (const std::string& path : created_) std::remove(path.c_str());
    }

    std::vector<std::string> created_;
};

TEST_F(PackingTest, RsaSignaturesVerifyForEveryHash) {
    const auto& ids = TestIdentities::Get();
    const std::string content = "110000000039210000000002AB220000000001C230000000000";
    const std::pair<unsigned long, const EVP_MD*> cases[] = {{CKM_SHA1_RSA_PKCS, EVP_sha1()},
                                                             {CKM_SHA256_RSA_PKCS, EVP_sha256()},
                                                             {CKM_SHA384_RSA_PKCS, EVP_sha384()},
                                                             {CKM_SHA512_RSA_PKCS, EVP_sha512()}};
    for (const auto& [mechanism, md] : cases) {
        SCOPED_TRACE(mechanism);
        std::string out;
        ASSERT_EQ(PackCert2P7(content, ids.rsaCert, RsaSign(ids.rsaKey.get(), md, content), mechanism, false, out), 0);
        ExpectRsaVerifies(FromBase64(out), content);
    }
}

TEST_F(PackingTest, Sm2SignatureVerifiesAndContentLeavesZOut) {
    const auto& ids = TestIdentities::Get();
    const std::string text = "11000000003921000000000" "2AB220000000001C230000000000";
    const Sm2Signed sm2 = SignSm2(text);
    std::string out;
    ASSERT_EQ(PackCert2P7(sm2.data, ids.sm2Cert, sm2.rs, CKM_VENDOR_SM2_SM3, true, out), 0);
    ExpectSm2Verifies(FromBase64(out), text);
}

TEST_F(PackingTest, FailuresLeaveTheResultUntouched) {
    const auto& ids = TestIdentities::Get();
    const Bytes sig(256, 1);
    const Bytes rs(64, 0x81);
    std::string out = "previous";
    EXPECT_EQ(PackCert2P7("text", ids.rsaCert, sig, CKM_MD5_RSA_PKCS, false, out), -409);
    EXPECT_EQ(PackCert2P7(std::string(32, 'z'), ids.sm2Cert, rs, CKM_VENDOR_SM2_SM3, true, out), -409);
    EXPECT_EQ(PackCert2P7("", ids.rsaCert, sig, CKM_SHA1_RSA_PKCS, false, out), -409);
    EXPECT_EQ(PackCert2P7("text", Bytes{0x30, 0x00}, sig, CKM_SHA1_RSA_PKCS, false, out), -409);
    EXPECT_EQ(PackCert2P7("text", ids.rsaCert, Bytes(), CKM_SHA1_RSA_PKCS, false, out), -409);
    EXPECT_EQ(PackCert2P7(std::string(40, 'z'), ids.sm2Cert, Bytes(63, 1), CKM_VENDOR_SM2_SM3, true, out), -409);
    EXPECT_EQ(PackCert2P7SignFile("text", ids.rsaCert, sig, CKM_MD5_RSA_PKCS, false, out, ""), -409);
    EXPECT_EQ(PackCert2P7SignFile("text", ids.rsaCert, sig, CKM_SHA1_RSA_PKCS, false, out, "/nonexistent-dir/out.p7"),
              -409);
    EXPECT_EQ(out, "previous");
    EXPECT_EQ(PackCert2P7(std::string(33, 'z'), ids.sm2Cert, rs, CKM_VENDOR_SM2_SM3, true, out), 0);
}

TEST_F(PackingTest, FileSignaturesAreTurnedBackBeforePacking) {
    const auto& ids = TestIdentities::Get();
    const std::string content(200000, 'f');  // several file pieces
    const Bytes rsaSig = RsaSign(ids.rsaKey.get(), EVP_sha256(), content);
    const std::string rsaPath = TempPath("rsa.p7");
    std::string out = "untouched";
    ASSERT_EQ(
        PackCert2P7SignFile(content, ids.rsaCert, TokenOrder(rsaSig, false), CKM_SHA256_RSA_PKCS, false, out, rsaPath),
        0);
    EXPECT_EQ(out, "untouched");
    const std::string rsaText = ReadFile(rsaPath);
    EXPECT_EQ(rsaText.find_first_of("\r\n"), std::string::npos);
    ExpectRsaVerifies(FromBase64(rsaText), content);

    const Sm2Signed sm2 = SignSm2("file text");
    const std::string sm2Path = TempPath("sm2.p7");
    ASSERT_EQ(
        PackCert2P7SignFile(sm2.data, ids.sm2Cert, TokenOrder(sm2.rs, true), CKM_VENDOR_SM2_SM3, true, out, sm2Path),
        0);
    ExpectSm2Verifies(FromBase64(ReadFile(sm2Path)), "file text");

    // Without a path the text goes to the result string instead.
    ASSERT_EQ(PackCert2P7SignFile(sm2.data, ids.sm2Cert, TokenOrder(sm2.rs, true), CKM_VENDOR_SM2_SM3, true, out, ""),
              0);
    ExpectSm2Verifies(FromBase64(out), "file text");
}

// Content whose SignedData DER is exactly derSize bytes long.
std::string ContentForDerSize(const Bytes& cert, const Bytes& sig, size_t derSize) {
    size_t contentSize = derSize / 2;
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::string out;
        const std::string content(contentSize, 'c');
        if (PackCert2P7(content, cert, sig, CKM_SHA256_RSA_PKCS, false, out) != 0) break;
        const size_t size = FromBase64(out).size();
        if (size == derSize) return content;
        contentSize = contentSize + derSize - size;
    }
    ADD_FAILURE() << "no content gives a DER of " << derSize << " bytes";
    return {};
}

TEST_F(PackingTest, FileHoldsExactlyTheBase64OfTheDerAtPieceBoundaries) {
    const auto& ids = TestIdentities::Get();
    const Bytes sig(256, 0x33);
    for (size_t derSize : {61439u, 61440u, 61441u, 122880u}) {
        SCOPED_TRACE(derSize);
        const std::string content = ContentForDerSize(ids.rsaCert, sig, derSize);
        std::string expected;
        ASSERT_EQ(PackCert2P7(content, ids.rsaCert, sig, CKM_SHA256_RSA_PKCS, false, expected), 0);
        ASSERT_EQ(expected.size(), (derSize + 2) / 3 * 4);

        const std::string path = TempPath("pieces.p7");
        std::string out;
        ASSERT_EQ(
            PackCert2P7SignFile(content, ids.rsaCert, TokenOrder(sig, false), CKM_SHA256_RSA_PKCS, false, out, path),
            0);
        EXPECT_EQ(ReadFile(path), expected);
    }
}

}  // namespace
