// Auxiliary entries that make, show and remove key pairs.
#include <algorithm>
#include <cstring>

#include "softtoken/common/key_pairs.h"
#include "softtoken/module/aux_api.h"
#include "softtoken/module/holder.h"
#include "softtoken/module/key_references.h"
#include "softtoken/module/runtime.h"

namespace softtoken::aux {

namespace {

constexpr size_t kRequestRecordLength = 261;
constexpr CK_ULONG kMaxRequestKeys = 2;
constexpr size_t kMaxDeleteIdPairs = kRsaKeyIndexes + kSm2KeyIndexes;  // every key once
constexpr unsigned char kPublicKeyBlobMagic[] = {'P', 'K', 'W', 'R'};
constexpr CK_ULONG kMaxBlobData = 1 << 20;  // the host sends 17 bytes

struct KeyRequest {
    KeyAlgorithm algorithm;
    int bits;
};

std::optional<KeyRequest> ParseKeyRequest(unsigned int algorithm, CK_ULONG bits) {
    if (algorithm == TOKEN_KEYALG_RSA && (bits == 1024 || bits == 2048)) {
        return KeyRequest{KeyAlgorithm::Rsa, static_cast<int>(bits)};
    }
    if (algorithm == TOKEN_KEYALG_SM2 && bits == 256) return KeyRequest{KeyAlgorithm::Sm2, 256};
    return std::nullopt;
}

// The public key an ID pair names, or null.
const TokenObject* PublicKeyOf(const Token& token, unsigned char tag, unsigned char number) {
    auto key = KeyFromIdPair(tag, number);
    return key ? FindKeyByIndex(token, CKO_PUBLIC_KEY, key->algorithm, key->index) : nullptr;
}

}  // namespace

CK_RV ExportPublicKey(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE key, unsigned char* out, unsigned int* length) {
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    if (!token.exportPublicKey) return CKR_FUNCTION_NOT_SUPPORTED;
    if (!length) return CKR_ARGUMENTS_BAD;
    const TokenObject* object = token.FindObject(key);
    auto form = object ? ExportForm(*object) : std::nullopt;
    if (!form) return CKR_KEY_HANDLE_INVALID;
    if (!out) {
        *length = static_cast<unsigned int>(form->size());
        return CKR_OK;
    }
    if (*length < form->size()) {
        *length = static_cast<unsigned int>(form->size());
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, form->data(), form->size());
    *length = static_cast<unsigned int>(form->size());
    return CKR_OK;
}

CK_RV GenerateRequestKeys(CK_SLOT_ID slot, CK_ULONG count, const unsigned int* keyAlgs, const CK_ULONG* keyBits,
                          const char*, unsigned char* records) {
    if (count < 1 || count > kMaxRequestKeys || !keyAlgs || !keyBits || !records) return CKR_ARGUMENTS_BAD;
    std::vector<KeyRequest> requests;
    for (CK_ULONG i = 0; i < count; ++i) {
        auto request = ParseKeyRequest(keyAlgs[i], keyBits[i]);
        if (!request) return CKR_ARGUMENTS_BAD;
        requests.push_back(*request);
    }
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;

    // Both pairs are made in memory first, so a failure leaves the token as it was.
    std::vector<std::string> pairIds;
    for (const KeyRequest& request : requests) {
        auto index = LowestFreeIndex(token, request.algorithm);
        if (!index) return CKR_DEVICE_MEMORY;
        EvpPkeyPtr key = GenerateKey(request.algorithm, request.bits);
        if (!key) return CKR_FUNCTION_FAILED;
        std::string pairId = NewPairIdText(token);
        AddKeyPair(token, key.get(), PairRequest{request.algorithm, *index, token.textFormat, pairId});
        pairIds.push_back(pairId);
    }
    if (!store->Save(token)) return CKR_DEVICE_ERROR;
    std::memset(records, 0, kRequestRecordLength * count);
    for (size_t i = 0; i < pairIds.size(); ++i) {
        std::memcpy(records + kRequestRecordLength * i, pairIds[i].c_str(), pairIds[i].size() + 1);
    }
    return CKR_OK;
}

CK_RV GetPublicKeyWithRandom(CK_SLOT_ID slot, const unsigned char* data, CK_ULONG dataLen,
                             const unsigned char* keyIds, CK_ULONG keyIdsLen, unsigned char* out, CK_ULONG* outLen) {
    if ((!data && dataLen) || !keyIds || keyIdsLen == 0 || keyIdsLen % 2 != 0 || keyIdsLen > 2 * kMaxDeleteIdPairs ||
        !outLen) {
        return CKR_ARGUMENTS_BAD;
    }
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;

    std::vector<Bytes> forms;
    CK_ULONG total = sizeof kPublicKeyBlobMagic;
    for (CK_ULONG i = 0; i < keyIdsLen; i += 2) {
        const TokenObject* publicKey = PublicKeyOf(token, keyIds[i], keyIds[i + 1]);
        auto form = publicKey ? ExportForm(*publicKey) : std::nullopt;
        if (!form || form->size() > 0xFFFF) return CKR_ARGUMENTS_BAD;
        total += 4 + form->size();
        forms.push_back(std::move(*form));
    }
    if (dataLen > kMaxBlobData) return CKR_ARGUMENTS_BAD;
    CK_ULONG needed = total + dataLen;
    if (!out) {
        *outLen = needed;
        return CKR_OK;
    }
    if (*outLen < needed) {
        *outLen = needed;
        return CKR_BUFFER_TOO_SMALL;
    }
    unsigned char* cursor = std::copy(std::begin(kPublicKeyBlobMagic), std::end(kPublicKeyBlobMagic), out);
    if (dataLen) cursor = std::copy(data, data + dataLen, cursor);
    for (size_t i = 0; i < forms.size(); ++i) {
        *cursor++ = keyIds[2 * i];
        *cursor++ = keyIds[2 * i + 1];
        *cursor++ = static_cast<unsigned char>(forms[i].size() >> 8);
        *cursor++ = static_cast<unsigned char>(forms[i].size());
        cursor = std::copy(forms[i].begin(), forms[i].end(), cursor);
    }
    *outLen = needed;
    return CKR_OK;
}

CK_RV DeleteTempKey(CK_SLOT_ID slot, const unsigned char* keyIds) {
    if (!keyIds) return CKR_ARGUMENTS_BAD;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;

    std::vector<Bytes> pairIds;
    size_t pairs = 0;
    for (const unsigned char* cursor = keyIds; *cursor != 0x00; cursor += 2) {
        if (++pairs > kMaxDeleteIdPairs) return CKR_ARGUMENTS_BAD;  // no terminator in sight
        const TokenObject* publicKey = PublicKeyOf(token, cursor[0], cursor[1]);
        if (!publicKey) return CKR_ARGUMENTS_BAD;
        pairIds.push_back(publicKey->PairId());
    }
    if (pairIds.empty()) return CKR_ARGUMENTS_BAD;

    if (CK_RV rv = CommonAnswer(*store, token, AskHolder(*store, token, HolderPoint::DeleteKey)); rv != CKR_OK) {
        return rv;
    }
    token.objects.erase(std::remove_if(token.objects.begin(), token.objects.end(),
                                       [&](const TokenObject& object) {
                                           // The pair goes with every object carrying its ID,
                                           // certificates included.
                                           return std::find(pairIds.begin(), pairIds.end(), object.PairId()) !=
                                                  pairIds.end();
                                       }),
                        token.objects.end());
    return store->Save(token) ? CKR_OK : CKR_DEVICE_ERROR;
}

}  // namespace softtoken::aux
