// The token service facade: checks each command's inputs, calls one device
// operation, records the result code and hands results back as byte vectors
// that end with one zero byte.
#pragma once

#include <string>
#include <vector>

using ResultVector = std::vector<unsigned char>;

// Code of the most recent facade operation.
extern long g_lErrorCode;

// Resizes v to n + 1 zero bytes and copies the n result bytes in.
void setVec(ResultVector& v, const void* data, size_t n);

class PKCS_Handle {
public:
    static PKCS_Handle* getInstance();
    // Ends the process-wide instance (main calls this at exit).
    static void releaseInstance();

    long GetErrCode() const { return m_errCode; }
    void SetErrCode(long code) { m_errCode = code; }

    long GMUsbKeySign(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                      const char* filePath, ResultVector& result);
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
    long ChooseFile(ResultVector& result);
    long GetLastErrorDesc(long code, ResultVector& result);

private:
    PKCS_Handle() = default;
    // Records the code as the facade's last result (and the instance's on failure).
    long Finish(long code);
    // As above, and reports success through the status out-parameter.
    long Finish(long code, int* status);

    long m_errCode = 0;
};

// The chooser program; TOKEN_HOST_CHOOSER overrides the fixed path.
extern const char* const kDefaultChooserPath;
extern const char* const kChooserResultFile;
// The chooser program in force, read from the environment once.
const std::string& ChooserProgram();
