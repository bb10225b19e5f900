// Auxiliary entries for the token's settings, PIN and information.
#include <algorithm>
#include <cstring>

#include "softtoken/module/aux_api.h"
#include "softtoken/module/holder.h"
#include "softtoken/module/runtime.h"

namespace softtoken::aux {

namespace {

constexpr size_t kPinInfoLength = 12;
constexpr size_t kPinInfoTriesOffset = 3;
constexpr size_t kMaxWarningLength = 256;
constexpr CK_ULONG kExtInfoLength = 260;

bool EqualIgnoringAsciiCase(const Bytes& a, const Bytes& b) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](unsigned char x, unsigned char y) { return lower(x) == lower(y); });
}

// Items of a list text such as "zh-CN||en-US".
std::vector<Bytes> ListItems(const Bytes& list) {
    std::vector<Bytes> items;
    const Bytes separator{'|', '|'};
    auto start = list.begin();
    for (;;) {
        auto end = std::search(start, list.end(), separator.begin(), separator.end());
        items.emplace_back(start, end);
        if (end == list.end()) break;
        start = end + 2;
    }
    return items;
}

bool IsListItem(const Bytes& list, const Bytes& value) {
    if (value.empty()) return false;
    auto items = ListItems(list);
    return std::any_of(items.begin(), items.end(), [&](const Bytes& item) { return EqualIgnoringAsciiCase(item, value); });
}

CK_RV CopyListText(CK_SLOT_ID slot, const Bytes Token::*list, char* out, CK_ULONG* length) {
    if (!length) return CKR_ARGUMENTS_BAD;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;
    const Bytes& text = token.*list;
    if (!out) {
        *length = text.size();
        return CKR_OK;
    }
    if (*length < text.size()) {
        *length = text.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    // Like the key's fixed-size field: a text that fills the buffer exactly
    // comes without its terminating zero.
    std::copy(text.begin(), text.end(), out);
    if (text.size() < *length) out[text.size()] = '\0';
    *length = token.reportedListLength.value_or(text.size());
    return CKR_OK;
}

}  // namespace

CK_RV GetPinInfo(CK_SLOT_ID slot, unsigned char info[12]) {
    if (!info) return CKR_ARGUMENTS_BAD;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;
    std::memset(info, 0, kPinInfoLength);
    info[kPinInfoTriesOffset] = static_cast<unsigned char>(token.triesLeft);
    return CKR_OK;
}

CK_RV SetTokenParam(CK_SLOT_ID slot, CK_ULONG type, const unsigned char* value, CK_ULONG length) {
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;
    if (!value && length) return CKR_ARGUMENTS_BAD;
    // Longer values match no list item and exceed the warning limit alike.
    if (length > std::max(kMaxWarningLength, kMaxListTextLength)) return CKR_ARGUMENTS_BAD;
    Bytes text(value, value + length);
    switch (type) {
        case TOKEN_PARAM_CHARSET:
            if (!IsListItem(token.charsetList, text)) return CKR_ARGUMENTS_BAD;
            token.charset = text;
            break;
        case TOKEN_PARAM_LANGUAGE:
            if (!IsListItem(token.languageList, text)) return CKR_ARGUMENTS_BAD;
            token.language = text;
            break;
        case TOKEN_PARAM_WARNING:
            if (text.empty() || text.size() > kMaxWarningLength) return CKR_ARGUMENTS_BAD;
            token.warning = text;
            break;
        default:
            return CKR_ARGUMENTS_BAD;
    }
    return store->Save(token) ? CKR_OK : CKR_DEVICE_ERROR;
}

CK_RV InitCard(CK_SLOT_ID slot, CK_ULONG) {
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;
    HolderAction action = AskHolder(*store, token, HolderPoint::InitCard);
    if (action.choice == HolderChoice::Timeout) return CKR_VENDOR_INITCARD_TIMEOUT;
    if (CK_RV rv = CommonAnswer(*store, token, action); rv != CKR_OK) return rv;
    token.initialised = true;
    return store->Save(token) ? CKR_OK : CKR_DEVICE_ERROR;
}

CK_RV ChangePin(CK_SESSION_HANDLE handle) {
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    // A blocked PIN cannot be changed; the holder is not even asked.
    if (token.triesLeft == 0) return CKR_PIN_LOCKED;
    HolderAction action = AskHolder(*store, token, HolderPoint::ChangePin);
    if (CK_RV rv = CommonAnswer(*store, token, action); rv != CKR_OK) return rv;
    token.triesLeft = kMaxPinTries;
    return store->Save(token) ? CKR_OK : CKR_DEVICE_ERROR;
}

CK_RV GetLanguageList(CK_SLOT_ID slot, char* out, CK_ULONG* length) {
    return CopyListText(slot, &Token::languageList, out, length);
}

CK_RV GetCharsetList(CK_SLOT_ID slot, char* out, CK_ULONG* length) {
    return CopyListText(slot, &Token::charsetList, out, length);
}

CK_RV GetTokenExtInfo(CK_SLOT_ID slot, unsigned char* info, CK_ULONG* length) {
    if (!length) return CKR_ARGUMENTS_BAD;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;
    if (!token.extInfo) return CKR_FUNCTION_NOT_SUPPORTED;
    if (!info) {
        *length = kExtInfoLength;
        return CKR_OK;
    }
    if (*length < kExtInfoLength) {
        *length = kExtInfoLength;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memset(info, 0, kExtInfoLength);
    std::memcpy(info, "STK1", 4);
    std::copy_n(token.adminKeyId.begin(), std::min(token.adminKeyId.size(), kAdminKeyIdLength), info + 4);
    std::memcpy(info + 4 + kAdminKeyIdLength, "01", 2);
    *length = kExtInfoLength;
    return CKR_OK;
}

}  // namespace softtoken::aux
