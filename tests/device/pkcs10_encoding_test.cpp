// DER encoders of certificate requests, checked byte for byte and by
// OpenSSL verifying requests signed with software keys.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "device/pkcs10.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct ReqFree {
    void operator()(X509_REQ* r) const { X509_REQ_free(r); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using ReqPtr = std::unique_ptr<X509_REQ, ReqFree>;

const Bytes kNameCnTestCCn{0x30, 0x1C, 0x31, 0x0D, 0x30, 0x0B, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x04, 0x54, 0x65,
                           0x73, 0x74, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x06, 0x0C, 0x02, 0x43, 0x4E};

Bytes RsaModulus(EVP_PKEY* key) {
    BIGNUM* n = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n), 1);
    std::unique_ptr<BIGNUM, BnFree> owner(n);
    Bytes modulus(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, modulus.data());
    return modulus;
}

Bytes Sign(EVP_PKEY* key, const EVP_MD* md, const Bytes& data) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key), 1);
    size_t length = 0;
    EXPECT_EQ(EVP_DigestSign(ctx.get(), nullptr, &length, data.data(), data.size()), 1);
    Bytes signature(length);
    EXPECT_EQ(EVP_DigestSign(ctx.get(), signature.data(), &length, data.data(), data.size()), 1);
    signature.resize(length);
    return signature;
}

ReqPtr ParseRequest(const Bytes& der) {
    const unsigned char* p = der.data();
    ReqPtr request(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
    EXPECT_EQ(p, der.data() + der.size()) << "trailing bytes after the request";
    return request;
}

class Pkcs10EncodingTest : public ::testing::Test {
protected:
};

TEST_F(Pkcs10EncodingTest, Rsa1024PublicKeyInfoIs162Bytes) {
    Bytes modulus(128, 0x5A);
    modulus[0] = 0xC1;
    unsigned long length = 0;
    ASSERT_TRUE(GetPublicKeyDer(modulus.data(), modulus.size(), nullptr, &length));
    ASSERT_EQ(length, 162u);
    Bytes spki(length);
    ASSERT_TRUE(GetPublicKeyDer(modulus.data(), modulus.size(), spki.data(), &length));
    Bytes head{0x30, 0x81, 0x9F, 0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01,
               0x01, 0x05, 0x00, 0x03, 0x81, 0x8D, 0x00, 0x30, 0x81, 0x89, 0x02, 0x81, 0x81, 0x00};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), spki.begin()));
    EXPECT_TRUE(std::equal(modulus.begin(), modulus.end(), spki.begin() + head.size()));
    EXPECT_EQ(Bytes(spki.end() - 5, spki.end()), (Bytes{0x02, 0x03, 0x01, 0x00, 0x01}));

    unsigned long small = 161;
    EXPECT_FALSE(GetPublicKeyDer(modulus.data(), modulus.size(), spki.data(), &small));
    // A modulus below 0x80 gets no leading zero.
    modulus[0] = 0x7F;
    ASSERT_TRUE(GetPublicKeyDer(modulus.data(), modulus.size(), nullptr, &length));
    EXPECT_EQ(length, 161u);
}

TEST_F(Pkcs10EncodingTest, Sm2PublicKeyInfo) {
    Bytes x(32, 0x11), y(32, 0x22);
    unsigned long length = 0;
    ASSERT_TRUE(GetSM2PublicKeyDer(x.data(), y.data(), nullptr, &length));
    ASSERT_EQ(length, 91u);
    Bytes spki(length);
    ASSERT_TRUE(GetSM2PublicKeyDer(x.data(), y.data(), spki.data(), &length));
    Bytes head{0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
               0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x03, 0x42, 0x00, 0x04};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), spki.begin()));
    EXPECT_EQ(Bytes(spki.begin() + 27, spki.begin() + 59), x);
    EXPECT_EQ(Bytes(spki.begin() + 59, spki.end()), y);
}

