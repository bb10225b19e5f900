// The device layer: one object that loads the token module, finds the single
// USB key and carries out every token operation. Each operation returns an
// integer code (0 success, a negative program code otherwise) and keeps it as
// the layer's last error. Operations are grouped by the source file that
// implements them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "token_module/token_module.h"

class P11Session;

// Where the key's module is installed.
extern const char* const kDefaultModulePath;

// One certificate (or undecoded blob) to be written to the token.
struct DERCERT {
    unsigned long length = 0;
    std::vector<unsigned char> data;
};

// The parsed parameters of one certificate request.
struct pkcs10info {
    std::string dn;
    std::string hashAlg;
    std::string keyAlg;
    std::string certType;
};

// What signer selection found for message and file signing.
struct SignerSelection {
    bool found = false;
    bool sm2 = false;
    bool binaryText = false;
    std::vector<unsigned char> certificate;  // DER
    std::vector<unsigned char> pairId;       // CKA_VENDOR_PAIR_ID of the certificate
    unsigned char z[32] = {};                // SM2 only
    // The signing text from textStart on. For file signing it is the prefix
    // and starts at 0; for message signing it is laid out by
    // MakeSigningBuffer, so that it is signed and packed where it lies.
    std::string text;
    size_t textStart = 0;
};

class DeviceP11Operation {
public:
    explicit DeviceP11Operation(std::string path);
    ~DeviceP11Operation();
    DeviceP11Operation(const DeviceP11Operation&) = delete;
    DeviceP11Operation& operator=(const DeviceP11Operation&) = delete;

    // ---- module loading, discovery and session (module_discovery.cpp) ----
    long Clear();
    long GetFuncList();
    long Init();
    long GetTokenCount(unsigned int* count);
    bool CheckToken();
    // The inline token rule of the settings operations: discovery, then
    // kNoKey / kSeveralKeys / kCannotConnect. Returns 0 when exactly one
    // token is selected.
    long RunTokenRule();
    // Opens a session on the selected slot (serial, read-write).
    bool OpenSession(P11Session& session);
    // Maps a C_Login (or module prompt) result for the PIN-protected paths:
    // kCancelled, kTimedOut, kPinLocked, WrongPin(N), or otherRv for anything
    // unlisted. 0 for success.
    long MapLoginResult(CK_RV rv, long otherRv);
    // A wrong PIN as a code: kPinLocked when E_GetPinInfo shows no tries
    // left, else WrongPin(N).
    long WrongPinCode();
    // Waits between discovery attempts; tests replace it to avoid sleeping.
    void SetSleeper(std::function<void(unsigned int seconds)> sleeper);

    long GetLastError() const { return m_lastError; }
    long SetLastError(long code) { m_lastError = code; return code; }
    CK_SLOT_ID GetSlot() const { return m_slot; }
    int GetCharsetFlag() const { return m_charsetUtf8; }
    // 1 when texts go to the key as UTF-8, 0 when they go as GB18030.
    void SetCharsetFlag(int utf8) { m_charsetUtf8 = utf8; }
    bool GetExtInfoFlag() const { return m_extInfo != 0; }
    CK_FUNCTION_LIST_PTR Functions() const { return m_functionList; }
    AUX_FUNCTION_LIST* AuxFunctions() const { return m_auxList; }

