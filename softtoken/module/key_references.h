// How the auxiliary entries name keys and hand out public keys.
#pragma once

#include <optional>

#include "softtoken/common/key_crypto.h"
#include "softtoken/common/token_model.h"

namespace softtoken {

struct KeyReference {
    KeyAlgorithm algorithm;
    int index;
};

// A 2-byte key ID: (0x1B, index + 1) for SM2, (0x2B, index + 2) for RSA.
std::optional<KeyReference> KeyFromIdPair(unsigned char tag, unsigned char number);
// A sign-info entry's key: kind 0x13 SM2 (number index + 1) or 0x23 RSA (number index + 2).
std::optional<KeyReference> KeyFromSignKind(unsigned char kind, unsigned char number);

// What E_ExportPublicKey hands out for a public-key object: the PKCS#1
// RSAPublicKey of an RSA key, the 65-byte point of an SM2 key.
std::optional<Bytes> ExportForm(const TokenObject& publicKey);

}  // namespace softtoken
