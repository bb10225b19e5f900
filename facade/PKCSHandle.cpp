#include "facade/PKCSHandle.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "device/token_device.h"
#include "facade/deferred_device.h"
#include "facade/file_chooser.h"
#include "support/result_codes.h"

void setVec(ResultVector& v, const void* data, size_t n) {
    v.assign(n + 1, 0);
    if (n > 0) std::memcpy(v.data(), data, n);
}

namespace {

// Text buffers handed to the device layer: zeroed, one byte longer than the
// size the device may fill, so the text is always terminated.
constexpr size_t kShortTextSize = 260;
constexpr size_t kClientInfoSize = 1024;
constexpr size_t kMediaIdBufferSize = 40;
constexpr int kMediaIdSize = 32;
constexpr size_t kMaxSettingLength = 260;

bool IsEmpty(const char* text) { return text == nullptr || *text == '\0'; }

// Upper-cases ASCII letters only, so the DN check is blind to case but
// leaves every other byte alone.
std::string AsciiUpper(const char* text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

// A DN naming a common name is accepted; anything else that looks like a DN
// is refused, while a bare key identifier (no ',' or '=') is accepted.
bool IsAcceptableSignerDn(const char* dn) {
    const std::string upper = AsciiUpper(dn);
    if (upper.find("CN=") != std::string::npos) return true;
    return upper.find_first_of(",=") == std::string::npos;
}

void StoreText(ResultVector& result, const std::string& text) {
    setVec(result, text.data(), std::strlen(text.c_str()));
}

void StoreText(ResultVector& result, const char* buffer, size_t capacity) {
    setVec(result, buffer, strnlen(buffer, capacity));
}

bool MessageSigningAcceptable(const char* dn, const char* xmlMsg, const char* keyMsg) {
    return !IsEmpty(dn) && !IsEmpty(xmlMsg) && !IsEmpty(keyMsg) && IsAcceptableSignerDn(dn);
}

// Reports success through the status out-parameter as well.
long WithStatus(long code, int* status) {
    if (code == 0 && status != nullptr) *status = 0;
    return code;
}

}  // namespace

// Compiled in from the build's cache variables (see CMakeLists.txt).
const char* const kInstalledModulePath = TH_MODULE_PATH;
const char* const kInstalledChooserPath = TH_CHOOSER_PATH;
const char* const kBuiltInModulePath = TH_BUILTIN_MODULE_PATH;
const char* const kBuiltInChooserPath = TH_BUILTIN_CHOOSER_PATH;

ChosenPath ChoosePath(const char* fromEnvironment, const char* fromBuild, const char* builtIn) {
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return {fromEnvironment, PathOrigin::Environment};
    const bool chosenAtBuild = std::strcmp(fromBuild, builtIn) != 0;
    return {fromBuild, chosenAtBuild ? PathOrigin::BuildOption : PathOrigin::BuiltIn};
}

TokenSettings TokenSettingsFromEnvironment() {
    ChosenPath module = ChoosePath(std::getenv("TOKEN_HOST_MODULE"), kInstalledModulePath, kBuiltInModulePath);
    ChosenPath chooser = ChoosePath(std::getenv("TOKEN_HOST_CHOOSER"), kInstalledChooserPath, kBuiltInChooserPath);
    return {std::move(module.path), std::move(chooser.path), module.origin, chooser.origin};
}

TokenService::TokenService(const TokenSettings& settings)
    : m_device(std::make_unique<DeferredDevice>(DeviceLibraryBesideProgram(), settings.modulePath)),
      m_facade(*m_device, settings.chooserProgram) {}

TokenService::~TokenService() = default;

PKCS_Handle::PKCS_Handle(TokenDevice& device, std::string chooserProgram)
    : m_device(device), m_chooserProgram(std::move(chooserProgram)) {}

long PKCS_Handle::GMUsbKeySign(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                               const char* filePath, ResultVector& result) {
    std::string text;
    const long code = GMUsbKeySign(dn, hashName, xmlMsg, keyMsg, filePath, text);
    if (code == 0) StoreText(result, text);
    return code;
}

long PKCS_Handle::GMUsbKeySign(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                               const char* filePath, std::string& text) {
    if (!MessageSigningAcceptable(dn, xmlMsg, keyMsg)) return rc::kBadParameter;
    std::string made;
    const long code = m_device.GMUSBKeySign(dn, xmlMsg, keyMsg, hashName ? hashName : "",
                                            filePath ? filePath : "", made);
    if (code == 0) {
        // The text ends where a result vector's would: at the first zero.
        made.resize(std::strlen(made.c_str()));
        text.swap(made);
    }
    return code;
}

long PKCS_Handle::GMUsbKeySign(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                               const char* filePath, Base64Text& text) {
    if (!MessageSigningAcceptable(dn, xmlMsg, keyMsg)) return rc::kBadParameter;
    // Base64 holds no zero byte: the text needs no cut.
    return m_device.GMUSBKeySign(dn, xmlMsg, keyMsg, hashName ? hashName : "", filePath ? filePath : "", text);
}

long PKCS_Handle::GMUsbKeySignFile(const char* signerDn, const char* hashName, const char* xmlMsg,
                                   const char* keyMsg, const char* filePath, const char* fileP7Path,
                                   ResultVector& result) {
    if (IsEmpty(signerDn) || IsEmpty(xmlMsg) || IsEmpty(keyMsg) || !IsAcceptableSignerDn(signerDn)) {
        return rc::kBadParameter;
    }
    std::string text;
    const long code = m_device.GMUSBKeySignFile(signerDn, hashName ? hashName : "", xmlMsg, keyMsg,
                                                filePath ? filePath : "", fileP7Path ? fileP7Path : "", text);
    if (code == 0) StoreText(result, text);
    return code;
}

long PKCS_Handle::GMCreatePKCS10(const char* certInfo, ResultVector& result) {
    if (certInfo == nullptr) return rc::kBadParameter;
    if (*certInfo == '\0') return rc::kBadValue;
    std::string text;
    const long code = m_device.GMCreatePKCS10(certInfo, text);
    if (code == 0) StoreText(result, text);
    return code;
}

long PKCS_Handle::GMGetPublicKeyC(const char* keyType, const char* dnOrId, const char* base64SerRand,
                                  ResultVector& result) {
    if (IsEmpty(keyType) || IsEmpty(dnOrId) || IsEmpty(base64SerRand)) return rc::kBadParameter;
    std::string text;
    const long code = m_device.GMGetPublicKeyC(keyType, dnOrId, base64SerRand, text);
    if (code == 0) StoreText(result, text);
    return code;
}

long PKCS_Handle::GMGetPublicKey(const char* keyType, ResultVector& result) {
    if (IsEmpty(keyType)) return rc::kBadValue;
    std::string text;
    const long code = m_device.GMGetPublicKey(keyType, text);
    if (code == 0) StoreText(result, text);
    return code;
}

long PKCS_Handle::GMGetCertDN(ResultVector& result) {
    std::string text;
    const long code = m_device.GMGetCertDN(text);
    if (code == 0) StoreText(result, text);
    return code;
}

long PKCS_Handle::GMGetAdminKeyInfo(ResultVector& result) {
    std::string text;
    const long code = m_device.GetAdminKeyInfo(0, text);
    if (code == 0) StoreText(result, text);
    return code;
}

long PKCS_Handle::GetPublicKeyC(ResultVector& result) {
    std::string text;
    const long code = m_device.GetPublicKeyC(text);
    if (code == 0) StoreText(result, text);
    return code;
}

long PKCS_Handle::GMWritePKCS7(const char* p7, int* status) {
    if (IsEmpty(p7) || status == nullptr) return rc::kBadParameter;
    return WithStatus(m_device.GMWritePKCS07(p7), status);
}

long PKCS_Handle::GMDelTempKey(const char* certDn, const char* publicKeyId, int* status) {
    if ((certDn == nullptr && publicKeyId == nullptr) || status == nullptr) return rc::kBadParameter;
    if (IsEmpty(certDn) && IsEmpty(publicKeyId)) return rc::kBadValue;
    return WithStatus(m_device.GMDelTempKey(certDn ? certDn : "", publicKeyId ? publicKeyId : ""), status);
}

long PKCS_Handle::SetWarningMsg(const char* text, int* status) {
    if (text == nullptr || status == nullptr) return rc::kBadParameter;
    if (*text == '\0') return rc::kBadValue;
    const size_t length = std::strlen(text);
    if (length > static_cast<size_t>(INT_MAX)) return rc::kBadValue;
    return WithStatus(m_device.SetWarningMsg(text, static_cast<int>(length)), status);
}

long PKCS_Handle::SetLanguage(const char* text, int* status) {
    if (text == nullptr || status == nullptr) return rc::kBadParameter;
    const size_t length = std::strlen(text);
    if (length > kMaxSettingLength) return rc::kBadValue;
    return WithStatus(m_device.SetLanguage(text, static_cast<int>(length)), status);
}

long PKCS_Handle::SetCharset(const char* text, int* status) {
    if (text == nullptr || status == nullptr) return rc::kBadParameter;
    const size_t length = std::strlen(text);
    if (length > kMaxSettingLength) return rc::kBadValue;
    return WithStatus(m_device.SetCharset(text, static_cast<int>(length)), status);
}

long PKCS_Handle::ChangePin(int* status) {
    if (status == nullptr) return rc::kBadParameter;
    return WithStatus(m_device.ChangePin(), status);
}

long PKCS_Handle::CustInitCard(int* status) {
    if (status == nullptr) return rc::kBadParameter;
    return WithStatus(m_device.CustInitCard(), status);
}

long PKCS_Handle::GetPublicKeyNum(int* count) {
    if (count == nullptr) return rc::kBadParameter;
    return m_device.GetPublicKeyNum(count);
}

long PKCS_Handle::setIPType(int value) { return m_device.setIPType(value); }

long PKCS_Handle::getClientInfo(ResultVector& result) {
    char buffer[kClientInfoSize + 1] = {};
    int length = static_cast<int>(kClientInfoSize);
    const long code = m_device.getClientInfo(buffer, &length);
    if (code == 0) StoreText(result, buffer, kClientInfoSize);
    return code;
}

long PKCS_Handle::GetLanguageList(ResultVector& result) {
    char buffer[kShortTextSize + 1] = {};
    const long code = m_device.GetLanguageList(buffer, static_cast<int>(kShortTextSize));
    if (code == 0) StoreText(result, buffer, kShortTextSize);
    return code;
}

long PKCS_Handle::GetCharsetList(ResultVector& result) {
    char buffer[kShortTextSize + 1] = {};
    const long code = m_device.GetCharsetList(buffer, static_cast<int>(kShortTextSize));
    if (code == 0) StoreText(result, buffer, kShortTextSize);
    return code;
}

long PKCS_Handle::GetVersion(ResultVector& result) {
    char buffer[kShortTextSize + 1] = {};
    const long code = m_device.GetUserOCXVersion(buffer, static_cast<int>(kShortTextSize));
    if (code == 0) StoreText(result, buffer, kShortTextSize);
    return code;
}

long PKCS_Handle::GetDriverVersion(ResultVector& result) { return GetCSPVersion(result); }

long PKCS_Handle::GetCSPVersion(ResultVector& result) {
    char buffer[kShortTextSize + 1] = {};
    const long code = m_device.GetCSPVersion(buffer, static_cast<int>(kShortTextSize));
    if (code == 0) StoreText(result, buffer, kShortTextSize);
    return code;
}

long PKCS_Handle::GetMediaID(ResultVector& result) {
    char buffer[kMediaIdBufferSize] = {};
    const long code = m_device.GetTokenSN(buffer, kMediaIdSize);
    if (code == 0) StoreText(result, buffer, kMediaIdBufferSize - 1);
    return code;
}

long PKCS_Handle::GMGetTemKey(ResultVector& result) {
    char buffer[kShortTextSize + 1] = {};
    const long code = m_device.GMGetTemKey(buffer, kShortTextSize);
    if (code == 0) StoreText(result, buffer, kShortTextSize);
    return code;
}

long PKCS_Handle::GMBankEncGetRand(ResultVector& result) {
    char buffer[kShortTextSize + 1] = {};
    const long code = m_device.BankEncGetRand(buffer, kShortTextSize);
    if (code == 0) StoreText(result, buffer, kShortTextSize);
    return code;
}

long PKCS_Handle::ChooseFile(ResultVector& result, int watchedInput) {
    std::string chosen;
    const long code = RunChooserAndReadResult(m_chooserProgram, kChooserResultFile, watchedInput, chosen);
    if (code == 0) setVec(result, chosen.data(), chosen.size());
    return code;
}

ModuleCallFailure PKCS_Handle::TakeModuleCallFailure() { return m_device.TakeModuleCallFailure(); }

DeviceDiagnosis PKCS_Handle::DiagnoseDevice() { return m_device.Diagnose(); }
