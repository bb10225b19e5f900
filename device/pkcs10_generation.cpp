// "GMCreatePKCS10": the token generates the key pairs; the requests around
// their public keys are built here in DER and signed by the new keys.
#include "device/pkcs10.h"

#include <algorithm>
#include <cstring>

#include "device/DeviceP11Operation.h"
#include "device/hashing.h"
#include "device/module_connection.h"
#include "device/p11_session.h"
#include "support/MyBase64.h"
#include "support/der.h"
#include "support/result_codes.h"

namespace {

constexpr unsigned long kAreaSize = 4096;        // to-be-signed data, Name, final request
constexpr unsigned long kPublicKeySize = 256;    // CKA_MODULUS of the largest key
constexpr unsigned long kSm2CoordinateSize = 32;
constexpr unsigned long kZSize = 32;

const unsigned char kRsaEncryption[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                        0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
const unsigned char kRsaExponent[] = {0x02, 0x03, 0x01, 0x00, 0x01};
const unsigned char kSm2PublicKeyAlgorithm[] = {0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                                0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
const unsigned char kSm2WithSm3[] = {0x30, 0x0A, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75};
const unsigned char kVersion0[] = {0x02, 0x01, 0x00};
const unsigned char kNoAttributes[] = {0xA0, 0x00};

struct RsaSignatureAlgorithm {
    const char* hash;
    unsigned char lastOidByte;  // 1.2.840.113549.1.1.x
};
const RsaSignatureAlgorithm kRsaSignatureAlgorithms[] = {
    {"MD5", 0x04}, {"SHA1", 0x05}, {"SHA256", 0x0B}, {"SHA384", 0x0C}, {"SHA512", 0x0D},
};

struct KeyGeneration {
    const char* keyType;
    unsigned int algorithm;
    CK_ULONG bits;
};
const KeyGeneration kKeyGenerations[] = {
    {"RSA1024", TOKEN_KEYALG_RSA, 1024},
    {"RSA2048", TOKEN_KEYALG_RSA, 2048},
    {"SM2256", TOKEN_KEYALG_SM2, 256},
};

// The encoders' output convention: a null out asks for the length only.
bool CopyOut(const std::vector<unsigned char>& der, unsigned char* out, unsigned long* length) {
    if (!length) return false;
    if (!out) {
        *length = der.size();
        return true;
    }
    if (*length < der.size()) return false;
    std::copy(der.begin(), der.end(), out);
    *length = der.size();
    return true;
}

void Append(std::vector<unsigned char>& out, const unsigned char* bytes, size_t length) {
    out.insert(out.end(), bytes, bytes + length);
}

std::vector<unsigned char> WrapSequence(const std::vector<unsigned char>& content) {
    return der::Element(der::kTagSequence, content);
}

// BIT STRING without unused bits.
void AppendBitString(std::vector<unsigned char>& out, const unsigned char* bytes, unsigned long length) {
    out.push_back(der::kTagBitString);
    der::AppendLength(out, length + 1);
    out.push_back(0x00);
    Append(out, bytes, length);
}

// A positive INTEGER from unsigned big-endian bytes, kept at full width.
void AppendFullWidthInteger(std::vector<unsigned char>& out, const unsigned char* bytes, unsigned long length) {
    bool pad = bytes[0] >= 0x80;
    out.push_back(der::kTagInteger);
    der::AppendLength(out, length + (pad ? 1 : 0));
    if (pad) out.push_back(0x00);
    Append(out, bytes, length);
}

std::vector<unsigned char> RequestInfo(const unsigned char* name, unsigned long nameLength,
                                       const unsigned char* spki, unsigned long spkiLength) {
    std::vector<unsigned char> content(sizeof kVersion0 + nameLength + spkiLength + sizeof kNoAttributes);
    unsigned char* p = der::Put(content.data(), kVersion0, sizeof kVersion0);
    p = der::Put(p, name, nameLength);
    p = der::Put(p, spki, spkiLength);
    der::Put(p, kNoAttributes, sizeof kNoAttributes);
    return WrapSequence(content);
}

bool EncodeBase64(const std::vector<unsigned char>& der, std::string& text) {
    CMyBase64 base64;
    unsigned int length = 0;
    int needed = base64.Encode(der.data(), static_cast<unsigned int>(der.size()), nullptr, &length);
    if (needed <= 0) return false;
    std::vector<char> buffer(static_cast<size_t>(needed));
    length = static_cast<unsigned int>(buffer.size());
    if (base64.Encode(der.data(), static_cast<unsigned int>(der.size()), buffer.data(), &length) != needed) {
        return false;
    }
    text.assign(buffer.data(), static_cast<size_t>(needed));
    return true;
}

// The CertificationRequestInfo of an SM2 key under a DER Name.
bool GetSM2PKCS10Code2(const unsigned char* x, const unsigned char* y, const unsigned char* name,
                       unsigned long nameLength, unsigned char* out, unsigned long* length) {
    unsigned long spkiLength = 0;
    if (!name || !GetSM2PublicKeyDer(x, y, nullptr, &spkiLength)) return false;
    std::vector<unsigned char> spki(spkiLength);
    if (!GetSM2PublicKeyDer(x, y, spki.data(), &spkiLength)) return false;
    return CopyOut(RequestInfo(name, nameLength, spki.data(), spkiLength), out, length);
}

// SEQUENCE { info, algorithm, BIT STRING signature }.
bool GetSignedCode(const unsigned char* info, unsigned long infoLength, const unsigned char* algorithm,
                   unsigned long algorithmLength, const unsigned char* signature, unsigned long signatureLength,
                   unsigned char* out, unsigned long* length) {
    if (!info || !algorithm || (!signature && signatureLength)) return false;
    std::vector<unsigned char> content(info, info + infoLength);
    Append(content, algorithm, algorithmLength);
    AppendBitString(content, signature, signatureLength);
    return CopyOut(WrapSequence(content), out, length);
}

}  // namespace

std::vector<unsigned char> PairIdOfRecord(const unsigned char* record) {
    size_t length = strnlen(reinterpret_cast<const char*>(record), kKeyRecordSize - 1);
    std::vector<unsigned char> pairId(record, record + length);
    pairId.push_back(0);
    return pairId;
}

// ---- DER encoders ----

bool GetPublicKeyDer(const unsigned char* modulus, unsigned long modulusLength, unsigned char* out,
                     unsigned long* length) {
    if (!modulus || modulusLength == 0) return false;
    std::vector<unsigned char> rsaKey;
    AppendFullWidthInteger(rsaKey, modulus, modulusLength);
    Append(rsaKey, kRsaExponent, sizeof kRsaExponent);
    std::vector<unsigned char> rsaPublicKey = WrapSequence(rsaKey);

    std::vector<unsigned char> spki(kRsaEncryption, kRsaEncryption + sizeof kRsaEncryption);
    AppendBitString(spki, rsaPublicKey.data(), rsaPublicKey.size());
    return CopyOut(WrapSequence(spki), out, length);
}

bool GetRSAPKCS10Code(const unsigned char* modulus, unsigned long modulusLength, const unsigned char* name,
                      unsigned long nameLength, unsigned char* out, unsigned long* length) {
    unsigned long spkiLength = 0;
    if (!name || !GetPublicKeyDer(modulus, modulusLength, nullptr, &spkiLength)) return false;
    std::vector<unsigned char> spki(spkiLength);
    if (!GetPublicKeyDer(modulus, modulusLength, spki.data(), &spkiLength)) return false;
    return CopyOut(RequestInfo(name, nameLength, spki.data(), spkiLength), out, length);
}

bool GetSM2PublicKeyDer(const unsigned char* x, const unsigned char* y, unsigned char* out, unsigned long* length) {
    if (!x || !y) return false;
    std::vector<unsigned char> point{0x04};
    Append(point, x, kSm2CoordinateSize);
    Append(point, y, kSm2CoordinateSize);
    std::vector<unsigned char> spki(kSm2PublicKeyAlgorithm, kSm2PublicKeyAlgorithm + sizeof kSm2PublicKeyAlgorithm);
    AppendBitString(spki, point.data(), point.size());
    return CopyOut(WrapSequence(spki), out, length);
}

long GenerateRSAP10Request(const std::string& hash, const unsigned char* signature, unsigned long signatureLength,
                           const unsigned char* tbs, unsigned long tbsLength, unsigned char* out,
                           unsigned long* length) {
    const RsaSignatureAlgorithm* chosen = nullptr;
    for (const RsaSignatureAlgorithm& algorithm : kRsaSignatureAlgorithms) {
        if (hash == algorithm.hash) chosen = &algorithm;
    }
    if (!chosen) return rc::kBufferTooSmall;  // SM3 has no RSA signature algorithm here
    unsigned char algorithm[sizeof kRsaEncryption];
    std::copy(kRsaEncryption, kRsaEncryption + sizeof kRsaEncryption, algorithm);
    algorithm[12] = chosen->lastOidByte;
    if (!GetSignedCode(tbs, tbsLength, algorithm, sizeof algorithm, signature, signatureLength, out, length)) {
        return rc::kBufferTooSmall;
    }
    return 0;
}

long GenerateSM2P10Request(const std::string&, const unsigned char* signature, unsigned long signatureLength,
                           const unsigned char* tbs, unsigned long tbsLength, unsigned char* out,
                           unsigned long* length) {
    // The signature is r || s, halves of equal width.
    if (!signature || !tbs || !length || tbsLength < kZSize || signatureLength == 0 || signatureLength % 2 != 0) {
        return rc::kBufferTooSmall;
    }
    unsigned long half = signatureLength / 2;
    std::vector<unsigned char> integers;
    der::AppendUnsignedInteger(integers, signature, half);
    der::AppendUnsignedInteger(integers, signature + half, half);
    std::vector<unsigned char> sm2Signature = WrapSequence(integers);

    std::vector<unsigned char> content(tbs + kZSize, tbs + tbsLength);  // the info without the Z value
    Append(content, kSm2WithSm3, sizeof kSm2WithSm3);
    AppendBitString(content, sm2Signature.data(), sm2Signature.size());
    std::vector<unsigned char> request = WrapSequence(content);
    if (!out || *length < request.size()) {
        *length = request.size();
        return rc::kBufferTooSmall;
    }
    std::copy(request.begin(), request.end(), out);
    *length = request.size();
    return 0;
}

// ---- token steps ----

long GetP10PublicKeyInfo(const SelectedToken& token, const unsigned char* record, unsigned char* out,
                         unsigned long* length) {
    if (!record || !out || !length) return rc::kGeneralFailure;
    P11Session session;
    if (!token.OpenSession(session)) return rc::kCannotConnect;
    std::vector<unsigned char> pairId = PairIdOfRecord(record);
    std::vector<CK_OBJECT_HANDLE> found;
    if (!FindObjects(session,
                     {UlongItem(CKA_CLASS, CKO_PUBLIC_KEY), BoolItem(CKA_TOKEN, true),
                      BytesItem(CKA_VENDOR_PAIR_ID, pairId.data(), pairId.size())},
                     1, found) ||
        found.size() != 1) {
        return rc::kGeneralFailure;
    }
    std::vector<unsigned char> modulus;
    if (!ReadAttribute(session, found[0], CKA_MODULUS, modulus) || modulus.empty() || modulus.size() > *length) {
        return rc::kGeneralFailure;
    }
    std::copy(modulus.begin(), modulus.end(), out);
    *length = modulus.size();
    return 0;
}

namespace {

// To-be-signed data: the CertificationRequestInfo (SM2: Z value in front).
long GetRSAP10SignMsg(const SelectedToken& token, const pkcs10info& info, const unsigned char* record,
                      unsigned char* out, unsigned long* length) {
    unsigned char modulus[kPublicKeySize];
    unsigned long modulusLength = sizeof modulus;
    long code = GetP10PublicKeyInfo(token, record, modulus, &modulusLength);
    if (code != 0) return code;
    std::vector<unsigned char> name(kAreaSize);
    unsigned long nameLength = name.size();
    code = GetSubjectDN(info.dn, name.data(), &nameLength);
    if (code != 0) return code;
    return GetRSAPKCS10Code(modulus, modulusLength, name.data(), nameLength, out, length) ? 0 : rc::kBufferTooSmall;
}

long GetSM2P10SignMsg(const SelectedToken& token, const pkcs10info& info, const unsigned char* record,
                      unsigned char* out, unsigned long* length) {
    unsigned char point[kPublicKeySize];
    unsigned long pointLength = sizeof point;
    long code = GetP10PublicKeyInfo(token, record, point, &pointLength);
    if (code != 0) return code;
    if (pointLength != 1 + 2 * kSm2CoordinateSize) return rc::kGeneralFailure;  // not an uncompressed SM2 point
    const unsigned char* x = point + 1;
    const unsigned char* y = point + 1 + kSm2CoordinateSize;

    std::vector<unsigned char> name(kAreaSize);
    unsigned long nameLength = name.size();
    code = GetSubjectDN(info.dn, name.data(), &nameLength);
    if (code != 0) return code;
    std::vector<unsigned char> requestInfo(kAreaSize);
    unsigned long infoLength = requestInfo.size();
    unsigned char z[kZSize];
    unsigned long zLength = sizeof z;
    if (!GetSM2PKCS10Code2(x, y, name.data(), nameLength, requestInfo.data(), &infoLength) ||
        !ComputeZ(x, kSm2CoordinateSize, y, kSm2CoordinateSize, z, &zLength) || zLength != kZSize) {
        return rc::kBufferTooSmall;
    }
    if (!out || !length || *length < infoLength + kZSize) return rc::kBufferTooSmall;
    std::copy(z, z + kZSize, out);
    std::copy(requestInfo.begin(), requestInfo.begin() + infoLength, out + kZSize);
    *length = infoLength + kZSize;
    return 0;
}

// The requests of the generated keys, signed and in Base64, "||"-joined.
long GetPKCS10Result(ModuleConnection& module, SelectedToken& token, unsigned int count, const unsigned int* keyAlgs,
                     const pkcs10info* infos, const unsigned char* records, std::string& text) {
    if (count < 1 || count > 2 || !keyAlgs || !infos || !records) return rc::kGeneralFailure;
    std::vector<std::vector<unsigned char>> tbs(count);
    for (unsigned int i = 0; i < count; ++i) {
        tbs[i].assign(kAreaSize, 0);
        unsigned long length = tbs[i].size();
        const unsigned char* record = records + i * kKeyRecordSize;
        long code = keyAlgs[i] == TOKEN_KEYALG_SM2 ? GetSM2P10SignMsg(token, infos[i], record, tbs[i].data(), &length)
                                                   : GetRSAP10SignMsg(token, infos[i], record, tbs[i].data(), &length);
        if (code != 0) return code;
        tbs[i].resize(length);
    }

    unsigned char signInfo[2048] = {};
    unsigned int signInfoLength = 0;
    const std::vector<unsigned char>& second = tbs[count - 1];
    long code = GetPKCS10SignInfo(module, token, count, records, infos[0].hashAlg, tbs[0].data(), tbs[0].size(),
                                  count == 2 ? infos[1].hashAlg : std::string(), second.data(),
                                  count == 2 ? second.size() : 0, signInfo, &signInfoLength);
    if (code != 0) return code;
    std::vector<std::vector<unsigned char>> signatures;
    code =
        SignPKCS10Requests(token, module.GetExtInfoFlag(), count, infos, records, signInfo, signInfoLength, signatures);
    if (code != 0) return code;

    std::string result;
    for (unsigned int i = 0; i < count; ++i) {
        std::vector<unsigned char> request(kAreaSize);
        unsigned long length = request.size();
        const std::vector<unsigned char>& signature = signatures[i];
        code = keyAlgs[i] == TOKEN_KEYALG_SM2
                   ? GenerateSM2P10Request(infos[i].hashAlg, signature.data(), signature.size(), tbs[i].data(),
                                           tbs[i].size(), request.data(), &length)
                   : GenerateRSAP10Request(infos[i].hashAlg, signature.data(), signature.size(), tbs[i].data(),
                                           tbs[i].size(), request.data(), &length);
        if (code != 0) return code;
        request.resize(length);
        std::string base64;
        if (!EncodeBase64(request, base64)) return rc::kBufferTooSmall;
        if (!result.empty()) result += "||";
        result += base64;
    }
    text = result;
    return 0;
}

}  // namespace

long DeviceP11Operation::GMCreatePKCS10(const char* certInfo, std::string& text) {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    pkcs10info infos[5];
    unsigned int count = 0;
    if (!certInfo || !ParsePKCS10Param(certInfo, infos, &count)) return rc::kBadParameter;

    unsigned int keyAlgs[2] = {};
    CK_ULONG keyBits[2] = {};
    std::string certTypes;
    for (unsigned int i = 0; i < count; ++i) {
        for (const KeyGeneration& generation : kKeyGenerations) {
            if (infos[i].keyAlg == generation.keyType) {
                keyAlgs[i] = generation.algorithm;
                keyBits[i] = generation.bits;
            }
        }
        certTypes += infos[i].certType;
    }
    // Without the extended interface the token knows only type 02.
    if (!m_module->GetExtInfoFlag()) certTypes = count == 1 ? "02" : "0202";

    auto generate = AuxEntryAt<E_GenerateRequestKeys_t>(token.aux, AUX_GENERATE_REQUEST_KEYS);
    std::vector<unsigned char> records(2 * kKeyRecordSize, 0);
    if (!generate || token.Record("E_GenerateRequestKeys", generate(token.slot, count, keyAlgs, keyBits,
                                                                    certTypes.c_str(), records.data())) != CKR_OK) {
        return rc::kKeyGenerationFailed;
    }
    std::string result;
    long code = GetPKCS10Result(*m_module, token, count, keyAlgs, infos, records.data(), result);
    if (code == 0) text = result;
    return code;
}
