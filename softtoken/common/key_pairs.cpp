#include "softtoken/common/key_pairs.h"

#include <cstdio>

#include "softtoken/common/cert_info.h"

namespace softtoken {

int IndexCount(KeyAlgorithm algorithm) { return algorithm == KeyAlgorithm::Rsa ? kRsaKeyIndexes : kSm2KeyIndexes; }

bool IsTextFormat(const std::string& format) { return format == "01" || format == "02"; }

Bytes PairIdBytes(const std::string& text) {
    Bytes bytes = BytesOf(text);
    bytes.push_back(0);
    return bytes;
}

std::string PairIdText(const Bytes& pairId) {
    std::string text = TextOf(pairId);
    return text.substr(0, text.find('\0'));
}

std::string NewPairIdText(const Token& token) {
    for (;;) {
        unsigned char random[4] = {0};
        RandomBytes(random, sizeof random);
        char text[16];
        std::snprintf(text, sizeof text, "pair-%02x%02x%02x%02x", random[0], random[1], random[2], random[3]);
        Bytes pairId = PairIdBytes(text);
        bool used = false;
        for (const TokenObject& object : token.objects) used = used || object.PairId() == pairId;
        if (!used) return text;
    }
}

std::optional<KeyAlgorithm> KeyAlgorithmOf(const TokenObject& key) {
    auto keyType = key.UlongAttribute(CKA_KEY_TYPE);
    return keyType ? AlgorithmOfKeyType(*keyType) : std::nullopt;
}

std::optional<int> KeyIndexOf(const TokenObject& key) {
    const Bytes* index = key.Attribute(CKA_VENDOR_KEY_INDEX);
    if (!index || index->empty()) return std::nullopt;
    return (*index)[0];
}

bool IndexInUse(const Token& token, KeyAlgorithm algorithm, int index) {
    return FindKeyByIndex(token, CKO_PUBLIC_KEY, algorithm, index) ||
           FindKeyByIndex(token, CKO_PRIVATE_KEY, algorithm, index);
}

std::optional<int> LowestFreeIndex(const Token& token, KeyAlgorithm algorithm) {
    for (int index = 0; index < IndexCount(algorithm); ++index) {
        if (!IndexInUse(token, algorithm, index)) return index;
    }
    return std::nullopt;
}

Bytes AddKeyPair(Token& token, EVP_PKEY* key, const PairRequest& request) {
    Bytes pairId = PairIdBytes(request.pairIdText);
    Bytes keyType = UlongBytes(KeyTypeOf(request.algorithm));
    Bytes index(1, static_cast<unsigned char>(request.index));

    TokenObject publicKey;
    publicKey.handle = token.AllocateHandle();
    publicKey.attributes = {
        {CKA_CLASS, UlongBytes(CKO_PUBLIC_KEY)},
        {CKA_TOKEN, BoolBytes(true)},
        {CKA_KEY_TYPE, keyType},
        {CKA_MODULUS, PublicKeyForm(key)},
        {CKA_VENDOR_PAIR_ID, pairId},
        {CKA_VENDOR_KEY_INDEX, index},
        {CKA_VENDOR_TEXT_FORMAT, BytesOf(request.textFormat)},
    };
    if (request.algorithm == KeyAlgorithm::Rsa) publicKey.attributes[CKA_PUBLIC_EXPONENT] = RsaPublicExponent(key);

    TokenObject privateKey;
    privateKey.handle = token.AllocateHandle();
    privateKey.attributes = {
        {CKA_CLASS, UlongBytes(CKO_PRIVATE_KEY)},
        {CKA_TOKEN, BoolBytes(true)},
        {CKA_KEY_TYPE, keyType},
        {CKA_VENDOR_PAIR_ID, pairId},
        {CKA_VENDOR_KEY_INDEX, index},
        {CKA_SENSITIVE, BoolBytes(true)},
        {CKA_SIGN, BoolBytes(true)},
    };
    privateKey.privateKeyPem = PrivateKeyToPem(key);

    token.objects.push_back(std::move(publicKey));
    token.objects.push_back(std::move(privateKey));
    return pairId;
}

CK_OBJECT_HANDLE AddCertificate(Token& token, const Bytes& der, const Bytes& pairId) {
    TokenObject certificate;
    certificate.handle = token.AllocateHandle();
    certificate.attributes = {
        {CKA_CLASS, UlongBytes(CKO_CERTIFICATE)},
        {CKA_TOKEN, BoolBytes(true)},
        {CKA_CERTIFICATE_TYPE, UlongBytes(CKC_X_509)},
        {CKA_VALUE, der},
    };
    if (!pairId.empty()) {
        certificate.attributes[CKA_VENDOR_PAIR_ID] = pairId;
        certificate.attributes[CKA_LABEL] = BytesOf(PairIdText(pairId));
    }
    if (auto facts = ReadCertificate(der)) {
        certificate.attributes[CKA_SUBJECT] = facts->subjectDer;
        certificate.attributes[CKA_ISSUER] = facts->issuerDer;
        certificate.attributes[CKA_SERIAL_NUMBER] = facts->serialDer;
    }
    token.objects.push_back(std::move(certificate));
    return token.objects.back().handle;
}

bool HasCertificate(const Token& token, const Bytes& pairId) {
    for (const TokenObject& object : token.objects) {
        if (object.IsClass(CKO_CERTIFICATE) && object.PairId() == pairId) return true;
    }
    return false;
}

bool IsTemporaryPair(const Token& token, const Bytes& pairId) { return !HasCertificate(token, pairId); }

const TokenObject* FindKey(const Token& token, CK_OBJECT_CLASS objectClass, const Bytes& pairId) {
    for (const TokenObject& object : token.objects) {
        if (object.IsClass(objectClass) && object.PairId() == pairId) return &object;
    }
    return nullptr;
}

const TokenObject* FindKeyByIndex(const Token& token, CK_OBJECT_CLASS objectClass, KeyAlgorithm algorithm,
                                  int index) {
    for (const TokenObject& object : token.objects) {
        if (object.IsClass(objectClass) && KeyAlgorithmOf(object) == algorithm && KeyIndexOf(object) == index) {
            return &object;
        }
    }
    return nullptr;
}

Bytes PairCarrying(const Token& token, const Bytes& publicKeyForm) {
    if (publicKeyForm.empty()) return Bytes();
    for (const TokenObject& object : token.objects) {
        const Bytes* modulus = object.Attribute(CKA_MODULUS);
        if (object.IsClass(CKO_PUBLIC_KEY) && modulus && *modulus == publicKeyForm) return object.PairId();
    }
    return Bytes();
}

}  // namespace softtoken
