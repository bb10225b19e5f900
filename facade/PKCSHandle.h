// The token service facade: checks each command's inputs, calls one device
// operation and hands its code back, with results as byte vectors that end
// with one zero byte.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/device_facts.h"

class Base64Text;
class TokenDevice;

using ResultVector = std::vector<unsigned char>;

// Resizes v to n + 1 zero bytes and copies the n result bytes in.
void setVec(ResultVector& v, const void* data, size_t n);

// Where a path in force came from, so that a person can tell why the host
// looks where it looks.
enum class PathOrigin {
    BuiltIn,      // the path the key's software installs to
    BuildOption,  // another path chosen when the host was built
    Environment,  // TOKEN_HOST_MODULE or TOKEN_HOST_CHOOSER
};

// The paths this build looks for (the build options, which default to the
// built-in paths) and the built-in paths themselves.
extern const char* const kInstalledModulePath;
extern const char* const kInstalledChooserPath;
extern const char* const kBuiltInModulePath;
extern const char* const kBuiltInChooserPath;

struct ChosenPath {
    std::string path;
    PathOrigin origin;
};

// The environment's value when set and not empty, else the build's path,
// which is a build option unless it equals the built-in one.
ChosenPath ChoosePath(const char* fromEnvironment, const char* fromBuild, const char* builtIn);

// Where the host finds the key's module and the file chooser, and why: the
// installed paths unless TOKEN_HOST_MODULE or TOKEN_HOST_CHOOSER (when not
// empty) name others. Read once, at start.
struct TokenSettings {
    std::string modulePath;
    std::string chooserProgram;
    PathOrigin moduleOrigin = PathOrigin::BuiltIn;
    PathOrigin chooserOrigin = PathOrigin::BuiltIn;
};
TokenSettings TokenSettingsFromEnvironment();

class PKCS_Handle {
public:
    // The device must outlive the facade.
    PKCS_Handle(TokenDevice& device, std::string chooserProgram);

    long GMUsbKeySign(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                      const char* filePath, ResultVector& result);
    // The same with the result as text (up to its first zero byte), handed
    // over as the device layer made it: signing results can be large.
    long GMUsbKeySign(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                      const char* filePath, std::string& text);
    // The same with the text made only as it is read: what the host sends.
    long GMUsbKeySign(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                      const char* filePath, Base64Text& text);
    long GMUsbKeySignFile(const char* signerDn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                          const char* filePath, const char* fileP7Path, ResultVector& result);
    long GMCreatePKCS10(const char* certInfo, ResultVector& result);
    long GMGetPublicKeyC(const char* keyType, const char* dnOrId, const char* base64SerRand, ResultVector& result);
    long GMGetPublicKey(const char* keyType, ResultVector& result);
    long GMGetCertDN(ResultVector& result);
    long GMGetAdminKeyInfo(ResultVector& result);
    long GetPublicKeyC(ResultVector& result);
    long GMWritePKCS7(const char* p7, int* status);
    long GMDelTempKey(const char* certDn, const char* publicKeyId, int* status);
    long SetWarningMsg(const char* text, int* status);
    long SetLanguage(const char* text, int* status);
    long SetCharset(const char* text, int* status);
    long ChangePin(int* status);
    long CustInitCard(int* status);
    long GetPublicKeyNum(int* count);
    long setIPType(int value);
    long getClientInfo(ResultVector& result);
    long GetLanguageList(ResultVector& result);
    long GetCharsetList(ResultVector& result);
    long GetVersion(ResultVector& result);
    long GetDriverVersion(ResultVector& result);
    long GetCSPVersion(ResultVector& result);
    long GetMediaID(ResultVector& result);
    long GMGetTemKey(ResultVector& result);
    long GMBankEncGetRand(ResultVector& result);
    // While the chooser runs, watchedInput (the browser's input; -1 for
    // none) is watched, and its end stops the chooser (see file_chooser.h).
    long ChooseFile(ResultVector& result, int watchedInput = -1);
    long GetLastErrorDesc(long code, ResultVector& result);
    // The first module call that failed since the previous call of this
    // function, which forgets it: the host takes it after each request, for
    // its log, so that no request is charged with another's failure.
    ModuleCallFailure TakeModuleCallFailure();
    // What --diagnose shows of the module and the key (read-only; see
    // DeviceP11Operation::Diagnose).
    DeviceDiagnosis DiagnoseDevice();

private:
    TokenDevice& m_device;
    std::string m_chooserProgram;
};

// The device layer and the facade over it, as one host process uses them. The
// device comes first and goes last: it loads the device layer's shared object
// and the key's module on first use and unloads them (without C_Finalize)
// when destroyed, after the facade.
class TokenService {
public:
    explicit TokenService(const TokenSettings& settings);
    ~TokenService();
    TokenService(const TokenService&) = delete;
    TokenService& operator=(const TokenService&) = delete;
    PKCS_Handle& Facade() { return m_facade; }

private:
    std::unique_ptr<TokenDevice> m_device;
    PKCS_Handle m_facade;
};

// The file the chooser program writes the choice to.
extern const char* const kChooserResultFile;
