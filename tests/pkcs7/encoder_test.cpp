#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>
#include <string>
#include <vector>

#include "openssl_fixtures.h"
#include "pkcs7/sgndata.h"

namespace {

using fixtures::Bytes;
using fixtures::TestIdentities;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Of(const der::Bytes& bytes) { return Bytes(bytes.data, bytes.data + bytes.size); }

Bytes IssuerAndSerial(const Bytes& certDer) {
    auto cert = fixtures::ParseCert(certDer);
    unsigned char* name = nullptr;
    const int nameLength = i2d_X509_NAME(X509_get_issuer_name(cert.get()), &name);
    unsigned char* serial = nullptr;
    const int serialLength = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert.get()), &serial);
    Bytes id(name, name + nameLength);
    id.insert(id.end(), serial, serial + serialLength);
    OPENSSL_free(name);
    OPENSSL_free(serial);
    return id;
}

// Runs one part encoder (or _Encode) into an exactly sized buffer.
template <typename Encoder>
Bytes EncodeWith(Encoder encode) {
    const int length = encode(nullptr, INT_MAX);
    EXPECT_GT(length, 0);
    if (length <= 0) return {};
    Bytes out(length);
    unsigned char* cursor = out.data();
    EXPECT_EQ(encode(&cursor, length), length);
    EXPECT_EQ(cursor, out.data() + length);
    return out;
}

Bytes Encode(const _signedData& sd) {
    return EncodeWith([&](unsigned char** c, int cap) { return sd._Encode(c, cap); });
}

Bytes SignatureOf(size_t length, unsigned char fill) { return Bytes(length, fill); }

TEST(SignerCert, RefusesMissingOrInvalidCertificates) {
    _signerCert cert;
    const Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(cert.SetCert(nullptr, 10), -194);
    EXPECT_EQ(cert.SetCert(garbage.data(), 0), -194);
    EXPECT_EQ(cert.SetCert(garbage.data(), static_cast<int>(garbage.size())), -193);
    unsigned char out[8];
    EXPECT_EQ(cert.GetCert(out, sizeof out), -194);  // a failed set leaves nothing behind
    EXPECT_EQ(cert.GetID(out, sizeof out), -193);
    EXPECT_EQ(cert.getID(), -194);
    EXPECT_EQ(cert._Encode(nullptr, 100), -194);
}

TEST(SignerCert, DerivesIssuerAndSerial) {
    const Bytes& der = TestIdentities::Get().sm2Cert;
    const Bytes expectedId = IssuerAndSerial(der);
    ASSERT_EQ(Bytes(expectedId.end() - 5, expectedId.end()), (Bytes{0x02, 0x03, 0x00, 0x80, 0xF1}));
    _signerCert cert;
    EXPECT_EQ(cert.SetCert(der.data(), static_cast<int>(der.size())), static_cast<int>(expectedId.size()));
    EXPECT_EQ(cert.getID(), static_cast<int>(expectedId.size()));

    Bytes id(expectedId.size());
    EXPECT_EQ(cert.GetID(id.data(), static_cast<int>(id.size())), static_cast<int>(id.size()));
    EXPECT_EQ(id, expectedId);
    EXPECT_EQ(cert.GetID(id.data(), static_cast<int>(id.size()) - 1), -227);

    Bytes copy(der.size());
    EXPECT_EQ(cert.GetCert(nullptr, 10000), -227);
    EXPECT_EQ(cert.GetCert(copy.data(), static_cast<int>(copy.size()) - 1), -227);
    EXPECT_EQ(cert.GetCert(copy.data(), static_cast<int>(copy.size())), static_cast<int>(der.size()));
    EXPECT_EQ(copy, der);

    EXPECT_EQ(cert._Encode(nullptr, static_cast<int>(der.size()) - 1), -195);
    unsigned char* null = nullptr;
    EXPECT_EQ(cert._Encode(&null, 100000), -195);
}

