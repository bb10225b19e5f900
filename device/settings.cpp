#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

#include <cstring>

long DeviceP11Operation::ChangePin() { return SetLastError(-300); }
long DeviceP11Operation::SetWarningMsg(const char*, int) { return SetLastError(-300); }
long DeviceP11Operation::SetLanguage(const char*, int) { return SetLastError(-300); }
long DeviceP11Operation::SetCharset(const char*, int) { return SetLastError(-300); }
long DeviceP11Operation::GetLanguageList(char*, int) { return SetLastError(-300); }
long DeviceP11Operation::GetCharsetList(char*, int) { return SetLastError(-300); }
long DeviceP11Operation::CustInitCard() { return SetLastError(-300); }
long DeviceP11Operation::GetPublicKeyNum(int*) { return SetLastError(-300); }
long DeviceP11Operation::GetTokenSN(char*, int) { return SetLastError(-300); }
long DeviceP11Operation::GetCSPVersion(char*, int) { return SetLastError(-300); }
long DeviceP11Operation::getClientInfo(char*, int*) { return SetLastError(-300); }
long DeviceP11Operation::setIPType(int) { return SetLastError(-300); }

namespace {
const char kHostVersion[] = "1.0.21.1015";
}

long DeviceP11Operation::GetUserOCXVersion(char* out, int size) {
    // The caller's buffer is zeroed, which terminates the copied text.
    const int length = static_cast<int>(sizeof kHostVersion - 1);
    if (out == nullptr || size < length) return SetLastError(-353);
    std::memcpy(out, kHostVersion, length);
    return SetLastError(0);
}
