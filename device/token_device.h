// The device layer as the facade sees it. DeviceP11Operation implements it;
// the host reaches it through a shared object of its own that it loads when
// the first command needs the token (facade/deferred_device.h), so that
// starting the host and answering "GetVersion" load no crypto library.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "device/device_facts.h"
#include "support/result_codes.h"

class Base64Text;

// The host's own version, as GetUserOCXVersion reports it.
inline constexpr char kHostVersion[] = "1.0.21.1015";

class TokenDevice {
public:
    virtual ~TokenDevice() = default;

    // ---- signing ----
    virtual long GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                              std::string filePath, std::string& out) = 0;
    // The same with the text made only as it is read (see Base64Text).
    virtual long GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                              std::string filePath, Base64Text& out) = 0;
    virtual long GMUSBKeySignFile(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                                  const char* filePath, const char* p7Path, std::string& out) = 0;

    // ---- certificate requests and installation ----
    virtual long GMCreatePKCS10(const char* certInfo, std::string& text) = 0;
    virtual long GMWritePKCS07(const char* p7) = 0;
    virtual long GMDelTempKey(const char* dn, const char* keyIds) = 0;
    virtual long GMGetTemKey(char* out, unsigned long capacity) = 0;

    // ---- key and certificate queries ----
    virtual long GMGetPublicKey(const char* keyType, std::string& text) = 0;
    virtual long GetPublicKeyC(std::string& text) = 0;
    virtual long GMGetPublicKeyC(const char* keyType, const char* dnOrId, const char* base64SerRand,
                                 std::string& text) = 0;
    virtual long GMGetCertDN(std::string& text) = 0;
    virtual long GetAdminKeyInfo(unsigned long unused, std::string& text) = 0;
    virtual long BankEncGetRand(char* out, unsigned long outSize) = 0;

    // ---- settings and information ----
    virtual long ChangePin() = 0;
    virtual long SetWarningMsg(const char* text, int length) = 0;
    virtual long SetLanguage(const char* text, int length) = 0;
    virtual long SetCharset(const char* text, int length) = 0;
    virtual long GetLanguageList(char* out, int size) = 0;
    virtual long GetCharsetList(char* out, int size) = 0;
    virtual long CustInitCard() = 0;
    virtual long GetPublicKeyNum(int* count) = 0;
    virtual long GetTokenSN(char* out, int size) = 0;
    virtual long GetCSPVersion(char* out, int size) = 0;
    virtual long getClientInfo(char* out, int* length) = 0;
    virtual long setIPType(int value) = 0;

    // ---- for the people supporting the host ----
    // Loads the module, applies the one-key rule as every command does (its
    // waits included) and reads what the slots, the key and its certificates
    // show. Never logs in, signs or writes; its session is read-only.
    virtual DeviceDiagnosis Diagnose() = 0;
    // The first module call that failed since the previous call, which
    // forgets it.
    virtual ModuleCallFailure TakeModuleCallFailure() = 0;

    // Needs no token, so nothing is loaded for it. The caller's buffer is
    // zeroed, which terminates the copied text.
    long GetUserOCXVersion(char* out, int size) {
        const int length = static_cast<int>(sizeof kHostVersion - 1);
        if (out == nullptr || size < length) return rc::kBufferTooSmall;
        std::memcpy(out, kHostVersion, static_cast<size_t>(length));
        return 0;
    }
};

// What the device layer's shared object exports, under kOpenDeviceSymbol: a
// device over the module at modulePath, put into *device.
using OpenDeviceFunction = void (*)(const char* modulePath, std::unique_ptr<TokenDevice>* device);
inline constexpr char kOpenDeviceSymbol[] = "TokenHostOpenDevice";