TEST(SignerCert, AdjustLenCountsMinimalLengthFields) {
    EXPECT_EQ(_signerCert::adjustLen(0, 2), 2);
    EXPECT_EQ(_signerCert::adjustLen(127, 1000), 129);
    EXPECT_EQ(_signerCert::adjustLen(128, 1000), 131);
    EXPECT_EQ(_signerCert::adjustLen(256, 1000), 260);
    EXPECT_EQ(_signerCert::adjustLen(65536, 100000), 65541);
    EXPECT_EQ(_signerCert::adjustLen(0x1000000, INT_MAX), 0x1000000 + 6);
    EXPECT_EQ(_signerCert::adjustLen(128, 130), -195);
    EXPECT_EQ(_signerCert::adjustLen(-1, 100), -195);
    EXPECT_EQ(_signerCert::adjustLen(65535, 100000, der::kInnerLengthBytes), 65539);
    EXPECT_EQ(_signerCert::adjustLen(65536, 100000, der::kInnerLengthBytes), -195);
}

TEST(SignerInfo, SettersAndMissingParts) {
    _SignerInfo signer;
    EXPECT_EQ(signer.adjustLen(1000), -228);
    EXPECT_EQ(signer.SetDigestAlgo(3), 3);
    EXPECT_EQ(signer.SetDigestAlgo(0), 0);
    EXPECT_EQ(signer.SetDigestAlgo(7), 0);
    EXPECT_EQ(signer.GetDigestAlgo(), 3);
    EXPECT_EQ(signer.adjustLen(1000), -193);

    const Bytes& der = TestIdentities::Get().rsaCert;
    ASSERT_GT(signer.SetCert(der.data(), static_cast<int>(der.size())), 0);
    EXPECT_EQ(signer.adjustLen(1000), -227);
    unsigned char out[4];
    EXPECT_EQ(signer.GetSigned(out, 4), -225);
    EXPECT_EQ(signer.SetSigned(nullptr, 4), -227);
    const Bytes sig = {1, 2, 3, 4};
    EXPECT_EQ(signer.SetSigned(sig.data(), 4), 4);
    EXPECT_EQ(signer.GetSigned(out, 3), -227);
    EXPECT_EQ(signer.GetSigned(out, 4), 4);
}

TEST(SignerInfo, EncodesFixedLayout) {
    const Bytes& der = TestIdentities::Get().sm2Cert;
    const Bytes id = IssuerAndSerial(der);
    const Bytes sig = SignatureOf(70, 0x5A);
    _SignerInfo signer;
    signer.SetDigestAlgo(6);
    ASSERT_GT(signer.SetCert(der.data(), static_cast<int>(der.size())), 0);
    ASSERT_EQ(signer.SetSigned(sig.data(), static_cast<int>(sig.size())), 70);

    const Bytes body = Concat({{0x02, 0x01, 0x01}, {0x30, static_cast<unsigned char>(id.size())}, id,
                               Of(der::MakeBytes(der::kAlgSm3)), Of(der::MakeBytes(der::kAlgSm2)), {0x04, 70}, sig});
    ASSERT_LT(id.size(), 128u);
    ASSERT_GE(body.size(), 128u);
    ASSERT_LT(body.size(), 256u);
    const Bytes expected = Concat({{0x30, 0x81, static_cast<unsigned char>(body.size())}, body});
    EXPECT_EQ(signer.adjustLen(100000), static_cast<int>(body.size()));
    EXPECT_EQ(EncodeWith([&](unsigned char** c, int cap) { return signer._Encode(c, cap); }), expected);
    EXPECT_EQ(signer._Encode(nullptr, static_cast<int>(expected.size()) - 1), -195);
}

