#include "softtoken/common/key_crypto.h"

#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <openssl/param_build.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "support/der.h"

namespace softtoken {

CK_KEY_TYPE KeyTypeOf(KeyAlgorithm algorithm) { return algorithm == KeyAlgorithm::Rsa ? CKK_RSA : CKK_VENDOR_SM2; }

std::optional<KeyAlgorithm> AlgorithmOfKeyType(CK_KEY_TYPE keyType) {
    if (keyType == CKK_RSA) return KeyAlgorithm::Rsa;
    if (keyType == CKK_VENDOR_SM2) return KeyAlgorithm::Sm2;
    return std::nullopt;
}

std::optional<KeyAlgorithm> AlgorithmOf(const EVP_PKEY* key) {
    if (!key) return std::nullopt;
    if (EVP_PKEY_is_a(key, "RSA")) return KeyAlgorithm::Rsa;
    if (EVP_PKEY_is_a(key, "SM2")) return KeyAlgorithm::Sm2;
    if (EVP_PKEY_is_a(key, "EC")) {
        // Certificates may carry an SM2 point as a plain EC key on the SM2 curve.
        char group[64] = {0};
        size_t length = 0;
        if (EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1 && std::strcmp(group, "SM2") == 0) {
            return KeyAlgorithm::Sm2;
        }
    }
    return std::nullopt;
}

EvpPkeyPtr GenerateKey(KeyAlgorithm algorithm, int rsaBits) {
    if (algorithm == KeyAlgorithm::Sm2) return EvpPkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    return EvpPkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(rsaBits)));
}

namespace {
std::string BioText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 && data ? std::string(data, static_cast<size_t>(length)) : std::string();
}

Bytes BignumParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return Bytes();
    BignumPtr number(raw);
    Bytes bytes(static_cast<size_t>(BN_num_bytes(number.get())));
    BN_bn2bin(number.get(), bytes.data());
    return bytes;
}
}  // namespace

std::string PrivateKeyToPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return "";
    return BioText(bio.get());
}

EvpPkeyPtr PrivateKeyFromPem(const std::string& pem) {
    if (pem.empty() || pem.size() > INT_MAX) return nullptr;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return nullptr;
    return EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

std::string PublicKeyToPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) return "";
    return BioText(bio.get());
}

Bytes PublicKeyForm(const EVP_PKEY* key) {
    auto algorithm = AlgorithmOf(key);
    if (algorithm == KeyAlgorithm::Rsa) return BignumParam(key, OSSL_PKEY_PARAM_RSA_N);
    if (algorithm != KeyAlgorithm::Sm2) return Bytes();
    Bytes point(kSm2PointLength);
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(),
                                        &length) != 1 ||
        length != kSm2PointLength) {
        return Bytes();
    }
    return point;
}

Bytes RsaPublicExponent(const EVP_PKEY* key) { return BignumParam(key, OSSL_PKEY_PARAM_RSA_E); }

