// The device layer: the token operations the facade calls (device/
// token_device.h), each against the single USB key through its module. Every
// operation returns an integer code (0 success, a negative program code
// otherwise). Between commands the layer keeps only its module connection
// (device/module_connection.h).
#pragma once

#include <memory>
#include <string>

#include "device/token_device.h"

class ModuleConnection;

class DeviceP11Operation final : public TokenDevice {
public:
    // Loads the module at path on first use and unloads it when destroyed.
    explicit DeviceP11Operation(std::string path);
    // Works through a connection made elsewhere (one that records its waits,
    // say); module must not be null.
    explicit DeviceP11Operation(std::unique_ptr<ModuleConnection> module);
    ~DeviceP11Operation() override;
    DeviceP11Operation(const DeviceP11Operation&) = delete;
    DeviceP11Operation& operator=(const DeviceP11Operation&) = delete;

    // ---- signing (message_signing.cpp, file_signing.cpp) ----
    long GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                      std::string filePath, std::string& out) override;
    long GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                      std::string filePath, Base64Text& out) override;
    long GMUSBKeySignFile(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                          const char* filePath, const char* p7Path, std::string& out) override;

    // ---- certificate requests and installation (pkcs10_generation.cpp, cert_install.cpp) ----
    long GMCreatePKCS10(const char* certInfo, std::string& text) override;
    long GMWritePKCS07(const char* p7) override;
    long GMDelTempKey(const char* dn, const char* keyIds) override;
    long GMGetTemKey(char* out, unsigned long capacity) override;

    // ---- key and certificate queries (queries.cpp) ----
    long GMGetPublicKey(const char* keyType, std::string& text) override;
    long GetPublicKeyC(std::string& text) override;
    long GMGetPublicKeyC(const char* keyType, const char* dnOrId, const char* base64SerRand,
                         std::string& text) override;
    long GMGetCertDN(std::string& text) override;
    long GetAdminKeyInfo(unsigned long unused, std::string& text) override;
    long BankEncGetRand(char* out, unsigned long outSize) override;

    // ---- settings and information (settings.cpp) ----
    long ChangePin() override;
    long SetWarningMsg(const char* text, int length) override;
    long SetLanguage(const char* text, int length) override;
    long SetCharset(const char* text, int length) override;
    long GetLanguageList(char* out, int size) override;
    long GetCharsetList(char* out, int size) override;
    long CustInitCard() override;
    long GetPublicKeyNum(int* count) override;
    long GetTokenSN(char* out, int size) override;
    long GetCSPVersion(char* out, int size) override;
    long getClientInfo(char* out, int* length) override;
    long setIPType(int value) override;

    // ---- for the people supporting the host (device_diagnosis.cpp) ----
    // Loads the module, applies the one-key rule as every command does (its
    // waits included) and reads what the slots, the key and its certificates
    // show. Never logs in, signs or writes; its session is read-only.
    DeviceDiagnosis Diagnose() override;
    // The first module call that failed since the previous call, which
    // forgets it (see ModuleCallRecorder).
    ModuleCallFailure TakeModuleCallFailure() override;

private:
    std::unique_ptr<ModuleConnection> m_module;
};
