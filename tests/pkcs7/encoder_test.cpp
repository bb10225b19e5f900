#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <climits>
#include <string>

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

Bytes Of(const unsigned char* data, int size) { return Bytes(data, data + size); }
Bytes Of(const der::View& bytes) { return Of(bytes.data, bytes.size); }
int Size(const Bytes& bytes) { return static_cast<int>(bytes.size()); }

Bytes IssuerAndSerial(const Bytes& certDer) {
    auto cert = fixtures::ParseCert(certDer);
    unsigned char* name = nullptr;
    unsigned char* serial = nullptr;
    const int nameLength = i2d_X509_NAME(X509_get_issuer_name(cert.get()), &name);
    const int serialLength = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert.get()), &serial);
    Bytes id = Concat({Of(name, nameLength), Of(serial, serialLength)});
    OPENSSL_free(name);
    OPENSSL_free(serial);
    return id;
}

// Measures, then encodes into a buffer of exactly that size.
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

TEST(SignerCert, IdentifierAndAccessors) {
    SignerCert cert;
    const Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(cert.SetCert(nullptr, 10), -194);
    EXPECT_EQ(cert.SetCert(garbage.data(), 0), -194);
    EXPECT_EQ(cert.SetCert(garbage.data(), Size(garbage)), -193);
    unsigned char small[8];
    EXPECT_EQ(cert.GetCert(small, sizeof small), -194);  // a failed set leaves nothing behind
    EXPECT_EQ(cert.GetID(small, sizeof small), -193);

    const Bytes& der = TestIdentities::Get().sm2Cert;
    const Bytes id = IssuerAndSerial(der);
    ASSERT_EQ(Bytes(id.end() - 5, id.end()), (Bytes{0x02, 0x03, 0x00, 0x80, 0xF1}));
    EXPECT_EQ(cert.SetCert(der.data(), Size(der)), Size(id));
    Bytes copy(der.size());
    EXPECT_EQ(cert.GetID(copy.data(), Size(id)), Size(id));
    EXPECT_EQ(Bytes(copy.begin(), copy.begin() + id.size()), id);
    EXPECT_EQ(cert.GetCert(copy.data(), Size(der) - 1), -227);
    EXPECT_EQ(cert.GetCert(nullptr, 100000), -227);
    EXPECT_EQ(cert.GetCert(copy.data(), Size(der)), Size(der));
    EXPECT_EQ(copy, der);
    EXPECT_EQ(cert.Encode(nullptr, Size(der) - 1), -195);
}

TEST(SignerCert, AdjustLenCountsMinimalLengthFields) {
    EXPECT_EQ(SignerCert::adjustLen(127, 1000), 129);
    EXPECT_EQ(SignerCert::adjustLen(128, 1000), 131);
    EXPECT_EQ(SignerCert::adjustLen(256, 1000), 260);
    EXPECT_EQ(SignerCert::adjustLen(0x1000000, INT_MAX), 0x1000000 + 6);
    EXPECT_EQ(SignerCert::adjustLen(128, 130), -195);
    EXPECT_EQ(SignerCert::adjustLen(65535, 100000, p7::kInnerLengthBytes), 65539);
    EXPECT_EQ(SignerCert::adjustLen(65536, 100000, p7::kInnerLengthBytes), -195);
}

TEST(SignerInfo, MissingPartsAndFixedLayout) {
    SignerInfo signer;
    EXPECT_EQ(signer.adjustLen(1000), -228);
    EXPECT_EQ(signer.SetDigestAlgo(7), 0);
    EXPECT_EQ(signer.SetDigestAlgo(6), 6);
    EXPECT_EQ(signer.SetDigestAlgo(0), 0);
    EXPECT_EQ(signer.GetDigestAlgo(), 6);
    EXPECT_EQ(signer.adjustLen(1000), -193);
    const Bytes& der = TestIdentities::Get().sm2Cert;
    ASSERT_GT(signer.SetCert(der.data(), Size(der)), 0);
    EXPECT_EQ(signer.adjustLen(1000), -227);
    unsigned char out[70];
    EXPECT_EQ(signer.GetSigned(out, 70), -225);

    const Bytes sig(70, 0x5A);
    ASSERT_EQ(signer.SetSigned(sig.data(), Size(sig)), 70);
    const Bytes id = IssuerAndSerial(der);
    const Bytes body = Concat({{0x02, 0x01, 0x01, 0x30, static_cast<unsigned char>(id.size())}, id,
                               Of(der::MakeView(p7::kAlgSm3)), Of(der::MakeView(p7::kAlgSm2)), {0x04, 70}, sig});
    ASSERT_GE(body.size(), 128u);
    ASSERT_LT(body.size(), 256u);
    EXPECT_EQ(signer.adjustLen(100000), Size(body));
    const Bytes expected = Concat({{0x30, 0x81, static_cast<unsigned char>(body.size())}, body});
    EXPECT_EQ(EncodeWith([&](unsigned char** c, int cap) { return signer.Encode(c, cap); }), expected);
    EXPECT_EQ(signer.Encode(nullptr, Size(expected) - 1), -195);
}

