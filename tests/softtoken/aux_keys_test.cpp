// Key generation for certificate requests, their signatures, certificate
// installation, public-key export and temporary-key removal.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

#include "token_test_support.h"

namespace {

// A certificate for the public key of a pair, signed by a throwaway key: the
// token links certificates by the key they carry, not by their issuer.
Bytes CertificateFor(const SoftTokenDir& dir, const std::string& pairId, const std::string& commonName) {
    std::string path = dir.Path() + "/" + pairId + ".pem";
    if (dir.Tool({"export", "--pair-id", pairId, "--what", "pubkey", "--out", path}).exitCode != 0) return {};
    Bytes pem = ReadFileBytes(path);
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* subjectKey = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    EVP_PKEY* issuerKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024});
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 7);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_NAME* issuer = X509_get_issuer_name(certificate);
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Some CA"), -1, -1,
                               0);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, subjectKey);
    X509_sign(certificate, issuerKey, EVP_sha256());
    unsigned char* der = nullptr;
    int length = i2d_X509(certificate, &der);
    Bytes result(der, der + length);
    OPENSSL_free(der);
    X509_free(certificate);
    EVP_PKEY_free(issuerKey);
    EVP_PKEY_free(subjectKey);
    return result;
}

Bytes Bundle(const std::vector<Bytes>& certificates) {
    PKCS7* bundle = PKCS7_new();
    PKCS7_set_type(bundle, NID_pkcs7_signed);
    PKCS7_content_new(bundle, NID_pkcs7_data);
    for (const Bytes& der : certificates) {
        const unsigned char* cursor = der.data();
        X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
        PKCS7_add_certificate(bundle, certificate);
        X509_free(certificate);
    }
    unsigned char* der = nullptr;
    int length = i2d_PKCS7(bundle, &der);
    Bytes result(der, der + length);
    OPENSSL_free(der);
    PKCS7_free(bundle);
    return result;
}

class RequestKeysTest : public DemoTokenFixture {
protected:
    // Generates an RSA-1024 and an SM2 pair; returns their pair IDs.
    std::vector<std::string> GenerateTwo() {
        auto generate = module->Aux<E_GenerateRequestKeys_t>(AUX_GENERATE_REQUEST_KEYS);
        unsigned int algorithms[2] = {TOKEN_KEYALG_RSA, TOKEN_KEYALG_SM2};
        CK_ULONG bits[2] = {1024, 256};
        unsigned char records[522];
        std::memset(records, 0xEE, sizeof records);
        EXPECT_EQ(generate(1, 2, algorithms, bits, "0102", records), CKR_OK);
        return {reinterpret_cast<char*>(records), reinterpret_cast<char*>(records + 261)};
    }

    CK_OBJECT_HANDLE KeyOfPair(CK_OBJECT_CLASS objectClass, const std::string& pairId) {
        Bytes id = ToBytes(pairId);
        id.push_back(0);
        auto found = module->Find(session, {UlongAttribute(CKA_CLASS, objectClass), BytesAttribute(CKA_VENDOR_PAIR_ID, id)});
        return found.size() == 1 ? found[0] : 0;
    }

    CK_RV WriteCertificate(const Bytes& der) {
        Bytes copy = der;
        return module->Aux<E_WriteCertificate_t>(AUX_WRITE_CERTIFICATE)(1, copy.data());
    }

    CK_RV DeleteTempKeys(Bytes keyIds) {
        keyIds.push_back(0);
        return module->Aux<E_DeleteTempKey_t>(AUX_DELETE_TEMP_KEY)(1, keyIds.data());
    }

};

