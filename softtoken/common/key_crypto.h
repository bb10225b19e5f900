// The token's cryptography: key generation and storage form, public-key
// forms, hashes and the two signature primitives (PKCS#1 v1.5 and SM2).
#pragma once

#include <optional>
#include <string>

#include "softtoken/common/bytes.h"
#include "support/openssl_ptr.h"

namespace softtoken {

enum class KeyAlgorithm { Rsa, Sm2 };

constexpr size_t kSm2PointLength = 65;      // 0x04 || X || Y
constexpr size_t kSm2SignatureLength = 64;  // r || s
constexpr size_t kSm2ZLength = 32;

CK_KEY_TYPE KeyTypeOf(KeyAlgorithm algorithm);
std::optional<KeyAlgorithm> AlgorithmOfKeyType(CK_KEY_TYPE keyType);
std::optional<KeyAlgorithm> AlgorithmOf(const EVP_PKEY* key);

// RSA with exponent 65537 (bits 1024 or 2048), or SM2 on its recommended curve.
EvpPkeyPtr GenerateKey(KeyAlgorithm algorithm, int rsaBits = 2048);

std::string PrivateKeyToPem(EVP_PKEY* key);
EvpPkeyPtr PrivateKeyFromPem(const std::string& pem);
std::string PublicKeyToPem(EVP_PKEY* key);  // SubjectPublicKeyInfo

// RSA: the modulus big-endian without leading zero; SM2: the 65-byte point.
// This is the value the token keeps in CKA_MODULUS.
Bytes PublicKeyForm(const EVP_PKEY* key);
Bytes RsaPublicExponent(const EVP_PKEY* key);
// The public key behind a CKA_MODULUS value (and RSA exponent).
EvpPkeyPtr PublicKeyFromForm(KeyAlgorithm algorithm, const Bytes& modulus, const Bytes& exponent);
// PKCS#1 RSAPublicKey of a modulus and exponent (both big-endian).
Bytes RsaPublicKeyDer(const Bytes& modulus, const Bytes& exponent);

enum class HashKind { Md5, Sha1, Sha256, Sha384, Sha512, Sm3 };

size_t HashLength(HashKind kind);
Bytes Hash(HashKind kind, const unsigned char* data, size_t length);

// A hash over data given in pieces.
class Hasher {
public:
    explicit Hasher(HashKind kind);
    void Update(const unsigned char* data, size_t length);
    // The digest; empty when hashing failed.
    Bytes Final();

private:
    EvpMdCtxPtr context_;
    bool ok_ = false;
};
// DER DigestInfo of a digest (SM3 under OID 1.2.156.10197.1.401).
Bytes DigestInfo(HashKind kind, const Bytes& digest);

// PKCS#1 v1.5 type-1 padding of the given DigestInfo, signed; nullopt when
// the key cannot sign it (not RSA, or the DigestInfo too long for it).
std::optional<Bytes> SignPkcs1(EVP_PKEY* key, const Bytes& digestInfo);
// SM2 signature of the 32-byte value e as r || s, 32 bytes each.
std::optional<Bytes> SignSm2Digest(EVP_PKEY* key, const Bytes& e);
size_t SignatureLength(const EVP_PKEY* key);

// Standard random bytes; false when the generator fails.
bool RandomBytes(unsigned char* out, size_t length);

}  // namespace softtoken