TEST(SignedData, AddingCertificatesSignersAndData) {
    const Bytes& der = TestIdentities::Get().rsaCert;
    const Bytes sig(256, 1);
    SignedData sd;
    EXPECT_EQ(sd.AddSigner(der.data(), Size(der), 9, sig.data(), 256), 0);
    EXPECT_EQ(sd.AddSigner(sig.data(), 256, 2, sig.data(), 256), -193);
    EXPECT_EQ(sd.AddSigner(der.data(), Size(der), 2, nullptr, 0), -227);
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(sd.AddSigner(der.data(), Size(der), 2, sig.data(), 256), i);
    EXPECT_EQ(sd.AddSigner(der.data(), Size(der), 2, sig.data(), 256), -209);
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(sd.AddCert(der.data(), Size(der)), i);
    EXPECT_EQ(sd.AddCert(der.data(), Size(der)), -209);

    unsigned char out[3];
    EXPECT_EQ(sd.GetData(out, 3), -225);
    EXPECT_EQ(sd.SetData(nullptr, 3), -227);
    EXPECT_EQ(sd.SetData(sig.data(), 3), 3);
    EXPECT_EQ(sd.GetData(out, 2), -227);
    EXPECT_EQ(sd.GetData(out, 3), 3);
}

TEST(SignedData, PartsInOrderWithoutDuplicateDigests) {
    const auto& ids = TestIdentities::Get();
    const Bytes sig(64, 7);
    SignedData sd;
    ASSERT_EQ(sd.AddCert(ids.rsaCert.data(), Size(ids.rsaCert)), 1);
    ASSERT_EQ(sd.AddSigner(ids.sm2Cert.data(), Size(ids.sm2Cert), 3, sig.data(), 64), 1);
    ASSERT_EQ(sd.AddSigner(ids.sm2Cert.data(), Size(ids.sm2Cert), 6, sig.data(), 64), 2);
    ASSERT_EQ(sd.AddSigner(ids.rsaCert.data(), Size(ids.rsaCert), 3, sig.data(), 64), 3);

    EXPECT_EQ(EncodeWith([&](unsigned char** c, int cap) { return sd.EncodeSetDigests(c, cap); }),
              Concat({{0x31, 29}, Of(der::MakeView(p7::kAlgSha256)), Of(der::MakeView(p7::kAlgSm3))}));

    const Bytes certs = Concat({ids.rsaCert, ids.sm2Cert, ids.sm2Cert, ids.rsaCert});
    ASSERT_GE(certs.size(), 256u);
    EXPECT_EQ(EncodeWith([&](unsigned char** c, int cap) { return sd.EncodeSetCerts(c, cap); }),
              Concat({{0xA0, 0x82, static_cast<unsigned char>(certs.size() >> 8),
                       static_cast<unsigned char>(certs.size())},
                      certs}));

    EXPECT_EQ(EncodeWith([&](unsigned char** c, int cap) { return sd.EncodeData(c, cap); }),
              Concat({{0x30, 0x0D}, Of(der::MakeView(p7::kOidData)), {0xA0, 0x00}}));
}

TEST(SignedData, CapacityIsChecked) {
    const auto& ids = TestIdentities::Get();
    const Bytes sig(256, 3);
    SignedData sd;
    sd.SetData(sig.data(), 200);
    sd.AddSigner(ids.rsaCert.data(), Size(ids.rsaCert), 2, sig.data(), 256);
    const int length = sd.Encode(nullptr, INT_MAX);
    Bytes out(length);
    unsigned char* cursor = out.data();
    EXPECT_EQ(sd.Encode(&cursor, length - 1), -195);
    EXPECT_EQ(cursor, out.data());
    unsigned char* null = nullptr;
    EXPECT_EQ(sd.Encode(&null, length), -195);
    EXPECT_EQ(sd.Encode(&cursor, length), length);
}