EvpPkeyPtr PublicKeyFromForm(KeyAlgorithm algorithm, const Bytes& modulus, const Bytes& exponent) {
    using ParamBuildPtr = std::unique_ptr<OSSL_PARAM_BLD, OpenSslDeleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
    using ParamsPtr = std::unique_ptr<OSSL_PARAM, OpenSslDeleter<OSSL_PARAM, OSSL_PARAM_free>>;
    ParamBuildPtr build(OSSL_PARAM_BLD_new());
    if (!build) return nullptr;
    BignumPtr n, e;
    if (algorithm == KeyAlgorithm::Rsa) {
        n.reset(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
        e.reset(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
        if (!n || !e || OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
            OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
            return nullptr;
        }
    } else if (modulus.size() != kSm2PointLength ||
               OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
               OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, modulus.data(),
                                                modulus.size()) != 1) {
        return nullptr;
    }
    ParamsPtr params(OSSL_PARAM_BLD_to_param(build.get()));
    EvpPkeyCtxPtr context(
        EVP_PKEY_CTX_new_from_name(nullptr, algorithm == KeyAlgorithm::Rsa ? "RSA" : "SM2", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    return EvpPkeyPtr(key);
}

Bytes RsaPublicKeyDer(const Bytes& modulus, const Bytes& exponent) {
    Bytes content;
    der::AppendUnsignedInteger(content, modulus.data(), modulus.size());
    der::AppendUnsignedInteger(content, exponent.data(), exponent.size());
    return der::Element(der::kTagSequence, content);
}

namespace {
const EVP_MD* HashMd(HashKind kind) {
    switch (kind) {
        case HashKind::Md5: return EVP_md5();
        case HashKind::Sha1: return EVP_sha1();
        case HashKind::Sha256: return EVP_sha256();
        case HashKind::Sha384: return EVP_sha384();
        case HashKind::Sha512: return EVP_sha512();
        case HashKind::Sm3: return EVP_sm3();
    }
    return nullptr;
}

// DigestInfo up to the digest itself: SEQUENCE { AlgorithmIdentifier, OCTET STRING header }.
Bytes DigestInfoPrefix(HashKind kind) {
    switch (kind) {
        case HashKind::Md5:
            return {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00,
                    0x04, 0x10};
        case HashKind::Sha1:
            return {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
        case HashKind::Sha256:
            return {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05,
                    0x00, 0x04, 0x20};
        case HashKind::Sha384:
            return {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05,
                    0x00, 0x04, 0x30};
        case HashKind::Sha512:
            return {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05,
                    0x00, 0x04, 0x40};
        case HashKind::Sm3:
            return {0x30, 0x30, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x81, 0x1c, 0xcf, 0x55, 0x01, 0x83, 0x11, 0x05, 0x00,
                    0x04, 0x20};
    }
    return Bytes();
}
}  // namespace

size_t HashLength(HashKind kind) { return static_cast<size_t>(EVP_MD_get_size(HashMd(kind))); }

Bytes Hash(HashKind kind, const unsigned char* data, size_t length) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int digestLength = 0;
    static const unsigned char kNothing = 0;
    if (EVP_Digest(length ? data : &kNothing, length, digest.data(), &digestLength, HashMd(kind), nullptr) != 1) {
        return Bytes();
    }
    digest.resize(digestLength);
    return digest;
}

Hasher::Hasher(HashKind kind) : context_(EVP_MD_CTX_new()) {
    ok_ = context_ && EVP_DigestInit_ex(context_.get(), HashMd(kind), nullptr) == 1;
}

void Hasher::Update(const unsigned char* data, size_t length) {
    if (ok_ && length > 0) ok_ = EVP_DigestUpdate(context_.get(), data, length) == 1;
}

Bytes Hasher::Final() {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int digestLength = 0;
    if (!ok_ || EVP_DigestFinal_ex(context_.get(), digest.data(), &digestLength) != 1) return Bytes();
    ok_ = false;
    digest.resize(digestLength);
    return digest;
}

Bytes DigestInfo(HashKind kind, const Bytes& digest) {
    Bytes info = DigestInfoPrefix(kind);
    info.insert(info.end(), digest.begin(), digest.end());
    return info;
}

std::optional<Bytes> SignPkcs1(EVP_PKEY* key, const Bytes& digestInfo) {
    if (AlgorithmOf(key) != KeyAlgorithm::Rsa) return std::nullopt;
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) {
        return std::nullopt;
    }
    size_t length = 0;
    if (EVP_PKEY_sign(context.get(), nullptr, &length, digestInfo.data(), digestInfo.size()) != 1) return std::nullopt;
    Bytes signature(length);
    if (EVP_PKEY_sign(context.get(), signature.data(), &length, digestInfo.data(), digestInfo.size()) != 1) {
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

std::optional<Bytes> SignSm2Digest(EVP_PKEY* key, const Bytes& e) {
    if (AlgorithmOf(key) != KeyAlgorithm::Sm2 || e.size() != kSm2ZLength) return std::nullopt;
    // On an SM2 key, EVP_PKEY_sign signs its input as the digest e itself.
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!context || EVP_PKEY_sign_init(context.get()) != 1) return std::nullopt;
    size_t length = 0;
    if (EVP_PKEY_sign(context.get(), nullptr, &length, e.data(), e.size()) != 1) return std::nullopt;
    Bytes der(length);
    if (EVP_PKEY_sign(context.get(), der.data(), &length, e.data(), e.size()) != 1) return std::nullopt;
    const unsigned char* cursor = der.data();
    EcdsaSigPtr signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
    if (!signature) return std::nullopt;
    Bytes rs(kSm2SignatureLength);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), rs.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), rs.data() + 32, 32) != 32) {
        return std::nullopt;
    }
    return rs;
}

size_t SignatureLength(const EVP_PKEY* key) {
    if (AlgorithmOf(key) == KeyAlgorithm::Sm2) return kSm2SignatureLength;
    int size = EVP_PKEY_get_size(key);
    return size > 0 ? static_cast<size_t>(size) : 0;
}

bool RandomBytes(unsigned char* out, size_t length) {
    constexpr size_t kChunk = 1 << 20;
    for (size_t done = 0; done < length;) {
        size_t part = std::min(kChunk, length - done);
        if (RAND_bytes(out + done, static_cast<int>(part)) != 1) return false;
        done += part;
    }
    return true;
}

}  // namespace softtoken
