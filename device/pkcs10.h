// Certificate requests: the "CertInfo" parameters and subject DN, the DER of
// the requests around the keys the token generates, and their signing by the
// new keys. The DER encoders store the needed length and succeed for a null
// out, and fail for a buffer smaller than *length.
#pragma once

#include <string>
#include <vector>

class ModuleConnection;
struct SelectedToken;

// ---- parameters and subject DN (pkcs10_params.cpp) ----

// The parsed parameters of one certificate request.
struct pkcs10info {
    std::string dn;
    std::string hashAlg;
    std::string keyAlg;
    std::string certType;
};

// One or two "||"-joined blocks "DN(...)HASH(...)KEYTYPE(...)CERTTYPE(...)"
// into infos (room for 2); false for any block that is malformed or names
// something not supported.
bool ParsePKCS10Param(const std::string& certInfo, pkcs10info* infos, unsigned int* count);
// Whether every comma-separated item of dn is KEY=value with a known key.
bool IsRightDN(const std::string& dn);
// The DER Name of dn; 0, kBadParameter (bad item) or kBufferTooSmall.
long GetSubjectDN(const std::string& dn, unsigned char* out, unsigned long* length);

// ---- request generation (pkcs10_generation.cpp) ----

// Size of one key record written by E_GenerateRequestKeys; the record starts
// with the pair ID text and its zero byte.
constexpr unsigned long kKeyRecordSize = 261;
// CKA_VENDOR_PAIR_ID of a key record: its text and one zero byte.
std::vector<unsigned char> PairIdOfRecord(const unsigned char* record);
// SubjectPublicKeyInfo of an RSA key (exponent 65537) or an SM2 point.
bool GetPublicKeyDer(const unsigned char* modulus, unsigned long modulusLength, unsigned char* out,
                     unsigned long* length);
bool GetSM2PublicKeyDer(const unsigned char* x, const unsigned char* y, unsigned char* out, unsigned long* length);
// The CertificationRequestInfo of an RSA key under a DER Name.
bool GetRSAPKCS10Code(const unsigned char* modulus, unsigned long modulusLength, const unsigned char* name,
                      unsigned long nameLength, unsigned char* out, unsigned long* length);
// The final CertificationRequest from the to-be-signed data (SM2: with the Z
// value in front, which the request leaves out); 0 or kBufferTooSmall.
long GenerateRSAP10Request(const std::string& hash, const unsigned char* signature, unsigned long signatureLength,
                           const unsigned char* tbs, unsigned long tbsLength, unsigned char* out,
                           unsigned long* length);
long GenerateSM2P10Request(const std::string& hash, const unsigned char* signature, unsigned long signatureLength,
                           const unsigned char* tbs, unsigned long tbsLength, unsigned char* out,
                           unsigned long* length);
// Reads CKA_MODULUS of the public key of a key record into out (*length bytes).
long GetP10PublicKeyInfo(const SelectedToken& token, const unsigned char* record, unsigned char* out,
                         unsigned long* length);

// ---- request signing (pkcs10_signing.cpp) ----

// Runs the token check again (token is then what it selected) and builds the
// sign-info record (2,048-byte area) for one or two requests.
long GetPKCS10SignInfo(ModuleConnection& module, SelectedToken& token, unsigned int count, const unsigned char* records,
                       const std::string& hash1, const unsigned char* data1, unsigned long length1,
                       const std::string& hash2, const unsigned char* data2, unsigned long length2, unsigned char* info,
                       unsigned int* infoLength);
// Signs one request's hash over PKCS#11 with the pair's private key.
long FGMSignPKCS10Info(const SelectedToken& token, const std::string& hash, const unsigned char* record,
                       const unsigned char* hashBytes, long hashLength, unsigned char* signature,
                       long* signatureLength);
// One signature per request, by the token in one call (extendedInfo) or
// over PKCS#11.
long SignPKCS10Requests(const SelectedToken& token, bool extendedInfo, unsigned int count, const pkcs10info* infos,
                        const unsigned char* records, const unsigned char* signInfo, unsigned int signInfoLength,
                        std::vector<std::vector<unsigned char>>& signatures);
// Splits an E_SignRequestInfo response (area of `capacity` bytes); 0 or
// kRequestSigningFailed.
long ParseSignRequestResponse(const unsigned char* response, unsigned long capacity, unsigned int count,
                              std::vector<std::vector<unsigned char>>& signatures);
// The hash bytes of each entry of a sign-info record; false when malformed.
bool SignInfoHashes(const unsigned char* info, unsigned long infoLength, unsigned int count,
                    std::vector<std::vector<unsigned char>>& hashes);
