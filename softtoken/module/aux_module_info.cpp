// Auxiliary entries about the module and its client, and random data.
#include <cstring>
#include <string>

#include "softtoken/common/key_crypto.h"
#include "softtoken/module/aux_api.h"
#include "softtoken/module/runtime.h"

namespace softtoken::aux {

namespace {
constexpr const char* kModuleVersion = "1.0.0.7";
constexpr CK_ULONG kTempKeyLength = 32;

long long CurrentIpType() {
    if (auto store = CurrentStore()) {
        if (auto stored = store->LoadIpType()) return *stored;
    }
    return Runtime::Instance().ipTypeWithoutDirectory.value_or(0);
}
}  // namespace

CK_RV GetRandom(CK_SLOT_ID slot, unsigned char* out, CK_ULONG length) {
    if (!out && length) return CKR_ARGUMENTS_BAD;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;
    return RandomBytes(out, length) ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV GetModuleVersion(char* out) {
    if (!out) return CKR_ARGUMENTS_BAD;
    std::strcpy(out, kModuleVersion);  // the caller's buffer holds 100 bytes
    return CKR_OK;
}

CK_RV GetTempKey(CK_SLOT_ID slot, unsigned char* out, CK_ULONG length) {
    if (!out) return CKR_ARGUMENTS_BAD;
    if (length < kTempKeyLength) return CKR_BUFFER_TOO_SMALL;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;
    Bytes input = BytesOf(token.serial + "temp-key");
    Bytes key = Hash(HashKind::Sha256, input.data(), input.size());
    if (key.size() != kTempKeyLength) return CKR_FUNCTION_FAILED;
    std::memcpy(out, key.data(), key.size());
    return CKR_OK;
}

CK_RV SetIPType(int type) {
    auto store = CurrentStore();
    if (!store) {
        Runtime::Instance().ipTypeWithoutDirectory = type;
        return CKR_OK;
    }
    return store->SaveIpType(type) ? CKR_OK : CKR_DEVICE_ERROR;
}

CK_RV GetClientInfo(char* out, int* length) {
    if (!out || !length || *length < 0) return CKR_ARGUMENTS_BAD;
    std::string text = "softtoken;iptype=" + std::to_string(CurrentIpType());
    if (static_cast<size_t>(*length) < text.size() + 1) {
        *length = static_cast<int>(text.size());
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    *length = static_cast<int>(text.size());
    return CKR_OK;
}

}  // namespace softtoken::aux