TEST(SignedData, AddingCertificatesAndSigners) {
    const Bytes& der = TestIdentities::Get().rsaCert;
    const int length = static_cast<int>(der.size());
    const Bytes sig = SignatureOf(256, 1);
    _signedData sd;
    EXPECT_EQ(sd._AddSigner(der.data(), length, 9, sig.data(), 256), 0);
    EXPECT_EQ(sd._AddSigner(sig.data(), 256, 2, sig.data(), 256), -193);
    EXPECT_EQ(sd._AddSigner(der.data(), length, 2, nullptr, 0), -227);
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(sd._AddSigner(der.data(), length, 2, sig.data(), 256), i);
    EXPECT_EQ(sd._AddSigner(der.data(), length, 2, sig.data(), 256), -209);

    EXPECT_EQ(sd._AddCert(sig.data(), 10), -193);
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(sd._AddCert(der.data(), length), i);
    EXPECT_EQ(sd._AddCert(der.data(), length), -209);
}

TEST(SignedData, DataAccessors) {
    _signedData sd;
    unsigned char out[3];
    EXPECT_EQ(sd.GetData(out, 3), -225);
    EXPECT_EQ(sd.SetData(nullptr, 3), -227);
    EXPECT_EQ(sd.SetData(out, -1), -227);
    const Bytes content = {'a', 'b', 'c'};
    EXPECT_EQ(sd.SetData(content.data(), 3), 3);
    EXPECT_EQ(sd.GetData(out, 2), -227);
    EXPECT_EQ(sd.GetData(out, 3), 3);
    EXPECT_EQ(sd.SetData(content.data(), 0), 0);
    EXPECT_EQ(sd.GetData(out, 3), -225);
}

TEST(SignedData, PartsInOrderAndWithoutDuplicateDigests) {
    const auto& ids = TestIdentities::Get();
    const Bytes sig = SignatureOf(64, 7);
    _signedData sd;
    ASSERT_EQ(sd._AddCert(ids.rsaCert.data(), static_cast<int>(ids.rsaCert.size())), 1);
    ASSERT_EQ(sd._AddSigner(ids.sm2Cert.data(), static_cast<int>(ids.sm2Cert.size()), 3, sig.data(), 64), 1);
    ASSERT_EQ(sd._AddSigner(ids.sm2Cert.data(), static_cast<int>(ids.sm2Cert.size()), 6, sig.data(), 64), 2);
    ASSERT_EQ(sd._AddSigner(ids.rsaCert.data(), static_cast<int>(ids.rsaCert.size()), 3, sig.data(), 64), 3);

    const Bytes digests = Concat({{0x31, 29}, Of(der::MakeBytes(der::kAlgSha256)), Of(der::MakeBytes(der::kAlgSm3))});
    EXPECT_EQ(EncodeWith([&](unsigned char** c, int cap) { return sd._EncodeSetDigests(c, cap); }), digests);

    const Bytes certs = EncodeWith([&](unsigned char** c, int cap) { return sd._EncodeSetCerts(c, cap); });
    const Bytes body = Concat({ids.rsaCert, ids.sm2Cert, ids.sm2Cert, ids.rsaCert});
    ASSERT_GE(body.size(), 256u);
    ASSERT_LT(body.size(), 65536u);
    EXPECT_EQ(certs, Concat({{0xA0, 0x82, static_cast<unsigned char>(body.size() >> 8),
                              static_cast<unsigned char>(body.size())},
                             body}));

    const Bytes noContent = Concat({{0x30, 0x0D}, Of(der::MakeBytes(der::kOidData)), {0xA0, 0x00}});
    EXPECT_EQ(EncodeWith([&](unsigned char** c, int cap) { return sd._EncodeData(c, cap); }), noContent);
}