TEST_F(RequestKeysTest, GeneratedPairsTakeFreeIndexesAndTheDefaultFormat) {
    std::vector<std::string> pairIds = GenerateTwo();
    ASSERT_EQ(pairIds.size(), 2u);
    CK_OBJECT_HANDLE rsa = KeyOfPair(CKO_PUBLIC_KEY, pairIds[0]);
    CK_OBJECT_HANDLE sm2 = KeyOfPair(CKO_PUBLIC_KEY, pairIds[1]);
    ASSERT_NE(rsa, 0u);
    ASSERT_NE(sm2, 0u);
    EXPECT_NE(KeyOfPair(CKO_PRIVATE_KEY, pairIds[0]), 0u);
    EXPECT_EQ(module->Attribute(session, rsa, CKA_VENDOR_KEY_INDEX), Bytes{1});  // the demo holds index 0
    EXPECT_EQ(module->Attribute(session, rsa, CKA_MODULUS).size(), 128u);
    EXPECT_EQ(module->Attribute(session, sm2, CKA_MODULUS).size(), 65u);
    EXPECT_EQ(module->Attribute(session, sm2, CKA_VENDOR_TEXT_FORMAT), ToBytes("02"));

    ASSERT_EQ(dir.Tool({"set", "--text-format", "01"}).exitCode, 0);
    auto generate = module->Aux<E_GenerateRequestKeys_t>(AUX_GENERATE_REQUEST_KEYS);
    unsigned int sm2Algorithm[1] = {TOKEN_KEYALG_SM2};
    CK_ULONG sm2Bits[1] = {256};
    unsigned char records[522];
    std::memset(records, 0xEE, sizeof records);
    ASSERT_EQ(generate(1, 1, sm2Algorithm, sm2Bits, "01", records), CKR_OK);
    EXPECT_EQ(records[260], 0);
    EXPECT_EQ(records[261], 0xEE);  // one record written
    CK_OBJECT_HANDLE third = KeyOfPair(CKO_PUBLIC_KEY, reinterpret_cast<char*>(records));
    EXPECT_EQ(module->Attribute(session, third, CKA_VENDOR_TEXT_FORMAT), ToBytes("01"));
    EXPECT_EQ(module->Attribute(session, third, CKA_VENDOR_KEY_INDEX), Bytes{2});
}

