#include "device/DeviceP11Operation.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "device/module_connection.h"
#include "device/p11_session.h"
#include "support/Gener_Func.h"
#include "support/result_codes.h"

namespace {

// The module writes list texts into 260 bytes; one more keeps them terminated.
constexpr CK_ULONG kListTextSize = 260;
constexpr size_t kModuleVersionSize = 100;
constexpr CK_ULONG kMaxPublicKeysCounted = 10;
constexpr size_t kSerialSize = sizeof(CK_TOKEN_INFO{}.serialNumber);
// The media identifier leaves out the maker's prefix of the serial number.
constexpr size_t kSerialPrefixSize = 6;
// E_SetTokenParam's answer for a value the key refuses.
constexpr CK_RV kValueRejected = CKR_ARGUMENTS_BAD;

bool ValidText(const char* text, int length) { return length >= 0 && (text != nullptr || length == 0); }

// Charset flag for a charset name: 1 UTF-8, 0 GBK family, -1 unknown (flag kept).
int CharsetFlagFor(const std::string& name) {
    if (name == "UTF-8") return 1;
    if (name == "GBK" || name == "GB18030") return 0;
    return -1;
}

// The serial number without trailing blanks and without the maker's prefix.
std::string MediaIdFromSerial(const CK_UTF8CHAR (&serial)[kSerialSize]) {
    std::string text(reinterpret_cast<const char*>(serial), kSerialSize);
    text.resize(std::min(text.find('\0'), text.size()));
    const size_t end = text.find_last_not_of(' ');
    text.resize(end == std::string::npos ? 0 : end + 1);
    return text.size() > kSerialPrefixSize ? text.substr(kSerialPrefixSize) : std::string();
}

// E_SetTokenParam after the token rule; the key's refusal (CKR_ARGUMENTS_BAD)
// becomes rejectedCode.
long SetTokenParam(ModuleConnection& module, CK_ULONG type, const char* text, int length, long rejectedCode) {
    if (!ValidText(text, length)) return rc::kBadParameter;
    SelectedToken token;
    if (long rule = module.CheckToken(token)) return rule;
    auto setParam = AuxEntryAt<E_SetTokenParam_t>(token.aux, AUX_SET_TOKEN_PARAM);
    if (!setParam) return rc::kCannotConnect;
    const auto* value = reinterpret_cast<const unsigned char*>(text ? text : "");
    const CK_RV rv = token.Record("E_SetTokenParam", setParam(token.slot, type, value, static_cast<CK_ULONG>(length)));
    if (rv == kValueRejected) return rejectedCode;
    return rv == CKR_OK ? 0 : rc::kCannotConnect;
}

// E_GetLanguageList / E_GetCharsetList (same shape) into the caller's buffer.
long ReadListText(ModuleConnection& module, AuxEntry position, const char* entryName, char* out, int size) {
    if (out == nullptr) return rc::kBadParameter;
    SelectedToken token;
    if (long rule = module.CheckToken(token)) return rule;
    auto getList = AuxEntryAt<E_GetLanguageList_t>(token.aux, position);
    if (!getList) return rc::kCannotConnect;
    std::vector<char> text(kListTextSize + 1, 0);
    CK_ULONG reported = kListTextSize;
    if (token.Record(entryName, getList(token.slot, text.data(), &reported)) != CKR_OK) return rc::kCannotConnect;
    const size_t textLength = strnlen(text.data(), kListTextSize);
    if (size <= 0 || static_cast<size_t>(size) <= textLength) return rc::kBufferTooSmall;
    // The reported length is only a claim: never copy past our buffer or the caller's.
    const size_t copied =
        std::min({static_cast<size_t>(reported), static_cast<size_t>(kListTextSize), static_cast<size_t>(size)});
    std::memcpy(out, text.data(), copied);
    return 0;
}

}  // namespace

long DeviceP11Operation::ChangePin() {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    auto changePin = AuxEntryAt<E_ChangePin_t>(token.aux, AUX_CHANGE_PIN);
    if (!changePin) return rc::kGeneralFailure;
    P11Session session;
    if (!token.OpenSession(session)) return rc::kCannotConnect;
    const CK_RV rv = session.Record("E_ChangePin", changePin(session.handle()));
    session.Close();
    switch (rv) {
    case CKR_OK:
        return 0;
    case CKR_CANCEL:
        return rc::kCancelled;
    case CKR_PIN_EXPIRED:
    case CKR_VENDOR_USER_TIMEOUT:
        return rc::kTimedOut;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LOCKED:
        return token.WrongPinCode();
    case CKR_DEVICE_ERROR:
        return rc::kCannotConnect;
    default:
        return rc::kGeneralFailure;
    }
}

long DeviceP11Operation::SetWarningMsg(const char* text, int length) {
    return SetTokenParam(*m_module, TOKEN_PARAM_WARNING, text, length, rc::kBadParameter);
}