TEST(SignedData, CapacityIsCheckedInBothPasses) {
    const auto& ids = TestIdentities::Get();
    const Bytes sig = SignatureOf(256, 3);
    const std::string content(1000, 'x');
    _signedData sd;
    sd.SetData(reinterpret_cast<const unsigned char*>(content.data()), static_cast<int>(content.size()));
    sd._AddSigner(ids.rsaCert.data(), static_cast<int>(ids.rsaCert.size()), 2, sig.data(), 256);
    const int length = sd._Encode(nullptr, INT_MAX);
    ASSERT_GT(length, 1000);

    Bytes out(length, 0xEE);
    unsigned char* cursor = out.data();
    EXPECT_EQ(sd._Encode(&cursor, length - 1), -195);
    EXPECT_EQ(cursor, out.data());
    unsigned char* null = nullptr;
    EXPECT_EQ(sd._Encode(&null, length), -195);
    EXPECT_EQ(sd._Encode(&cursor, length), length);
    EXPECT_EQ(cursor, out.data() + length);
}

// The DER must be a SignedData that OpenSSL reads with content and certificate.
void ExpectReadableByOpenSsl(const Bytes& der, const std::string& content, const Bytes& cert, int digestNid) {
    const unsigned char* p = der.data();
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())),
                                                      PKCS7_free);
    ASSERT_TRUE(p7);
    EXPECT_EQ(p, der.data() + der.size());
    ASSERT_TRUE(PKCS7_type_is_signed(p7.get()));
    ASSERT_FALSE(PKCS7_get_detached(p7.get()));
    ASN1_OCTET_STRING* attached = p7->d.sign->contents->d.data;
    ASSERT_NE(attached, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(attached->data), attached->length), content);
    STACK_OF(X509)* certs = p7->d.sign->cert;
    ASSERT_EQ(sk_X509_num(certs), 1);
    unsigned char* certDer = nullptr;
    const int certLength = i2d_X509(sk_X509_value(certs, 0), &certDer);
    EXPECT_EQ(Bytes(certDer, certDer + certLength), cert);
    OPENSSL_free(certDer);

    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
    ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(infos), 1);
    PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(infos, 0);
    EXPECT_EQ(OBJ_obj2nid(info->digest_alg->algorithm), digestNid);
    auto parsed = fixtures::ParseCert(cert);
    EXPECT_EQ(X509_NAME_cmp(info->issuer_and_serial->issuer, X509_get_issuer_name(parsed.get())), 0);
    EXPECT_EQ(ASN1_INTEGER_cmp(info->issuer_and_serial->serial, X509_get0_serialNumber(parsed.get())), 0);

    p = der.data();
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())), CMS_ContentInfo_free);
    ASSERT_TRUE(cms);
    ASN1_OCTET_STRING** cmsContent = CMS_get0_content(cms.get());
    ASSERT_TRUE(cmsContent && *cmsContent);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>((*cmsContent)->data), (*cmsContent)->length), content);
}

TEST(SignedData, OpenSslReadsRsaAndSm2SignedData) {
    const auto& ids = TestIdentities::Get();
    const Bytes sig = SignatureOf(256, 0x42);
    for (int code : {1, 2, 3, 4, 5, 6}) {
        static const int kNids[] = {0, NID_md5, NID_sha1, NID_sha256, NID_sha384, NID_sha512, NID_sm3};
        const Bytes& cert = code == 6 ? ids.sm2Cert : ids.rsaCert;
        const std::string content = "content for digest " + std::to_string(code);
        _signedData sd;
        sd.SetData(reinterpret_cast<const unsigned char*>(content.data()), static_cast<int>(content.size()));
        ASSERT_EQ(sd._AddSigner(cert.data(), static_cast<int>(cert.size()), code, sig.data(), 256), 1);
        SCOPED_TRACE(code);
        ExpectReadableByOpenSsl(Encode(sd), content, cert, kNids[code]);
    }
}

TEST(SignedData, LargeContentTakesLongLengthFields) {
    const auto& ids = TestIdentities::Get();
    const Bytes sig = SignatureOf(256, 0x42);
    const std::string content(70000, 'q');
    _signedData sd;
    sd.SetData(reinterpret_cast<const unsigned char*>(content.data()), static_cast<int>(content.size()));
    sd._AddSigner(ids.rsaCert.data(), static_cast<int>(ids.rsaCert.size()), 3, sig.data(), 256);
    const Bytes der = Encode(sd);
    const Bytes octetHeader = {0x04, 0x83, 0x01, 0x11, 0x70};
    EXPECT_NE(std::search(der.begin(), der.end(), octetHeader.begin(), octetHeader.end()), der.end());
    ExpectReadableByOpenSsl(der, content, ids.rsaCert, NID_sha256);
}

