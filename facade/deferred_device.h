// The device layer loaded when the first operation needs it. It lives in a
// shared object of its own beside the program, with the crypto library it
// links: loading that at start would cost the host a third of its start-up
// time, for commands like "GetVersion" that never touch the token.
#pragma once

#include <memory>
#include <string>

#include "device/token_device.h"
#include "support/file_descriptor.h"

class DeferredDevice final : public TokenDevice {
public:
    // Opens the shared object at library now, so that the one loaded later
    // is this one even if the file is replaced meanwhile (an upgrade); the
    // device it makes works with the key's module at modulePath.
    DeferredDevice(const std::string& library, std::string modulePath);
    ~DeferredDevice() override;
    DeferredDevice(const DeferredDevice&) = delete;
    DeferredDevice& operator=(const DeferredDevice&) = delete;

    long GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                      std::string filePath, std::string& out) override;
    long GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                      std::string filePath, Base64Text& out) override;
    long GMUSBKeySignFile(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                          const char* filePath, const char* p7Path, std::string& out) override;
    long GMCreatePKCS10(const char* certInfo, std::string& text) override;
    long GMWritePKCS07(const char* p7) override;
    long GMDelTempKey(const char* dn, const char* keyIds) override;
    long GMGetTemKey(char* out, unsigned long capacity) override;
    long GMGetPublicKey(const char* keyType, std::string& text) override;
    long GetPublicKeyC(std::string& text) override;
    long GMGetPublicKeyC(const char* keyType, const char* dnOrId, const char* base64SerRand,
                         std::string& text) override;
    long GMGetCertDN(std::string& text) override;
    long GetAdminKeyInfo(unsigned long unused, std::string& text) override;
    long BankEncGetRand(char* out, unsigned long outSize) override;
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
    // A device layer that cannot be loaded shows as a module that did not
    // load, with the reason, and the code every command answers.
    DeviceDiagnosis Diagnose() override;
    // Loads nothing: a device not loaded has made no calls.
    ModuleCallFailure TakeModuleCallFailure() override;

private:
    struct LibraryCloser {
        void operator()(void* handle) const;
    };

    // The device, loaded on first use; null while it cannot be, with the
    // reason in loadFailure_.
    TokenDevice* Device();
    // The operation's code, or kModuleNotInstalled without a device.
    template <typename Operation>
    long Forward(Operation operation);

    FileDescriptor libraryFile_;
    std::string libraryName_;  // for messages
    std::string modulePath_;
    std::string loadFailure_;
    std::unique_ptr<void, LibraryCloser> library_;
    std::unique_ptr<TokenDevice> device_;  // made by the library, so it goes first
};

// The device layer's shared object in the running program's folder, or an
// empty text when that folder cannot be told.
std::string DeviceLibraryBesideProgram();