long DeviceP11Operation::SetLanguage(const char* text, int length) {
    return SetTokenParam(*m_module, TOKEN_PARAM_LANGUAGE, text, length, rc::kBadValue);
}

long DeviceP11Operation::SetCharset(const char* text, int length) {
    if (long rv = SetTokenParam(*m_module, TOKEN_PARAM_CHARSET, text, length, rc::kBadValue)) return rv;
    // Case matters here: the key accepts "utf-8", but only the exact names switch the encoding.
    const int flag = CharsetFlagFor(std::string(text ? text : "", static_cast<size_t>(length)));
    if (flag >= 0) m_module->SetCharsetFlag(flag);
    return 0;
}

long DeviceP11Operation::GetLanguageList(char* out, int size) {
    return ReadListText(*m_module, AUX_GET_LANGUAGE_LIST, "E_GetLanguageList", out, size);
}

long DeviceP11Operation::GetCharsetList(char* out, int size) {
    return ReadListText(*m_module, AUX_GET_CHARSET_LIST, "E_GetCharsetList", out, size);
}

long DeviceP11Operation::CustInitCard() {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    auto initCard = AuxEntryAt<E_InitCard_t>(token.aux, AUX_INIT_CARD);
    if (!initCard) return rc::kNotInitialised;
    switch (token.Record("E_InitCard", initCard(token.slot, 0))) {
    case CKR_OK:
        return 0;
    case CKR_CANCEL:
        return rc::kCancelled;
    case CKR_PIN_EXPIRED:  // the key's time-out answer to this prompt
        return rc::kTimedOut;
    default:
        return rc::kNotInitialised;
    }
}

long DeviceP11Operation::GetPublicKeyNum(int* count) {
    if (count == nullptr) return rc::kBadParameter;
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    P11Session session;
    if (!token.OpenSession(session)) return rc::kCannotConnect;
    std::vector<CK_OBJECT_HANDLE> found;
    const bool searched = FindObjects(session, {UlongItem(CKA_CLASS, CKO_PUBLIC_KEY), BoolItem(CKA_TOKEN, true)},
                                      kMaxPublicKeysCounted, found);
    session.Close();
    if (!searched) return rc::kCannotConnect;
    *count = static_cast<int>(found.size());
    return 0;
}

long DeviceP11Operation::GetTokenSN(char* out, int size) {
    if (out == nullptr) return rc::kBadParameter;
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    CK_TOKEN_INFO info{};
    if (!token.functions->C_GetTokenInfo ||
        token.Record("C_GetTokenInfo", token.functions->C_GetTokenInfo(token.slot, &info)) != CKR_OK) {
        return rc::kReadFailed;
    }
    const std::string mediaId = MediaIdFromSerial(info.serialNumber);
    const std::string text = InvertDN(mediaId.c_str(), static_cast<int>(mediaId.size()));
    if (size < 0 || text.size() > static_cast<size_t>(size)) return rc::kBufferTooSmall;
    std::memcpy(out, text.data(), text.size());
    return 0;
}

long DeviceP11Operation::GetCSPVersion(char* out, int size) {
    if (out == nullptr) return rc::kBadParameter;
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    auto getVersion = AuxEntryAt<E_GetModuleVersion_t>(token.aux, AUX_GET_MODULE_VERSION);
    if (!getVersion) return rc::kReadFailed;
    std::vector<char> version(kModuleVersionSize + 1, 0);
    if (token.Record("E_GetModuleVersion", getVersion(version.data())) != CKR_OK) return rc::kReadFailed;
    const size_t length = strnlen(version.data(), kModuleVersionSize);
    if (size < 0 || length > static_cast<size_t>(size)) return rc::kBufferTooSmall;
    std::memcpy(out, version.data(), length);
    return 0;
}

long DeviceP11Operation::getClientInfo(char* out, int* length) {
    if (out == nullptr || length == nullptr || *length < 0) return rc::kBadParameter;
    if (long rv = m_module->GetFuncList()) return rv;
    auto getClientInfo = AuxEntryAt<E_GetClientInfo_t>(m_module->AuxFunctions(), AUX_GET_CLIENT_INFO);
    if (!getClientInfo) return rc::kGeneralFailure;
    const int capacity = *length;
    const CK_RV rv = m_module->Calls().Record("E_GetClientInfo", getClientInfo(out, length));
    if (*length < 0 || *length > capacity) *length = capacity;
    return static_cast<long>(rv);
}

long DeviceP11Operation::setIPType(int value) {
    if (long rv = m_module->GetFuncList()) return rv;
    auto setIpType = AuxEntryAt<E_SetIPType_t>(m_module->AuxFunctions(), AUX_SET_IP_TYPE);
    if (!setIpType) return rc::kGeneralFailure;
    return static_cast<long>(m_module->Calls().Record("E_SetIPType", setIpType(value)));
}
