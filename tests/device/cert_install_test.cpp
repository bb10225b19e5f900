// Recognising certificate bundles: PEM and Base64 scanning, DER kinds, the
// RSA modulus of a certificate. None of these needs a token.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/cert_install.h"
#include "device/module_connection.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string ReadText(const std::string& name) {
    std::ifstream in(std::string(TEST_DATA_DIR) + "/enrolment/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_FALSE(text.str().empty()) << name;
    return text.str();
}

std::string WithCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// The Base64 body of a PEM text on one line.
std::string OneLine(const std::string& pem) {
    std::string body;
    std::istringstream lines(pem);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("-----", 0) != 0) body += line;
    }
    return body;
}

Bytes CertificateDer(const std::string& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                  BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                     X509_free);
    EXPECT_TRUE(cert);
    int length = i2d_X509(cert.get(), nullptr);
    Bytes der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_X509(cert.get(), &p);
    return der;
}

Bytes RsaModulusOf(const Bytes& der) {
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
    BIGNUM* n = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(X509_get0_pubkey(cert.get()), OSSL_PKEY_PARAM_RSA_N, &n), 1);
    Bytes modulus(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, modulus.data());
    BN_free(n);
    return modulus;
}

bool Decodes(const Bytes& der) {
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    X509_free(cert);
    return cert != nullptr;
}

// Replaces the first occurrence of `from` (same size as `to`) in der.
Bytes Patched(Bytes der, const Bytes& from, const Bytes& to) {
    auto at = std::search(der.begin(), der.end(), from.begin(), from.end());
    EXPECT_NE(at, der.end());
    if (at != der.end()) std::copy(to.begin(), to.end(), at);
    return der;
}

class CertInstallTest : public ::testing::Test {
protected:
    const SelectedToken noToken;  // holds no keys
    const std::string userPem = ReadText("rsa_user.pem");
    const std::string caPem = ReadText("rsa_ca.pem");
    const std::string sm2Pem = ReadText("sm2_self_signed.pem");
    const Bytes userDer = CertificateDer(userPem);

    // PemToDer over an exactly sized, unterminated copy of the text.
    Bytes Convert(const std::string& text, unsigned int capacity = 8192) {
        std::vector<char> exact(text.begin(), text.end());
        Bytes out(capacity);
        unsigned int length = capacity;
        unsigned int result = PemToDer(exact.data(), static_cast<long>(exact.size()), out.data(), &length);
        if (result == 0) return {};
        EXPECT_EQ(result, length);
        out.resize(result);
        return out;
    }
};

TEST_F(CertInstallTest, Base64Values) {
    EXPECT_EQ(GetBase64Value('A'), 0);
    EXPECT_EQ(GetBase64Value('Z'), 25);
    EXPECT_EQ(GetBase64Value('a'), 26);
    EXPECT_EQ(GetBase64Value('z'), 51);
    EXPECT_EQ(GetBase64Value('0'), 52);
    EXPECT_EQ(GetBase64Value('9'), 61);
    EXPECT_EQ(GetBase64Value('+'), 62);
    EXPECT_EQ(GetBase64Value('/'), 63);
    EXPECT_EQ(GetBase64Value('='), 0);
    EXPECT_EQ(GetBase64Value('\r'), -1);
    EXPECT_EQ(GetBase64Value('\n'), -1);
    EXPECT_EQ(GetBase64Value(' '), -2);
    EXPECT_EQ(GetBase64Value('-'), -2);
    EXPECT_EQ(GetBase64Value('\0'), -2);
}

TEST_F(CertInstallTest, PemWithLfOrCrLfAndPlainBase64DecodeAlike) {
    EXPECT_EQ(Convert(userPem), userDer);
    EXPECT_EQ(Convert(WithCrLf(userPem)), userDer);
    EXPECT_EQ(Convert(OneLine(userPem)), userDer);
    EXPECT_EQ(Convert(OneLine(userPem) + "\r\n"), userDer);
    // Only the first armoured block counts.
    EXPECT_EQ(Convert(WithCrLf(userPem + caPem)), userDer);
}