TEST_F(RequestKeysTest, GenerationRejectsBadRequestsAndAFullToken) {
    auto generate = module->Aux<E_GenerateRequestKeys_t>(AUX_GENERATE_REQUEST_KEYS);
    unsigned char records[522];
    unsigned int algorithms[3] = {TOKEN_KEYALG_RSA, TOKEN_KEYALG_SM2, TOKEN_KEYALG_SM2};
    CK_ULONG rsa4096[1] = {4096};
    CK_ULONG sm2Bits[3] = {256, 256, 256};
    CK_ULONG sm2Wrong[2] = {1024, 512};
    EXPECT_EQ(generate(1, 1, algorithms, rsa4096, "01", records), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(generate(1, 2, algorithms, sm2Wrong, "0101", records), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(generate(1, 3, algorithms + 1, sm2Bits, "010101", records), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(generate(1, 0, algorithms, sm2Bits, "", records), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(generate(1, 1, algorithms + 1, sm2Bits, "01", nullptr), CKR_ARGUMENTS_BAD);
    unsigned int bogus[1] = {7};
    EXPECT_EQ(generate(1, 1, bogus, sm2Bits, "01", records), CKR_ARGUMENTS_BAD);

    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(generate(1, 2, algorithms + 1, sm2Bits, "0101", records), CKR_OK);  // SM2 1 to 4
    }
    ASSERT_EQ(generate(1, 1, algorithms + 1, sm2Bits, "01", records), CKR_OK);  // SM2 5, the last
    std::string before = dir.Tool({"list"}).out;
    EXPECT_EQ(generate(1, 1, algorithms + 1, sm2Bits, "01", records), CKR_DEVICE_MEMORY);
    CK_ULONG rsaThenSm2[2] = {1024, 256};
    EXPECT_EQ(generate(1, 2, algorithms, rsaThenSm2, "0101", records), CKR_DEVICE_MEMORY);
    EXPECT_EQ(dir.Tool({"list"}).out, before);  // not even the RSA pair of the failed call
}

TEST_F(RequestKeysTest, RequestSignaturesVerify) {
    std::vector<std::string> pairIds = GenerateTwo();
    CK_OBJECT_HANDLE rsa = KeyOfPair(CKO_PUBLIC_KEY, pairIds[0]);
    CK_OBJECT_HANDLE sm2 = KeyOfPair(CKO_PUBLIC_KEY, pairIds[1]);
    Bytes rsaDigest = HashWith("SHA256", ToBytes("rsa request info"));
    Bytes sm2Digest = HashWith("SM3", ToBytes("Z and sm2 request info"));
    Bytes info = {0x23, 3, 0xF2, 32};  // RSA index 1 is number 3
    info.insert(info.end(), rsaDigest.begin(), rsaDigest.end());
    Bytes sm2Entry = {0x13, 2, 0x52, 32};  // SM2 index 1 is number 2
    info.insert(info.end(), sm2Entry.begin(), sm2Entry.end());
    info.insert(info.end(), sm2Digest.begin(), sm2Digest.end());

    auto signRequests = module->Aux<E_SignRequestInfo_t>(AUX_SIGN_REQUEST_INFO);
    unsigned char out[2048];
    CK_ULONG outLength = sizeof out;
    ASSERT_EQ(signRequests(1, 2, info.data(), info.size(), out, &outLength), CKR_OK);
    ASSERT_EQ(outLength, 2u + 128u + 2u + 64u);
    ASSERT_EQ(out[0] << 8 | out[1], 128);
    EXPECT_TRUE(VerifyRsaPkcs1(module->Attribute(session, rsa, CKA_MODULUS),
                               module->Attribute(session, rsa, CKA_PUBLIC_EXPONENT), "SHA256", rsaDigest,
                               Bytes(out + 2, out + 130)));
    ASSERT_EQ(out[130] << 8 | out[131], 64);
    EXPECT_TRUE(VerifySm2Raw(module->Attribute(session, sm2, CKA_MODULUS), sm2Digest, Bytes(out + 132, out + 196)));

    outLength = 100;
    EXPECT_EQ(signRequests(1, 2, info.data(), info.size(), out, &outLength), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(outLength, 196u);
    outLength = sizeof out;
    EXPECT_EQ(signRequests(1, 2, info.data(), info.size() - 1, out, &outLength), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(signRequests(1, 3, info.data(), info.size(), out, &outLength), CKR_ARGUMENTS_BAD);
    Bytes wrongLength = {0x23, 3, 0x12, 32};  // SHA-1 with 32 bytes
    wrongLength.insert(wrongLength.end(), rsaDigest.begin(), rsaDigest.end());
    EXPECT_EQ(signRequests(1, 1, wrongLength.data(), wrongLength.size(), out, &outLength), CKR_ARGUMENTS_BAD);
    Bytes noKey = {0x23, 9, 0xF2, 32};
    noKey.insert(noKey.end(), rsaDigest.begin(), rsaDigest.end());
    EXPECT_EQ(signRequests(1, 1, noKey.data(), noKey.size(), out, &outLength), CKR_ARGUMENTS_BAD);
}

TEST_F(RequestKeysTest, RequestSigningAsksForThePin) {
    GenerateTwo();
    Bytes digest = HashWith("SM3", ToBytes("info"));
    Bytes info = {0x13, 2, 0x52, 32};
    info.insert(info.end(), digest.begin(), digest.end());
    auto signRequests = module->Aux<E_SignRequestInfo_t>(AUX_SIGN_REQUEST_INFO);
    unsigned char out[2048];
    CK_ULONG outLength = sizeof out;
    ASSERT_EQ(dir.Tool({"set-tries", "--tries", "2"}).exitCode, 0);
    ASSERT_EQ(dir.Tool({"queue", "cancel", "timeout@signrequest", "wrong-pin", "wrong-pin"}).exitCode, 0);
    EXPECT_EQ(signRequests(1, 1, info.data(), info.size(), out, &outLength), CKR_CANCEL);
    EXPECT_EQ(signRequests(1, 1, info.data(), info.size(), out, &outLength), CKR_VENDOR_USER_TIMEOUT);
    EXPECT_EQ(signRequests(1, 1, info.data(), info.size(), out, &outLength), CKR_PIN_INCORRECT);
    EXPECT_EQ(signRequests(1, 1, info.data(), info.size(), out, &outLength), CKR_PIN_LOCKED);
    EXPECT_EQ(signRequests(1, 1, info.data(), info.size(), out, &outLength), CKR_PIN_LOCKED);
}

TEST_F(RequestKeysTest, CertificatesLinkToTheirPairsAndEndTheTemporaryState) {
    std::vector<std::string> pairIds = GenerateTwo();
    CK_OBJECT_HANDLE rsaPrivate = KeyOfPair(CKO_PRIVATE_KEY, pairIds[0]);
    ASSERT_EQ(module->Login(session), CKR_OK);
    Bytes digest = HashWith("SHA1", ToBytes("data"));
    Bytes signature;
    EXPECT_EQ(module->Sign(session, CKM_SHA1_RSA_PKCS, rsaPrivate, digest, signature), CKR_OK);  // digest taken as is

    Bytes certificate = CertificateFor(dir, pairIds[0], "New RSA User");
    ASSERT_FALSE(certificate.empty());
    ASSERT_EQ(WriteCertificate(certificate), CKR_OK);
    ASSERT_EQ(WriteCertificate(certificate), CKR_OK);  // written once only
    CK_ULONG certificateClass = CKO_CERTIFICATE;
    Bytes pairId = ToBytes(pairIds[0]);
    pairId.push_back(0);
    auto found = module->Find(session, {UlongAttribute(CKA_CLASS, certificateClass), BytesAttribute(CKA_VENDOR_PAIR_ID, pairId)});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(module->Attribute(session, found[0], CKA_VALUE), certificate);
    // Now certified, the key hashes what it signs.
    ASSERT_EQ(module->Sign(session, CKM_SHA1_RSA_PKCS, rsaPrivate, digest, signature), CKR_OK);
    CK_OBJECT_HANDLE rsaPublic = KeyOfPair(CKO_PUBLIC_KEY, pairIds[0]);
    EXPECT_TRUE(VerifyRsaPkcs1(module->Attribute(session, rsaPublic, CKA_MODULUS),
                               module->Attribute(session, rsaPublic, CKA_PUBLIC_EXPONENT), "SHA1",
                               HashWith("SHA1", digest), signature));
}

TEST_F(RequestKeysTest, BundlesInstallOnlyCertificatesOfPairsOnTheToken) {
    std::vector<std::string> pairIds = GenerateTwo();
    ASSERT_EQ(dir.Tool({"add-key", "--type", "rsa1024", "--no-cert", "--pair-id", "elsewhere"}).exitCode, 0);
    Bytes foreign = CertificateFor(dir, "elsewhere", "Foreign");
    ASSERT_EQ(dir.Tool({"delete-object", "--handle", std::to_string(KeyOfPair(CKO_PUBLIC_KEY, "elsewhere"))}).exitCode, 0);
    Bytes sm2Certificate = CertificateFor(dir, pairIds[1], "New SM2 User");

    EXPECT_EQ(WriteCertificate(foreign), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(WriteCertificate(Bundle({foreign})), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(WriteCertificate(Bundle({foreign, sm2Certificate})), CKR_OK);
    CK_ULONG certificateClass = CKO_CERTIFICATE;
    auto certificates = module->Find(session, {UlongAttribute(CKA_CLASS, certificateClass)});
    ASSERT_EQ(certificates.size(), 3u);  // the demo's two and the SM2 one
    EXPECT_EQ(module->Attribute(session, certificates[2], CKA_VALUE), sm2Certificate);
}

TEST_F(RequestKeysTest, MalformedCertificatesAreRejected) {
    std::vector<std::string> pairIds = GenerateTwo();
    Bytes certificate = CertificateFor(dir, pairIds[0], "New RSA User");
    Bytes truncatedClaim = certificate;
    truncatedClaim[2] = 0xFF;  // the header claims more than the element holds
    truncatedClaim[3] = 0xFF;
    Bytes exact(certificate.begin(), certificate.begin() + 4);
    exact[1] = 0x84;  // a 4-byte length: beyond any bound
    EXPECT_EQ(WriteCertificate(exact), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(WriteCertificate(Bytes{0x04, 0x01, 0x00}), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(WriteCertificate(Bytes{0x30, 0x80, 0x00, 0x00}), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(WriteCertificate(Bytes{0x30, 0x03, 0x02, 0x01, 0x00}), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(module->Aux<E_WriteCertificate_t>(AUX_WRITE_CERTIFICATE)(1, nullptr), CKR_ARGUMENTS_BAD);
    (void)truncatedClaim;  // reading it would run past the buffer, so it is not passed
}

TEST_F(RequestKeysTest, NamedPairsAreDeletedWholeOnceTheHolderConfirms) {
    std::vector<std::string> pairIds = GenerateTwo();
    EXPECT_EQ(DeleteTempKeys({0x1B, 6}), CKR_ARGUMENTS_BAD);  // no such key
    EXPECT_EQ(DeleteTempKeys({0x1B, 2, 0x1B, 6}), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(DeleteTempKeys({}), CKR_ARGUMENTS_BAD);
    EXPECT_NE(KeyOfPair(CKO_PUBLIC_KEY, pairIds[1]), 0u);

    ASSERT_EQ(dir.Tool({"queue", "cancel@deletekey"}).exitCode, 0);
    EXPECT_EQ(DeleteTempKeys({0x1B, 2, 0x2B, 3}), CKR_CANCEL);
    EXPECT_NE(KeyOfPair(CKO_PRIVATE_KEY, pairIds[1]), 0u);
    ASSERT_EQ(DeleteTempKeys({0x1B, 2, 0x2B, 3}), CKR_OK);
    EXPECT_EQ(KeyOfPair(CKO_PUBLIC_KEY, pairIds[0]), 0u);
    EXPECT_EQ(KeyOfPair(CKO_PRIVATE_KEY, pairIds[0]), 0u);
    EXPECT_EQ(KeyOfPair(CKO_PUBLIC_KEY, pairIds[1]), 0u);
    EXPECT_EQ(KeyOfPair(CKO_PRIVATE_KEY, pairIds[1]), 0u);

    // The demo RSA pair has a certificate: it goes with the keys.
    const std::string listed = dir.Tool({"list"}).out;
    ASSERT_NE(listed.find("Demo RSA User"), std::string::npos);
    ASSERT_EQ(DeleteTempKeys({0x2B, 2}), CKR_OK);
    const std::string after = dir.Tool({"list"}).out;
    EXPECT_EQ(after.find("Demo RSA User"), std::string::npos) << after;
    EXPECT_EQ(after.find(" rsa 0 "), std::string::npos) << after;

    Bytes unterminated;
    for (int i = 0; i < 20; ++i) unterminated.insert(unterminated.end(), {0x1B, 1});
    EXPECT_EQ(DeleteTempKeys(unterminated), CKR_ARGUMENTS_BAD);
}

TEST_F(RequestKeysTest, PublicKeysExportInTheirStandardForms) {
    auto exportKey = module->Aux<E_ExportPublicKey_t>(AUX_EXPORT_PUBLIC_KEY);
    CK_OBJECT_HANDLE rsa = module->KeyAt(session, CKO_PUBLIC_KEY, CKK_RSA, 0);
    CK_OBJECT_HANDLE sm2 = module->KeyAt(session, CKO_PUBLIC_KEY, CKK_VENDOR_SM2, 0);
    unsigned char out[2048];
    unsigned int length = sizeof out;
    ASSERT_EQ(exportKey(session, rsa, out, &length), CKR_OK);
    const unsigned char* cursor = out;
    EVP_PKEY* parsed = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, length);
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(cursor, out + length);
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(parsed, "n", &n);
    Bytes modulus(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, modulus.data());
    EXPECT_EQ(modulus, module->Attribute(session, rsa, CKA_MODULUS));
    BN_free(n);
    EVP_PKEY_free(parsed);

    length = sizeof out;
    ASSERT_EQ(exportKey(session, sm2, out, &length), CKR_OK);
    EXPECT_EQ(Bytes(out, out + length), module->Attribute(session, sm2, CKA_MODULUS));
    length = 64;
    EXPECT_EQ(exportKey(session, sm2, out, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 65u);
    EXPECT_EQ(exportKey(session, module->KeyAt(session, CKO_PRIVATE_KEY, CKK_RSA, 0), out, &length),
              CKR_KEY_HANDLE_INVALID);
    ASSERT_EQ(dir.Tool({"set", "--export-public-key", "off"}).exitCode, 0);
    length = sizeof out;
    EXPECT_EQ(exportKey(session, sm2, out, &length), CKR_FUNCTION_NOT_SUPPORTED);
}

TEST_F(RequestKeysTest, PublicKeyBlobCarriesDataAndTheNamedKeys) {
    auto blob = module->Aux<E_GetPublicKeyWithRandom_t>(AUX_GET_PUBLIC_KEY_WITH_RANDOM);
    Bytes data = ToBytes("01");
    for (int i = 0; i < 15; ++i) data.push_back(static_cast<unsigned char>(i));
    Bytes keyIds = {0x2B, 2, 0x1B, 1};
    unsigned char out[4096];
    CK_ULONG length = sizeof out;
    ASSERT_EQ(blob(1, data.data(), data.size(), keyIds.data(), keyIds.size(), out, &length), CKR_OK);

    Bytes point = module->Attribute(session, module->KeyAt(session, CKO_PUBLIC_KEY, CKK_VENDOR_SM2, 0), CKA_MODULUS);
    unsigned char rsaForm[2048];
    unsigned int rsaLength = sizeof rsaForm;
    ASSERT_EQ(module->Aux<E_ExportPublicKey_t>(AUX_EXPORT_PUBLIC_KEY)(
                  session, module->KeyAt(session, CKO_PUBLIC_KEY, CKK_RSA, 0), rsaForm, &rsaLength),
              CKR_OK);
    Bytes expected = ToBytes("PKWR");
    expected.insert(expected.end(), data.begin(), data.end());
    expected.insert(expected.end(), {0x2B, 2, static_cast<unsigned char>(rsaLength >> 8),
                                     static_cast<unsigned char>(rsaLength)});
    expected.insert(expected.end(), rsaForm, rsaForm + rsaLength);
    expected.insert(expected.end(), {0x1B, 1, 0, 65});
    expected.insert(expected.end(), point.begin(), point.end());
    EXPECT_EQ(Bytes(out, out + length), expected);

    CK_ULONG small = expected.size() - 1;
    EXPECT_EQ(blob(1, data.data(), data.size(), keyIds.data(), keyIds.size(), out, &small), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small, expected.size());
    Bytes missing = {0x1B, 3};
    EXPECT_EQ(blob(1, data.data(), data.size(), missing.data(), missing.size(), out, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(blob(1, data.data(), data.size(), keyIds.data(), 3, out, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(blob(1, data.data(), data.size(), nullptr, 2, out, &length), CKR_ARGUMENTS_BAD);
}

}  // namespace
