// Keys and certificates made with OpenSSL for the PKCS#7 tests.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace fixtures {

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using Bytes = std::vector<unsigned char>;

inline PkeyPtr MakeRsaKey() {
    PkeyPtr key(EVP_RSA_gen(2048), EVP_PKEY_free);
    if (!key) throw std::runtime_error("RSA key generation failed");
    return key;
}

inline PkeyPtr MakeSm2Key() {
    PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"), EVP_PKEY_free);
    if (!key) throw std::runtime_error("SM2 key generation failed");
    return key;
}

inline void AddNameEntries(X509_NAME* name, std::initializer_list<std::pair<const char*, const char*>> entries) {
    for (const auto& [field, value] : entries) {
        X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
    }
}

// A certificate for subjectKey, signed with SHA-256 by issuerKey (an RSA key;
// the same key makes it self-signed).
inline Bytes MakeCert(EVP_PKEY* subjectKey, EVP_PKEY* issuerKey, const char* commonName, long serial) {
    X509Ptr cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
    X509_set_pubkey(cert.get(), subjectKey);
    AddNameEntries(X509_get_subject_name(cert.get()), {{"C", "CN"}, {"O", "BANK"}, {"CN", commonName}});
    AddNameEntries(X509_get_issuer_name(cert.get()), {{"C", "CN"}, {"CN", "TEST ISSUER"}});
    if (X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) throw std::runtime_error("X509_sign failed");
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

inline X509Ptr ParseCert(const Bytes& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
}

inline Bytes Digest(const EVP_MD* md, const Bytes& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out, &length, md, nullptr) != 1) throw std::runtime_error("digest");
    return Bytes(out, out + length);
}

// The uncompressed public point 04 || x || y of an SM2 key.
inline Bytes Sm2PublicPoint(const EVP_PKEY* key) {
    Bytes point(65);
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length) != 1 ||
        length != 65) {
        throw std::runtime_error("SM2 public key");
    }
    return point;
}

// Z for the default signer ID, built from the curve as OpenSSL knows it.
inline Bytes Sm2Z(const EVP_PKEY* key) {
    using BnPtr = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
    std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(EC_GROUP_new_by_curve_name(NID_sm2), EC_GROUP_free);
    BnPtr p(BN_new(), BN_free), a(BN_new(), BN_free), b(BN_new(), BN_free);
    BnPtr gx(BN_new(), BN_free), gy(BN_new(), BN_free);
    EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), nullptr);
    EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()), gx.get(), gy.get(), nullptr);
    const char id[] = "1234567812345678";
    Bytes block = {0x00, 0x80};
    block.insert(block.end(), id, id + 16);
    for (const BIGNUM* n : {a.get(), b.get(), gx.get(), gy.get()}) {
        unsigned char coordinate[32];
        BN_bn2binpad(n, coordinate, 32);
        block.insert(block.end(), coordinate, coordinate + 32);
    }
    const Bytes point = Sm2PublicPoint(key);
    block.insert(block.end(), point.begin() + 1, point.end());
    return Digest(EVP_sm3(), block);
}

// Raw SM2 signature of a 32-byte digest, returned as r || s (32 bytes each).
inline Bytes Sm2SignDigest(EVP_PKEY* key, const Bytes& digest) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                    EVP_PKEY_CTX_free);
    Bytes der(128);
    size_t length = der.size();
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), der.data(), &length, digest.data(), digest.size()) != 1) {
        throw std::runtime_error("SM2 sign");
    }
    const unsigned char* p = der.data();
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)),
                                                              ECDSA_SIG_free);
    Bytes rs(64);
    BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), rs.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), rs.data() + 32, 32);
    return rs;
}

// Raw SM2 verification of a DER signature over a 32-byte digest.
inline bool Sm2VerifyDigest(EVP_PKEY* key, const Bytes& digest, const Bytes& derSignature) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                    EVP_PKEY_CTX_free);
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), derSignature.data(), derSignature.size(), digest.data(), digest.size()) == 1;
}

// One RSA key with its self-signed certificate and one SM2 key with a
// certificate issued by the RSA key, made once per test program.
struct TestIdentities {
    PkeyPtr rsaKey = MakeRsaKey();
    PkeyPtr sm2Key = MakeSm2Key();
    Bytes rsaCert = MakeCert(rsaKey.get(), rsaKey.get(), "TESTER RSA", 0x0102);
    Bytes sm2Cert = MakeCert(sm2Key.get(), rsaKey.get(), "TESTER SM2", 0x80F1);  // serial needs a 00 byte

    static const TestIdentities& Get() {
        static const TestIdentities identities;
        return identities;
    }
};

}  // namespace fixtures
