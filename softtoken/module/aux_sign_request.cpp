// E_SignRequestInfo: the new key pairs sign their certificate requests.
#include <algorithm>

#include "softtoken/common/key_pairs.h"
#include "softtoken/module/aux_api.h"
#include "softtoken/module/holder.h"
#include "softtoken/module/key_references.h"
#include "softtoken/module/runtime.h"
#include "softtoken/module/signer.h"

namespace softtoken::aux {

namespace {

constexpr CK_ULONG kMaxSignRequests = 2;
constexpr size_t kEntryHeaderLength = 4;

struct SignRequest {
    const TokenObject* privateKey = nullptr;
    HashKind hash = HashKind::Sm3;
    Bytes digest;
};

std::optional<HashKind> HashOfTypeByte(unsigned char type) {
    switch (type) {
        case 0x32: return HashKind::Md5;
        case 0x12: return HashKind::Sha1;
        case 0xF2: return HashKind::Sha256;
        case 0xC2: return HashKind::Sha384;
        case 0xE2: return HashKind::Sha512;
        case 0x52: return HashKind::Sm3;
        default: return std::nullopt;
    }
}

// Entries: kind, number, hash type, hash length h, h bytes; nullopt when any
// is malformed, runs past infoLen or names no key on the token.
std::optional<std::vector<SignRequest>> ParseEntries(const Token& token, CK_ULONG count, const unsigned char* info,
                                                     CK_ULONG infoLen) {
    std::vector<SignRequest> requests;
    size_t offset = 0;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (infoLen - offset < kEntryHeaderLength) return std::nullopt;
        const unsigned char* entry = info + offset;
        auto reference = KeyFromSignKind(entry[0], entry[1]);
        auto hash = HashOfTypeByte(entry[2]);
        size_t hashLength = entry[3];
        if (!reference || !hash || infoLen - offset - kEntryHeaderLength < hashLength) return std::nullopt;
        SignRequest request;
        request.privateKey = FindKeyByIndex(token, CKO_PRIVATE_KEY, reference->algorithm, reference->index);
        request.hash = *hash;
        // An SM2 key signs the given value as e itself, so it must be 32 bytes.
        size_t expected = reference->algorithm == KeyAlgorithm::Sm2 ? kSm2ZLength : HashLength(*hash);
        if (!request.privateKey || hashLength != expected) return std::nullopt;
        request.digest.assign(entry + kEntryHeaderLength, entry + kEntryHeaderLength + hashLength);
        requests.push_back(std::move(request));
        offset += kEntryHeaderLength + hashLength;
    }
    return requests;
}

// The PIN prompt of E_SignRequestInfo: a wrong PIN that uses up the last try
// answers CKR_PIN_LOCKED.
CK_RV AskForPin(const TokenStore& store, Token& token) {
    HolderAction action = AskHolder(store, token, HolderPoint::SignRequest);
    CK_RV rv = CommonAnswer(store, token, action);
    if (rv == CKR_PIN_INCORRECT && action.choice == HolderChoice::WrongPin && token.triesLeft == 0) {
        return CKR_PIN_LOCKED;
    }
    if (rv == CKR_OK && token.triesLeft != kMaxPinTries) {
        token.triesLeft = kMaxPinTries;
        store.Save(token);
    }
    return rv;
}

}  // namespace

CK_RV SignRequestInfo(CK_SLOT_ID slot, CK_ULONG count, const unsigned char* info, CK_ULONG infoLen,
                      unsigned char* out, CK_ULONG* outLen) {
    if (count < 1 || count > kMaxSignRequests || !info || !out || !outLen) return CKR_ARGUMENTS_BAD;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;
    auto requests = ParseEntries(token, count, info, infoLen);
    if (!requests) return CKR_ARGUMENTS_BAD;

    std::vector<EvpPkeyPtr> keys;
    CK_ULONG needed = 0;
    for (const SignRequest& request : *requests) {
        keys.push_back(LoadPrivateKey(*request.privateKey));
        if (!keys.back()) return CKR_DEVICE_ERROR;
        needed += 2 + SignatureLength(keys.back().get());
    }
    if (*outLen < needed) {
        *outLen = needed;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (token.triesLeft == 0) return CKR_PIN_LOCKED;
    if (CK_RV rv = AskForPin(*store, token); rv != CKR_OK) return rv;

    unsigned char* cursor = out;
    for (size_t i = 0; i < requests->size(); ++i) {
        Bytes signature;
        if (CK_RV rv = SignDigest(keys[i].get(), (*requests)[i].hash, (*requests)[i].digest, signature); rv != CKR_OK) {
            return rv;
        }
        if (signature.size() != SignatureLength(keys[i].get())) return CKR_FUNCTION_FAILED;  // keeps within needed
        *cursor++ = static_cast<unsigned char>(signature.size() >> 8);
        *cursor++ = static_cast<unsigned char>(signature.size());
        cursor = std::copy(signature.begin(), signature.end(), cursor);
    }
    *outLen = static_cast<CK_ULONG>(cursor - out);
    return CKR_OK;
}

}  // namespace softtoken::aux
