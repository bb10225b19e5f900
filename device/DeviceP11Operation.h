// The device layer: the token operations the facade calls, each against the
// single USB key through its module. Every operation returns an integer code
// (0 success, a negative program code otherwise). Between commands the layer
// keeps only its module connection (device/module_connection.h).
#pragma once

#include <memory>
#include <string>

class Base64Text;
class ModuleConnection;

// Where the key's module is installed.
extern const char* const kDefaultModulePath;

class DeviceP11Operation {
public:
    // Loads the module at path on first use and unloads it when destroyed.
    explicit DeviceP11Operation(std::string path);
    // Works through a connection made elsewhere (one that records its waits,
    // say); module must not be null.
    explicit DeviceP11Operation(std::unique_ptr<ModuleConnection> module);
    ~DeviceP11Operation();
    DeviceP11Operation(const DeviceP11Operation&) = delete;
    DeviceP11Operation& operator=(const DeviceP11Operation&) = delete;

    // ---- signing (message_signing.cpp, file_signing.cpp) ----
    long GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                      std::string filePath, std::string& out);
    // The same with the text made only as it is read (see Base64Text).
    long GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                      std::string filePath, Base64Text& out);
    long GMUSBKeySignFile(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                          const char* filePath, const char* p7Path, std::string& out);

    // ---- certificate requests and installation (pkcs10_generation.cpp, cert_install.cpp) ----
    long GMCreatePKCS10(const char* certInfo, std::string& text);
    long GMWritePKCS07(const char* p7);
    long GMDelTempKey(const char* dn, const char* keyIds);
    long GMGetTemKey(char* out, unsigned long capacity);

    // ---- key and certificate queries (queries.cpp) ----
    long GMGetPublicKey(const char* keyType, std::string& text);
    long GetPublicKeyC(std::string& text);
    long GMGetPublicKeyC(const char* keyType, const char* dnOrId, const char* base64SerRand, std::string& text);
    long GMGetCertDN(std::string& text);
    long GetAdminKeyInfo(unsigned long unused, std::string& text);
    long BankEncGetRand(char* out, unsigned long outSize);

    // ---- settings and information (settings.cpp) ----
    long ChangePin();
    long SetWarningMsg(const char* text, int length);
    long SetLanguage(const char* text, int length);
    long SetCharset(const char* text, int length);
    long GetLanguageList(char* out, int size);
    long GetCharsetList(char* out, int size);
    long CustInitCard();
    long GetPublicKeyNum(int* count);
    long GetTokenSN(char* out, int size);
    long GetCSPVersion(char* out, int size);
    long GetUserOCXVersion(char* out, int size);
    long getClientInfo(char* out, int* length);
    long setIPType(int value);

private:
    std::unique_ptr<ModuleConnection> m_module;
};
