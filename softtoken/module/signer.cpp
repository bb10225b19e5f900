#include "softtoken/module/signer.h"

#include "softtoken/common/key_pairs.h"

namespace softtoken {

std::optional<HashKind> HashOfSignMechanism(CK_MECHANISM_TYPE mechanism) {
    switch (mechanism) {
        case CKM_MD5_RSA_PKCS: return HashKind::Md5;
        case CKM_SHA1_RSA_PKCS: return HashKind::Sha1;
        case CKM_SHA256_RSA_PKCS: return HashKind::Sha256;
        case CKM_SHA384_RSA_PKCS: return HashKind::Sha384;
        case CKM_SHA512_RSA_PKCS: return HashKind::Sha512;
        case CKM_VENDOR_SM2_SM3: return HashKind::Sm3;
        default: return std::nullopt;
    }
}

std::optional<HashKind> HashOfDigestMechanism(CK_MECHANISM_TYPE mechanism) {
    switch (mechanism) {
        case CKM_MD5: return HashKind::Md5;
        case CKM_SHA_1: return HashKind::Sha1;
        case CKM_SHA256: return HashKind::Sha256;
        case CKM_SHA384: return HashKind::Sha384;
        case CKM_SHA512: return HashKind::Sha512;
        case CKM_VENDOR_SM3: return HashKind::Sm3;
        default: return std::nullopt;
    }
}

CK_RV CheckSignMechanism(CK_MECHANISM_TYPE mechanism, const TokenObject& privateKey) {
    if (!HashOfSignMechanism(mechanism)) return CKR_MECHANISM_INVALID;
    auto algorithm = KeyAlgorithmOf(privateKey);
    if (!algorithm) return CKR_KEY_TYPE_INCONSISTENT;
    if (*algorithm == KeyAlgorithm::Sm2 && mechanism != CKM_VENDOR_SM2_SM3) return CKR_KEY_TYPE_INCONSISTENT;
    return CKR_OK;
}

EvpPkeyPtr LoadPrivateKey(const TokenObject& privateKey) {
    EvpPkeyPtr key = PrivateKeyFromPem(privateKey.privateKeyPem);
    // The stored material must be of the algorithm the object claims.
    if (!key || AlgorithmOf(key.get()) != KeyAlgorithmOf(privateKey)) return nullptr;
    return key;
}

CK_RV SignDigest(EVP_PKEY* key, HashKind hash, const Bytes& digest, Bytes& signature) {
    std::optional<Bytes> result = AlgorithmOf(key) == KeyAlgorithm::Sm2 ? SignSm2Digest(key, digest)
                                                                         : SignPkcs1(key, DigestInfo(hash, digest));
    if (!result) return CKR_FUNCTION_FAILED;
    signature = std::move(*result);
    return CKR_OK;
}

CK_RV SignLikeToken(const Token& token, const TokenObject& privateKey, CK_MECHANISM_TYPE mechanism,
                    const unsigned char* data, size_t length, Bytes& signature) {
    if (CK_RV rv = CheckSignMechanism(mechanism, privateKey); rv != CKR_OK) return rv;
    EvpPkeyPtr key = LoadPrivateKey(privateKey);
    if (!key) return CKR_DEVICE_ERROR;
    HashKind hash = *HashOfSignMechanism(mechanism);
    if (AlgorithmOf(key.get()) == KeyAlgorithm::Sm2) {
        if (length < kSm2ZLength) return CKR_DATA_LEN_RANGE;  // the data begins with Z
        return SignDigest(key.get(), hash, Hash(hash, data, length), signature);
    }
    bool digestGiven = mechanism != CKM_VENDOR_SM2_SM3 && IsTemporaryPair(token, privateKey.PairId());
    if (!digestGiven) return SignDigest(key.get(), hash, Hash(hash, data, length), signature);
    if (length != HashLength(hash)) return CKR_DATA_LEN_RANGE;
    return SignDigest(key.get(), hash, Bytes(data, data + length), signature);
}

}  // namespace softtoken
