// Key pairs and certificates as token objects: how they are created, linked
// by their pair ID and found again.
#pragma once

#include <optional>
#include <string>

#include "softtoken/common/key_crypto.h"
#include "softtoken/common/token_model.h"

namespace softtoken {

// What a new key pair is to be: its algorithm, index, text format and pair ID.
struct PairRequest {
    KeyAlgorithm algorithm = KeyAlgorithm::Rsa;
    int index = 0;
    std::string textFormat = "02";
    std::string pairIdText;  // without its zero byte
};

int IndexCount(KeyAlgorithm algorithm);
// "01" or "02" only.
bool IsTextFormat(const std::string& format);

// Pair IDs are their text followed by one zero byte.
Bytes PairIdBytes(const std::string& text);
std::string PairIdText(const Bytes& pairId);  // up to the first zero byte
// A random "pair-xxxxxxxx" not yet used on the token.
std::string NewPairIdText(const Token& token);

std::optional<int> LowestFreeIndex(const Token& token, KeyAlgorithm algorithm);
bool IndexInUse(const Token& token, KeyAlgorithm algorithm, int index);

// Adds the public and private key objects of a new pair; the caller has
// checked that the index is free and in range. Returns the pair ID.
Bytes AddKeyPair(Token& token, EVP_PKEY* key, const PairRequest& request);
// Adds a certificate object with the raw value; when the value parses, its
// subject, issuer and serial number become attributes too. An empty pair ID
// leaves CKA_VENDOR_PAIR_ID out.
CK_OBJECT_HANDLE AddCertificate(Token& token, const Bytes& der, const Bytes& pairId);

bool HasCertificate(const Token& token, const Bytes& pairId);
// A key pair whose pair ID stands on no certificate object.
bool IsTemporaryPair(const Token& token, const Bytes& pairId);

const TokenObject* FindKey(const Token& token, CK_OBJECT_CLASS objectClass, const Bytes& pairId);
const TokenObject* FindKeyByIndex(const Token& token, CK_OBJECT_CLASS objectClass, KeyAlgorithm algorithm,
                                  int index);
// The pair whose public key has this CKA_MODULUS value; empty when none.
Bytes PairCarrying(const Token& token, const Bytes& publicKeyForm);

std::optional<KeyAlgorithm> KeyAlgorithmOf(const TokenObject& key);
std::optional<int> KeyIndexOf(const TokenObject& key);

}  // namespace softtoken