TEST_F(CertInstallTest, PemThatCannotBeRead) {
    std::string spaced = userPem;
    spaced.insert(spaced.find('\n'), " ");
    EXPECT_TRUE(Convert(spaced).empty());
    EXPECT_TRUE(Convert("-----BEGIN CERTIFICATE").empty());
    EXPECT_TRUE(Convert("-----BEGIN CERTIFICATE-----\r\n\r\n").empty());
    EXPECT_TRUE(Convert("").empty());
    EXPECT_TRUE(Convert("*MII").empty());
    // The capacity must cover three quarters of the body.
    EXPECT_TRUE(Convert(userPem, static_cast<unsigned int>(userDer.size() / 2)).empty());
    EXPECT_TRUE(Convert(OneLine(userPem), 0).empty());
}

TEST_F(CertInstallTest, PemScanningStaysInsideItsInput) {
    // Every cut of the text, handed over without a terminating zero, yields
    // nothing or the start of the certificate: nothing from beyond the cut.
    const std::string text = WithCrLf(userPem);
    for (size_t length = 0; length <= text.size(); ++length) {
        const Bytes der = Convert(text.substr(0, length));
        EXPECT_TRUE(der.size() <= userDer.size() && std::equal(der.begin(), der.end(), userDer.begin()))
            << "cut after " << length << " of " << text.size() << " characters";
    }
    EXPECT_EQ(Convert(text), userDer);
}

TEST_F(CertInstallTest, CertificateKinds) {
    EXPECT_EQ(CheckCertType(userDer.data(), userDer.size()), 3);
    EXPECT_EQ(CheckCertType(Bytes{0x30, 0x03, 0x02, 0x01, 0x00}.data(), 5), 1);
    EXPECT_EQ(CheckCertType(Bytes{0x30, 0x82, 0x01, 0x00, 0x06}.data(), 5), 2);
    EXPECT_EQ(CheckCertType(Bytes{0x31, 0x81, 0x80, 0x30}.data(), 4), 3);
    EXPECT_EQ(CheckCertType(Bytes{0x31, 0x80, 0x30}.data(), 3), 3);
    EXPECT_EQ(CheckCertType(Bytes{0x30, 0x03, 0x04}.data(), 3), 0);
    EXPECT_EQ(CheckCertType(Bytes{0x04, 0x03, 0x30}.data(), 3), 0);
    EXPECT_EQ(CheckCertType(nullptr, 10), 0);
}

TEST_F(CertInstallTest, CertificateKindStaysInsideItsInput) {
    // A long-form length whose bytes, or the tag after them, lie beyond the end.
    Bytes longForm{0x30, 0x8F};
    EXPECT_EQ(CheckCertType(longForm.data(), longForm.size()), 0);
    Bytes noTag{0x30, 0x82, 0x01, 0x00};
    EXPECT_EQ(CheckCertType(noTag.data(), noTag.size()), 0);
    for (size_t length = 0; length < 8; ++length) {
        Bytes prefix(userDer.begin(), userDer.begin() + length);
        CheckCertType(prefix.data(), prefix.size());
    }
}

TEST_F(CertInstallTest, RsaModulusOfCertificate) {
    Bytes expected = RsaModulusOf(userDer);
    unsigned long length = 0;
    ASSERT_EQ(GetCertModulus(userDer.data(), userDer.size(), nullptr, &length), 0u);
    ASSERT_EQ(length, expected.size());
    Bytes modulus(length);
    ASSERT_EQ(GetCertModulus(userDer.data(), userDer.size(), modulus.data(), &length), 0u);
    EXPECT_EQ(modulus, expected);  // without the INTEGER's leading zero

    unsigned long small = expected.size() - 1;
    EXPECT_EQ(GetCertModulus(userDer.data(), userDer.size(), modulus.data(), &small),
              static_cast<unsigned long>(CKR_BUFFER_TOO_SMALL));
}