TEST_F(Pkcs10EncodingTest, RsaRequestVerifiesWithOpenSsl) {
    PkeyPtr key(EVP_RSA_gen(1024));
    ASSERT_TRUE(key);
    Bytes modulus = RsaModulus(key.get());
    unsigned long length = 4096;
    Bytes info(length);
    ASSERT_TRUE(GetRSAPKCS10Code(modulus.data(), modulus.size(), kNameCnTestCCn.data(), kNameCnTestCCn.size(),
                                 info.data(), &length));
    info.resize(length);
    EXPECT_EQ(length, 3u + 3 + 30 + 162 + 2);

    struct Case {
        const char* hash;
        const EVP_MD* md;
        int nid;
    };
    for (const Case& c : {Case{"MD5", EVP_md5(), NID_md5WithRSAEncryption},
                          Case{"SHA1", EVP_sha1(), NID_sha1WithRSAEncryption},
                          Case{"SHA256", EVP_sha256(), NID_sha256WithRSAEncryption},
                          Case{"SHA384", EVP_sha384(), NID_sha384WithRSAEncryption},
                          Case{"SHA512", EVP_sha512(), NID_sha512WithRSAEncryption}}) {
        Bytes signature = Sign(key.get(), c.md, info);
        Bytes request(4096);
        unsigned long requestLength = request.size();
        ASSERT_EQ(GenerateRSAP10Request(c.hash, signature.data(), signature.size(), info.data(), info.size(),
                                        request.data(), &requestLength),
                  0)
            << c.hash;
        request.resize(requestLength);
        ReqPtr parsed = ParseRequest(request);
        ASSERT_TRUE(parsed) << c.hash;
        EXPECT_EQ(X509_REQ_get_signature_nid(parsed.get()), c.nid);
        EXPECT_EQ(X509_REQ_verify(parsed.get(), key.get()), 1) << c.hash;
        char subject[256];
        X509_NAME_oneline(X509_REQ_get_subject_name(parsed.get()), subject, sizeof subject);
        EXPECT_STREQ(subject, "/CN=Test/C=CN");
    }
}

TEST_F(Pkcs10EncodingTest, RsaRequestRefusesSm3AndSmallArea) {
    Bytes info{0x30, 0x00}, signature(128, 1), request(4096);
    unsigned long length = request.size();
    EXPECT_EQ(GenerateRSAP10Request("SM3", signature.data(), signature.size(), info.data(), info.size(), request.data(),
                                    &length),
              -353);
    EXPECT_EQ(GenerateRSAP10Request("sha256", signature.data(), signature.size(), info.data(), info.size(),
                                    request.data(), &length),
              -353);
    length = 100;
    EXPECT_EQ(GenerateRSAP10Request("SHA256", signature.data(), signature.size(), info.data(), info.size(),
                                    request.data(), &length),
              -353);
}

// The signature value part of an SM2 request: everything after the algorithm.
Bytes SignatureValue(const Bytes& request) {
    static const Bytes algorithm{0x30, 0x0A, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75};
    auto at = std::search(request.begin(), request.end(), algorithm.begin(), algorithm.end());
    return at == request.end() ? Bytes() : Bytes(at + algorithm.size(), request.end());
}

TEST_F(Pkcs10EncodingTest, Sm2IntegersTakeTheShortestDerForm) {
    Bytes tbs(32 + 2, 0);
    tbs[32] = 0x30;
    Bytes signature(64, 0x33);
    signature[0] = 0x80;   // r needs a zero in front
    signature[32] = 0x00;  // s loses its leading zero byte: OpenSSL refuses non-minimal integers
    Bytes request(4096);
    unsigned long length = request.size();
    ASSERT_EQ(GenerateSM2P10Request("SM3", signature.data(), signature.size(), tbs.data(), tbs.size(), request.data(),
                                    &length),
              0);
    request.resize(length);
    Bytes value = SignatureValue(request);
    ASSERT_EQ(value.size(), 3u + 2 + 35 + 33);
    EXPECT_EQ(Bytes(value.begin(), value.begin() + 8), (Bytes{0x03, 0x47, 0x00, 0x30, 0x44, 0x02, 0x21, 0x00}));
    EXPECT_EQ(Bytes(value.begin() + 8, value.begin() + 40), Bytes(signature.begin(), signature.begin() + 32));
    EXPECT_EQ(Bytes(value.begin() + 40, value.begin() + 42), (Bytes{0x02, 0x1F}));
    EXPECT_EQ(Bytes(value.begin() + 42, value.end()), Bytes(signature.begin() + 33, signature.end()));
}

TEST_F(Pkcs10EncodingTest, Sm2RequestRejectsUnusableInput) {
    Bytes tbs(40, 0), request(4096), signature(64, 1);
    unsigned long length = request.size();
    EXPECT_EQ(GenerateSM2P10Request("SM3", signature.data(), 0, tbs.data(), tbs.size(), request.data(), &length), -353);
    EXPECT_EQ(GenerateSM2P10Request("SM3", signature.data(), 63, tbs.data(), tbs.size(), request.data(), &length),
              -353);
    EXPECT_EQ(GenerateSM2P10Request("SM3", signature.data(), 64, tbs.data(), 31, request.data(), &length), -353);
}

TEST_F(Pkcs10EncodingTest, PairIdOfRecordIsBounded) {
    Bytes record(kKeyRecordSize, 0);
    std::string id = "pair-3f2a9c01";
    std::copy(id.begin(), id.end(), record.begin());
    Bytes expected(id.begin(), id.end());
    expected.push_back(0);
    EXPECT_EQ(PairIdOfRecord(record.data()), expected);

    std::fill(record.begin(), record.end(), 'x');  // no terminating zero in the record
    Bytes bounded = PairIdOfRecord(record.data());
    EXPECT_EQ(bounded.size(), kKeyRecordSize);
    EXPECT_EQ(bounded.back(), 0);
}

}  // namespace