    // ---- message signing (message_signing.cpp) ----
    long GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                      std::string filePath, std::string& out);
    // Signer selection shared with file signing: finds the certificate that
    // matches dn among the first 10, its public key, text format and Z value,
    // and builds the signing text (prefixOnly: the file-signing prefix).
    long SelectSigner(P11Session& session, const char* dn, const char* xmlMsg, const char* keyMsg,
                      const std::string& filePath, bool prefixOnly, SignerSelection& signer);
    // Chooses the mechanism for the key kind and upper-cased hash name;
    // kBadValue when refused.
    long ChooseMechanism(bool sm2, const std::string& upperHashName, CK_MECHANISM_TYPE& mechanism);
    // Logs in with the PIN prompt block; 0 or the mapped failure code.
    long LoginWithPrompt(P11Session& session);
    // Finds the private key of a pair (value up to its first zero, then one zero byte).
    long FindPrivateKey(P11Session& session, const std::vector<unsigned char>& pairId, CK_OBJECT_HANDLE& key);
    // A signing prompt's result: 0, kCancelled, kTimedOut, else kCannotConnect.
    static long MapSignResult(CK_RV rv);
    // The data the key signs: the Z value in front of the text for SM2.
    static std::string DataForToken(const SignerSelection& signer, const std::string& signingText);
    static std::string UpperCaseHashName(std::string name);
    // The complete signing text laid out for signing and packing in place:
    // kSignedDataHeadroom bytes of room, the Z value when z is given, the
    // text from textStart on, and capacity reserved for the SignedData's
    // certificate and signer after it (and, with base64InPlace, for the
    // DER's Base64 text: see PackCert2P7InPlace). The signing text's codes.
    long MakeSigningBuffer(const char* xmlMsg, const char* keyMsg, const std::string& filePath, bool binary,
                           const unsigned char* z, const std::vector<unsigned char>& certificate,
                           bool base64InPlace, std::string& buffer, size_t& textStart);

    // ---- SM2 Z value and hashes by name (hashing.cpp) ----
    bool ComputeZ(const unsigned char* x, unsigned long xLen, const unsigned char* y, unsigned long yLen,
                  unsigned char* z, unsigned long* zLen);
    bool GetHashValue(std::string name, const unsigned char* data, uint32_t length, unsigned char* hashType,
                      unsigned char* out, unsigned long* outLen);

    // ---- signing-text formats (signing_text.cpp) ----
    long MakeTLVSignFile(const char* xmlMsg, const char* keyMsg, std::string filePath, std::string& out,
                         bool binary);
    long MakePaddingTLVSignFile(const char* xmlMsg, const char* keyMsg, const char* filePath, std::string& out,
                                bool binary);
    // MakeTLVSignFile reserving the capacity capacityFor asks for, given the
    // position in out where the text will end, so that a caller growing out
    // afterwards never moves the text.
    using CapacityFor = std::function<size_t(size_t textEnd)>;
    long MakeTLVSignFileWithRoom(const char* xmlMsg, const char* keyMsg, const std::string& filePath,
                                 std::string& out, bool binary, const CapacityFor& capacityFor);

    // ---- file signing (file_signing.cpp) ----
    long GMUSBKeySignFile(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                          const char* filePath, const char* p7Path, std::string& out);

    // ---- PKCS#7 packing (pkcs7_packing.cpp) ----
    long PackCert2P7(const std::string& content, const std::vector<unsigned char>& cert,
                     const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2,
                     std::string& out);
    long PackCert2P7SignFile(const std::string& content, const std::vector<unsigned char>& cert,
                             std::vector<unsigned char> signature, unsigned long mechanism, bool sm2,
                             std::string& out, const std::string& path);
    // The same two built in place: buffer holds the content from
    // contentStart to its end (SM2 content without its Z value) and at least
    // kSignedDataHeadroom bytes before it. The DER headers are written into
    // those bytes and the certificate and signer appended, so a content that
    // was built there (spare capacity reserved) is never copied or moved.
    // PackCert2P7InPlace then turns the DER into its Base64 text where it
    // lies and hands the buffer over as out; buffer is left holding out's
    // former value.
    static constexpr size_t kSignedDataHeadroom = 128;
    long PackCert2P7InPlace(std::string& buffer, size_t contentStart, const std::vector<unsigned char>& cert,
                            const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2,
                            std::string& out);
    long PackCert2P7SignFileInPlace(std::string& buffer, size_t contentStart, const std::vector<unsigned char>& cert,
                                    std::vector<unsigned char> signature, unsigned long mechanism, bool sm2,
                                    std::string& out, const std::string& path);
    // Room after a content for the certificate and the signer of one
    // SignedData, however long the signature (up to the 1,024-byte buffer).
    static size_t SignedDataTailRoom(const std::vector<unsigned char>& cert);
    // Capacity for the Base64 text of a DER of at most derEnd bytes (counted
    // from the start of its buffer), encoded where the DER lies.
    static size_t Base64InPlaceCapacity(size_t derEnd);

    // ---- PKCS#10 parameters and subject DN (pkcs10_params.cpp) ----
    bool ParsePKCS10Param(std::string certInfo, pkcs10info* infos, unsigned int* count);
    bool IsRightDN(std::string dn);
    long GetSubjectDN(std::string dn, unsigned char* out, unsigned long* length);
    // Appends one RDN, SET { SEQUENCE { attribute OID, value } }, to body.
    void SetSubjectDNItem(const unsigned char* oid, unsigned long oidLength, const unsigned char* value,
                          unsigned long valueLength, std::vector<unsigned char>& body, bool email);

    // ---- PKCS#10 generation and signing (pkcs10_generation.cpp, pkcs10_signing.cpp) ----
    // Size of one key record written by E_GenerateRequestKeys; the record
    // starts with the pair ID text and its zero byte.
    static constexpr unsigned long kKeyRecordSize = 261;
    // CKA_VENDOR_PAIR_ID of a key record: its text and one zero byte.
    static std::vector<unsigned char> PairIdOfRecord(const unsigned char* record);
    long GMCreatePKCS10(const char* certInfo, std::string& text);
    long GetPKCS10Result(unsigned int count, const unsigned int* keyAlgs, const pkcs10info* infos,
                         const unsigned char* records, std::string& text);
    // Reads CKA_MODULUS of the public key of a key record into out (256 bytes).
    long GetP10PublicKeyInfo(const unsigned char* record, unsigned char* out, unsigned long* length);
    // To-be-signed data: the CertificationRequestInfo (SM2: Z value in front).
    long GetRSAP10SignMsg(pkcs10info info, const unsigned char* record, unsigned char* out, unsigned long* length);
    long GetSM2P10SignMsg(pkcs10info info, const unsigned char* record, unsigned char* out, unsigned long* length);
    // Encoders: a null out stores the needed length and succeeds; a buffer
    // smaller than *length fails.
    bool GetPublicKeyDer(const unsigned char* modulus, unsigned long modulusLength, unsigned char* out,
                         unsigned long* length);
    bool GetRSAPKCS10Code(const unsigned char* modulus, unsigned long modulusLength, const unsigned char* name,
                          unsigned long nameLength, unsigned char* out, unsigned long* length);
    bool GetSM2PublicKeyDer(const unsigned char* x, const unsigned char* y, unsigned char* out,
                            unsigned long* length);
    bool GetSM2PKCS10Code2(const unsigned char* x, const unsigned char* y, const unsigned char* name,
                           unsigned long nameLength, unsigned char* out, unsigned long* length);
    bool GetSignedCode(const unsigned char* info, unsigned long infoLength, const unsigned char* algorithm,
                       unsigned long algorithmLength, const unsigned char* signature, unsigned long signatureLength,
                       unsigned char* out, unsigned long* length);
    // The final CertificationRequest; 0 or kBufferTooSmall.
    long GenerateRSAP10Request(std::string hash, const unsigned char* signature, unsigned long signatureLength,
                               const unsigned char* tbs, unsigned long tbsLength, unsigned char* out,
                               unsigned long* length);
    long GenerateSM2P10Request(std::string hash, const unsigned char* signature, unsigned long signatureLength,
                               const unsigned char* tbs, unsigned long tbsLength, unsigned char* out,
                               unsigned long* length);
    // Builds the sign-info record (2,048-byte area) for one or two requests.
    long GetPKCS10SignInfo(unsigned int count, const unsigned char* records, std::string hash1,
                           const unsigned char* data1, unsigned long length1, std::string hash2,
                           const unsigned char* data2, unsigned long length2, unsigned char* info,
                           unsigned int* infoLength);
    // Signs one request's hash over PKCS#11 with the pair's private key.
    long FGMSignPKCS10Info(std::string hash, const unsigned char* record, const unsigned char* hashBytes,
                           long hashLength, unsigned char* signature, long* signatureLength);
    // One signature per request, by the token (ext-info) or over PKCS#11.
    long SignPKCS10Requests(unsigned int count, const pkcs10info* infos, const unsigned char* records,
                            const unsigned char* signInfo, unsigned int signInfoLength,
                            std::vector<std::vector<unsigned char>>& signatures);
    // Splits an E_SignRequestInfo response (area of `capacity` bytes); 0 or
    // kRequestSigningFailed.
    static long ParseSignRequestResponse(const unsigned char* response, unsigned long capacity, unsigned int count,
                                         std::vector<std::vector<unsigned char>>& signatures);
    // The hash bytes of each entry of a sign-info record; false when malformed.
    static bool SignInfoHashes(const unsigned char* info, unsigned long infoLength, unsigned int count,
                               std::vector<std::vector<unsigned char>>& hashes);

    // ---- certificate installation and temporary keys (cert_install.cpp) ----
    long GMWritePKCS07(const char* p7);
    long WriteCert(std::string text, bool remember);
    bool ParseP7(std::string text, std::vector<DERCERT>& certs);
    unsigned int PemToDer(const char* text, long length, unsigned char* out, unsigned int* capacity);
    // The DER of a PEM or Base64 text (PemToDer with room for all of it).
    bool PemBody(const std::string& text, std::vector<unsigned char>& der);
    int GetBase64Value(char c);
    int CheckCertType(const unsigned char* der, unsigned long length);
    int ParseP7B(const unsigned char* der, unsigned long length, std::vector<DERCERT>& certs);
    bool FindMatchPublicKey(const unsigned char* der, unsigned long length);
    unsigned long GetCertModulus(const unsigned char* der, unsigned long length, unsigned char* out,
                                 unsigned long* outLength);
    void FlipBuffer(unsigned char* bytes, unsigned long count);
    bool DeleteTempCert();
    // Removes the newest certificate object whose value is exactly der.
    bool DeleteWrittenCert(const std::vector<unsigned char>& der);
    long GMDelTempKey(const char* dn, const char* keyIds);
    long GMGetTemKey(char* out, unsigned long capacity);

    // ---- key and certificate queries (queries.cpp) ----
    long GMGetPublicKey(const char* keyType, std::string& text);
    long GetPublicKeyC(std::string& text);
    long GMGetPublicKeyC(const char* keyType, const char* dnOrId, const char* base64SerRand, std::string& text);
    long GMGetCertDN(std::string& text);
    long GetAdminKeyInfo(unsigned long unused, std::string& text);
    long BankEncGetRand(char* out, unsigned long outSize);

    // ---- settings and information (settings.cpp; UTF8ToGBK in text_conversion.cpp) ----
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
    // UTF-8 to GB18030; what was converted before the first problem.
    static std::string UTF8ToGBK(const char* text, unsigned long length);
    // E_SetTokenParam after the token rule; the key's refusal (CKR_ARGUMENTS_BAD) becomes
    // rejectedCode.
    long SetTokenParam(CK_ULONG type, const char* text, int length, long rejectedCode);
    // E_GetLanguageList / E_GetCharsetList (same shape) into the caller's buffer.
    long ReadListText(int position, char* out, int size);

    // ---- key-ID lookup (keyid_lookup.cpp) ----
    bool GetPubKidByDN(std::string dn, std::vector<unsigned char>& list, bool signMode);
    bool GetPubKidByKid(std::string kid, std::vector<unsigned char>& list);
    long TransPubKid(std::vector<unsigned char>& list, const char* keyIds);
    bool CheckPubKeyIsValid(int keyNumber);
    // The two-digit number the browser names a key by (RSA index 0-7 is 2-9,
    // SM2 index 0-5 is 11-16) from its key type and CKA_VENDOR_KEY_INDEX
    // value; -1 when the key has none (other type, empty or out-of-range index).
    static int KeyNumberOf(const std::vector<unsigned char>& keyType, const std::vector<unsigned char>& index);
    // The inverted subject DN of a DER certificate; false when it does not decode.
    static bool InvertedSubjectOf(const std::vector<unsigned char>& der, std::string& dn);

private:
    std::string m_path;
    void* m_module = nullptr;
    AUX_FUNCTION_LIST* m_auxList = nullptr;
    CK_FUNCTION_LIST_PTR m_functionList = nullptr;
    long m_lastError = 0;
    CK_SLOT_ID m_slot = 0;
    int m_charsetUtf8 = 1;
    std::vector<DERCERT> m_certList;
    unsigned char m_extInfo = 1;
    std::function<void(unsigned int)> m_sleeper;
};

// The PIN prompt block given to C_Login: the module asks the holder itself.
extern const unsigned char kPinPromptBlock[11];