TEST_F(CertInstallTest, ModulusRefusals) {
    unsigned long length = 0;
    EXPECT_EQ(GetCertModulus(nullptr, 10, nullptr, &length), 7u);
    EXPECT_EQ(GetCertModulus(userDer.data(), 0, nullptr, &length), 7u);
    Bytes garbage{0x30, 0x03, 0x02, 0x01, 0x00};
    EXPECT_EQ(GetCertModulus(garbage.data(), garbage.size(), nullptr, &length), 5u);
    Bytes sm2 = CertificateDer(sm2Pem);
    EXPECT_EQ(GetCertModulus(sm2.data(), sm2.size(), nullptr, &length), 5u);

    // The key's modulus INTEGER with a three-byte length field (the
    // certificate itself still decodes: the key bits are looked at by us only).
    Bytes wide = Patched(userDer, {0x02, 0x81, 0x81, 0x00}, {0x02, 0x83, 0x00, 0x00});
    ASSERT_TRUE(Decodes(wide));
    EXPECT_EQ(GetCertModulus(wide.data(), wide.size(), nullptr, &length), 5u);
    // A length that runs past the key bytes.
    Bytes overlong = Patched(userDer, {0x02, 0x81, 0x81, 0x00}, {0x02, 0x82, 0xFF, 0xFF});
    EXPECT_EQ(GetCertModulus(overlong.data(), overlong.size(), nullptr, &length), 5u);
    // A key that is not a SEQUENCE.
    Bytes noSequence = Patched(userDer, {0x30, 0x81, 0x89, 0x02}, {0x31, 0x81, 0x89, 0x02});
    ASSERT_TRUE(Decodes(noSequence));
    EXPECT_EQ(GetCertModulus(noSequence.data(), noSequence.size(), nullptr, &length), 5u);
}

TEST_F(CertInstallTest, FlipBuffer) {
    Bytes bytes{1, 2, 3};
    FlipBuffer(bytes.data(), bytes.size());
    EXPECT_EQ(bytes, (Bytes{3, 2, 1}));
    Bytes even{1, 2, 3, 4};
    FlipBuffer(even.data(), even.size());
    EXPECT_EQ(even, (Bytes{4, 3, 2, 1}));
    Bytes one{9};
    FlipBuffer(one.data(), 1);
    FlipBuffer(nullptr, 5);
    EXPECT_EQ(one, Bytes{9});
}

TEST_F(CertInstallTest, SingleCertificateIsTakenWhole) {
    for (const std::string& text : {userPem, WithCrLf(userPem), OneLine(userPem), OneLine(sm2Pem)}) {
        std::vector<DERCERT> certs;
        ASSERT_TRUE(ParseP7(noToken, text, certs));
        ASSERT_EQ(certs.size(), 1u);
        EXPECT_EQ(certs[0].length, certs[0].data.size());
    }
    std::vector<DERCERT> certs;
    ASSERT_TRUE(ParseP7(noToken, userPem, certs));
    EXPECT_EQ(certs[0].data, userDer);
}

TEST_F(CertInstallTest, TextsThatAreNoBundle) {
    std::vector<DERCERT> certs;
    EXPECT_FALSE(ParseP7(noToken, "", certs));
    EXPECT_FALSE(ParseP7(noToken, "not a certificate at all", certs));
    EXPECT_FALSE(ParseP7(noToken, "MAMCAQA=", certs));  // 30 03 02 01 00: starts with an INTEGER
    EXPECT_FALSE(ParseP7(noToken, "BAMCAQA=", certs));  // 04 03 ...: no SEQUENCE
    // Without a token no certificate of the bundle matches a key.
    EXPECT_FALSE(ParseP7(noToken, ReadText("rsa_bundle.p7b.pem"), certs));
    EXPECT_TRUE(certs.empty());
}

TEST_F(CertInstallTest, UnreadableTextIsRefusedBeforeTheToken) {
    std::string spaced = WithCrLf(userPem);
    spaced.insert(spaced.find('\r'), " ");
    EXPECT_EQ(WriteCert(noToken, spaced, nullptr), -401);
    EXPECT_EQ(WriteCert(noToken, "AB=C", nullptr), -401);
}

}  // namespace