TEST(SignedData, RsaSignatureVerifiesWithOpenSsl) {
    const auto& ids = TestIdentities::Get();
    const std::string content = "<T><A>100.00</A></T>";
    Bytes sig(EVP_PKEY_get_size(ids.rsaKey.get()));
    size_t sigLength = sig.size();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    ASSERT_EQ(EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, ids.rsaKey.get()), 1);
    ASSERT_EQ(EVP_DigestSign(md.get(), sig.data(), &sigLength, reinterpret_cast<const unsigned char*>(content.data()),
                             content.size()),
              1);

    _signedData sd;
    sd.SetData(reinterpret_cast<const unsigned char*>(content.data()), static_cast<int>(content.size()));
    sd._AddSigner(ids.rsaCert.data(), static_cast<int>(ids.rsaCert.size()), 3, sig.data(),
                  static_cast<int>(sigLength));
    const Bytes der = Encode(sd);
    const unsigned char* p = der.data();
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())),
                                                      PKCS7_free);
    ASSERT_TRUE(p7);
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    EXPECT_EQ(PKCS7_verify(p7.get(), nullptr, store.get(), nullptr, nullptr, PKCS7_NOVERIFY), 1);

    sig[10] ^= 1;
    _signedData forged;
    forged.SetData(reinterpret_cast<const unsigned char*>(content.data()), static_cast<int>(content.size()));
    forged._AddSigner(ids.rsaCert.data(), static_cast<int>(ids.rsaCert.size()), 3, sig.data(),
                      static_cast<int>(sigLength));
    const Bytes bad = Encode(forged);
    p = bad.data();
    p7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(bad.size())));
    ASSERT_TRUE(p7);
    EXPECT_NE(PKCS7_verify(p7.get(), nullptr, store.get(), nullptr, nullptr, PKCS7_NOVERIFY), 1);
}

TEST(Sm2Signature, IntegersGetASignByteOnlyWhenNeeded) {
    Bytes rs(64);
    for (int i = 0; i < 32; ++i) {
        rs[i] = static_cast<unsigned char>(0x80 + i);  // r starts at 0x80
        rs[32 + i] = static_cast<unsigned char>(0x10 + i);
    }
    Bytes out;
    ASSERT_TRUE(p7::EncodeSm2Signature(rs.data(), rs.size(), out));
    const Bytes r(rs.begin(), rs.begin() + 32), s(rs.begin() + 32, rs.end());
    EXPECT_EQ(out, Concat({{0x30, 0x45, 0x02, 0x21, 0x00}, r, {0x02, 0x20}, s}));

    rs[0] = 0x7F;
    rs[32] = 0xFF;
    ASSERT_TRUE(p7::EncodeSm2Signature(rs.data(), rs.size(), out));
    EXPECT_EQ(out[1], 0x45);
    EXPECT_EQ(Bytes(out.begin() + 2, out.begin() + 4), (Bytes{0x02, 0x20}));
    EXPECT_EQ(Bytes(out.begin() + 36, out.begin() + 39), (Bytes{0x02, 0x21, 0x00}));

    rs[0] = 0x00;  // leading zeros stay
    rs[32] = 0x01;
    ASSERT_TRUE(p7::EncodeSm2Signature(rs.data(), rs.size(), out));
    EXPECT_EQ(out.size(), 70u);
    EXPECT_EQ(out[4], 0x00);

    EXPECT_FALSE(p7::EncodeSm2Signature(rs.data(), 0, out));
    EXPECT_FALSE(p7::EncodeSm2Signature(rs.data(), 63, out));
}

}  // namespace
