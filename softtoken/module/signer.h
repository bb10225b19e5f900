// How the token signs with one of its private keys, shared by C_Sign and the
// auxiliary signing entries.
#pragma once

#include <optional>

#include "softtoken/common/key_crypto.h"
#include "softtoken/common/token_model.h"

namespace softtoken {

// The hash behind a signing or digest mechanism; nullopt for others.
std::optional<HashKind> HashOfSignMechanism(CK_MECHANISM_TYPE mechanism);
std::optional<HashKind> HashOfDigestMechanism(CK_MECHANISM_TYPE mechanism);

// CKR_OK when the mechanism can sign with this private-key object,
// CKR_MECHANISM_INVALID for an unknown mechanism, CKR_KEY_TYPE_INCONSISTENT
// when it does not suit the key (SM2 keys sign only with SM2-with-SM3).
CK_RV CheckSignMechanism(CK_MECHANISM_TYPE mechanism, const TokenObject& privateKey);

// The private key's material; null when it is missing or unreadable.
EvpPkeyPtr LoadPrivateKey(const TokenObject& privateKey);

// Signs data exactly as C_Sign does (the holder is not asked here):
// RSA mechanisms PKCS#1 v1.5 over the hash of the data, except that a key
// without certificate takes the data as the finished digest; SM2-with-SM3
// on an SM2 key r||s over e = SM3(data), data starting with Z; on an RSA key
// PKCS#1 v1.5 over SM3(data).
CK_RV SignLikeToken(const Token& token, const TokenObject& privateKey, CK_MECHANISM_TYPE mechanism,
                    const unsigned char* data, size_t length, Bytes& signature);

// Raw primitive for digests computed elsewhere (E_SignRequestInfo).
CK_RV SignDigest(EVP_PKEY* key, HashKind hash, const Bytes& digest, Bytes& signature);

}  // namespace softtoken