// OpenSSL must read the DER as SignedData, with content, certificate and
// issuer-and-serial, both as PKCS#7 and as CMS.
void ExpectReadableByOpenSsl(const Bytes& der, const std::string& content, const Bytes& cert, int digestNid) {
    const unsigned char* p = der.data();
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7(nullptr, &p, Size(der)), PKCS7_free);
    ASSERT_TRUE(p7 && PKCS7_type_is_signed(p7.get()));
    EXPECT_EQ(p, der.data() + der.size());
    ASN1_OCTET_STRING* attached = p7->d.sign->contents->d.data;
    ASSERT_NE(attached, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(attached->data), attached->length), content);
    ASSERT_EQ(sk_X509_num(p7->d.sign->cert), 1);
    auto parsed = fixtures::ParseCert(cert);
    EXPECT_EQ(X509_cmp(sk_X509_value(p7->d.sign->cert, 0), parsed.get()), 0);
    PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(OBJ_obj2nid(info->digest_alg->algorithm), digestNid);
    EXPECT_EQ(X509_NAME_cmp(info->issuer_and_serial->issuer, X509_get_issuer_name(parsed.get())), 0);
    EXPECT_EQ(ASN1_INTEGER_cmp(info->issuer_and_serial->serial, X509_get0_serialNumber(parsed.get())), 0);

    p = der.data();
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(d2i_CMS_ContentInfo(nullptr, &p, Size(der)),
                                                                          CMS_ContentInfo_free);
    ASSERT_TRUE(cms);
    ASN1_OCTET_STRING** cmsContent = CMS_get0_content(cms.get());
    ASSERT_TRUE(cmsContent && *cmsContent);
    EXPECT_EQ((*cmsContent)->length, static_cast<int>(content.size()));
}

TEST(SignedData, OpenSslReadsEveryDigestAndLargeContent) {
    static const int kNids[] = {0, NID_md5, NID_sha1, NID_sha256, NID_sha384, NID_sha512, NID_sm3};
    const auto& ids = TestIdentities::Get();
    const Bytes sig(256, 0x42);
    for (int code = 1; code <= 6; ++code) {
        SCOPED_TRACE(code);
        const Bytes& cert = code == 6 ? ids.sm2Cert : ids.rsaCert;
        // 70,000 bytes need a three-byte length: 04 83 01 11 70.
        const std::string content = code == 3 ? std::string(70000, 'q') : "content " + std::to_string(code);
        SignedData sd;
        sd.SetData(reinterpret_cast<const unsigned char*>(content.data()), static_cast<int>(content.size()));
        ASSERT_EQ(sd.AddSigner(cert.data(), Size(cert), code, sig.data(), 256), 1);
        const Bytes der = EncodeWith([&](unsigned char** c, int cap) { return sd.Encode(c, cap); });
        ExpectReadableByOpenSsl(der, content, cert, kNids[code]);
    }
}

TEST(Sm2Signature, IntegersGetASignByteOnlyWhenNeeded) {
    Bytes rs(64);
    for (int i = 0; i < 32; ++i) {
        rs[i] = static_cast<unsigned char>(0x80 + i);
        rs[32 + i] = static_cast<unsigned char>(0x10 + i);
    }
    const Bytes r(rs.begin(), rs.begin() + 32), s(rs.begin() + 32, rs.end());
    Bytes out;
    ASSERT_TRUE(p7::EncodeSm2Signature(rs.data(), rs.size(), out));
    EXPECT_EQ(out, Concat({{0x30, 0x45, 0x02, 0x21, 0x00}, r, {0x02, 0x20}, s}));

    rs[0] = 0x00;  // the zero goes; the 0x81 after it needs the sign byte back
    rs[32] = 0xFF;
    ASSERT_TRUE(p7::EncodeSm2Signature(rs.data(), rs.size(), out));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0x30, 0x45, 0x02, 0x20, 0x00, 0x81}));
    EXPECT_EQ(Bytes(out.begin() + 36, out.begin() + 39), (Bytes{0x02, 0x21, 0x00}));

    // DER integers are minimal: leading zero bytes of r and s are dropped,
    // or OpenSSL refuses the signature.
    rs[1] = 0x00;
    rs[2] = 0x12;
    rs[32] = 0x00;
    rs[33] = 0x00;
    rs[34] = 0x00;
    ASSERT_TRUE(p7::EncodeSm2Signature(rs.data(), rs.size(), out));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 5), (Bytes{0x30, 0x3F, 0x02, 0x1E, 0x12}));
    EXPECT_EQ(Bytes(out.begin() + 34, out.begin() + 37), (Bytes{0x02, 0x1D, static_cast<unsigned char>(0x10 + 3)}));
    Bytes zeros(64, 0x00);
    ASSERT_TRUE(p7::EncodeSm2Signature(zeros.data(), zeros.size(), out));
    EXPECT_EQ(out, (Bytes{0x30, 0x06, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00}));

    EXPECT_FALSE(p7::EncodeSm2Signature(rs.data(), 0, out));
    EXPECT_FALSE(p7::EncodeSm2Signature(rs.data(), 63, out));
}

}  // namespace
