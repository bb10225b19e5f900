// Read-only queries: public keys, a key blob bound to a server random,
// certificate subject DNs, the token's extended information and a random value.
// None of them logs in or changes the token.

#include "device/DeviceP11Operation.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "device/keyid_lookup.h"
#include "device/module_connection.h"
#include "device/p11_session.h"
#include "support/Gener_Func.h"
#include "support/MyBase64.h"
#include "support/der.h"
#include "support/result_codes.h"

namespace {

constexpr CK_ULONG kMaxListedKeys = 100;
constexpr CK_ULONG kMaxExportedKeys = 10;
constexpr CK_ULONG kMaxCertificatesPerKey = 50;
constexpr CK_ULONG kMaxCertificates = 100;
constexpr const char* kSeparator = "||";

// The hand-built RSAPublicKey: both INTEGERs must fit this area.
constexpr size_t kIntegerArea = 1024;
const unsigned char kFixedExponent[] = {0x02, 0x03, 0x01, 0x00, 0x01};

constexpr unsigned int kExportBufferSize = 2048;
constexpr CK_ULONG kKeyBlobBufferSize = 4096;
constexpr size_t kServerRandomLength = 15;
constexpr size_t kServerRandomArea = 32;
constexpr CK_ULONG kExtInfoSize = 260;
constexpr size_t kRandomLength = 15;
constexpr size_t kRandomTextLength = 20;
// Certificates are a few kilobytes; a module claiming more is not believed.
constexpr CK_ULONG kMaxCertificateLength = 1 << 20;
constexpr size_t kMaxEncodedInput = 1 << 20;

std::vector<TemplateItem> PublicKeyTemplate() {
    return {UlongItem(CKA_CLASS, CKO_PUBLIC_KEY), BoolItem(CKA_TOKEN, true)};
}

std::vector<TemplateItem> CertificateTemplate() {
    return {UlongItem(CKA_CLASS, CKO_CERTIFICATE), BoolItem(CKA_TOKEN, true)};
}

std::vector<TemplateItem> CertificatesOfPair(const std::vector<unsigned char>& pairId) {
    return {UlongItem(CKA_CLASS, CKO_CERTIFICATE), BytesItem(CKA_VENDOR_PAIR_ID, pairId.data(), pairId.size())};
}

// Base64 into an area of exactly the encoded size; false when encoding fails.
// Inputs here are a few kilobytes; the codec counts in int.
bool Base64Of(const unsigned char* data, size_t length, std::string& text) {
    if (length > kMaxEncodedInput) return false;
    CMyBase64 codec;
    unsigned int capacity = 0;
    const int needed = codec.Encode(data, static_cast<unsigned int>(length), nullptr, &capacity);
    if (needed < 0) return false;
    std::vector<char> area(static_cast<size_t>(needed) + 1, '\0');
    if (needed > 0) {
        capacity = static_cast<unsigned int>(needed);
        if (codec.Encode(data, static_cast<unsigned int>(length), area.data(), &capacity) != needed) return false;
    }
    text.assign(area.data(), static_cast<size_t>(needed));
    return true;
}

void AppendToList(std::string& list, const std::string& entry) {
    if (!list.empty()) list += kSeparator;
    list += entry;
}

// PKCS#1 RSAPublicKey from the modulus as the token keeps it. The exponent is
// always 65537: the token generates no other. False when the modulus is empty
// or too long for the assembly area.
bool EncodeRsaPublicKey(const std::vector<unsigned char>& modulus, std::vector<unsigned char>& publicKey) {
    const bool needsZero = !modulus.empty() && modulus[0] >= 0x80;
    const size_t modulusContent = modulus.size() + (needsZero ? 1 : 0);
    const size_t maxHeader = 4;  // tag + 0x82 + two length bytes
    if (modulus.empty() || modulusContent + maxHeader + sizeof kFixedExponent > kIntegerArea) return false;

    std::vector<unsigned char> integers;
    integers.reserve(kIntegerArea);
    integers.push_back(der::kTagInteger);
    der::AppendLength(integers, modulusContent);
    if (needsZero) integers.push_back(0x00);
    integers.insert(integers.end(), modulus.begin(), modulus.end());
    integers.insert(integers.end(), std::begin(kFixedExponent), std::end(kFixedExponent));

    publicKey = der::Element(der::kTagSequence, integers);
    return true;
}

enum class KeyListMode { Certified, Uncertified, All, Invalid };

KeyListMode KeyListModeOf(const char* keyType) {
    if (!keyType) return KeyListMode::Invalid;
    std::string mode(keyType);
    std::transform(mode.begin(), mode.end(), mode.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (mode == "certpubkey") return KeyListMode::Certified;
    if (mode == "nocertpubkey") return KeyListMode::Uncertified;
    if (mode == "allpubkey") return KeyListMode::All;
    return KeyListMode::Invalid;
}

bool IsListed(KeyListMode mode, bool hasCertificate) {
    return mode == KeyListMode::All || (mode == KeyListMode::Certified) == hasCertificate;
}

// "02" + Base64(RSAPublicKey) or "11" + Base64(SM2 point); false when the key
// has no number or cannot be encoded.
bool NumberedKeyEntry(const std::vector<unsigned char>& keyType, const std::vector<unsigned char>& index,
                      const std::vector<unsigned char>& modulus, std::string& entry) {
    const int keyNumber = KeyNumberOf(keyType, index);
    if (keyNumber < 0 || modulus.empty()) return false;
    std::vector<unsigned char> encoding;
    if (UlongFromBytes(keyType) == CKK_RSA) {
        if (!EncodeRsaPublicKey(modulus, encoding)) return false;
    } else {
        encoding = modulus;
    }
    std::string base64;
    if (!Base64Of(encoding.data(), encoding.size(), base64)) return false;
    // Key numbers run from 02 to 16: always two digits.
    entry = {static_cast<char>('0' + keyNumber / 10), static_cast<char>('0' + keyNumber % 10)};
    entry += base64;
    return true;
}

bool ContainsCnCaseBlind(const std::string& text) {
    for (size_t i = 0; i + 3 <= text.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) == 'C' &&
            std::toupper(static_cast<unsigned char>(text[i + 1])) == 'N' && text[i + 2] == '=') {
            return true;
        }
    }
    return false;
}

// Splits at the first "||"; false when a second one follows.
bool SplitReferences(const std::string& text, std::vector<std::string>& references) {
    const size_t at = text.find(kSeparator);
    if (at == std::string::npos) {
        references = {text};
        return true;
    }
    const std::string rest = text.substr(at + 2);
    if (rest.find(kSeparator) != std::string::npos) return false;
    references = {text.substr(0, at), rest};
    return true;
}

bool ReferencesWellFormed(bool byKeyNumber, const std::vector<std::string>& references) {
    for (const std::string& reference : references) {
        if (byKeyNumber) {
            if (reference.size() != 2) return false;
        } else if (references.size() == 2) {
            if (!ContainsCnCaseBlind(reference)) return false;
        } else {
            const bool looksLikeDn = reference.find_first_of("=,") != std::string::npos;
            if (reference.empty() || (looksLikeDn && !ContainsCnCaseBlind(reference))) return false;
        }
    }
    return true;
}

// Decodes the server's random: kNotBase64 for text that is not Base64,
// kBadParameter for any length but 15.
long DecodeServerRandom(const char* text, std::vector<unsigned char>& random) {
    CMyBase64 codec;
    unsigned int length = 0;
    const int needed = codec.Decode(text, nullptr, &length);
    if (needed < 0) return rc::kNotBase64;
    if (static_cast<size_t>(needed) != kServerRandomLength) return rc::kBadParameter;
    std::vector<char> area(kServerRandomArea, '\0');
    length = static_cast<unsigned int>(area.size());
    if (codec.Decode(text, area.data(), &length) != needed) return rc::kNotBase64;
    random.assign(area.begin(), area.begin() + needed);
    return 0;
}

}  // namespace

long DeviceP11Operation::GMGetPublicKey(const char* keyType, std::string& text) {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    P11Session session;
    if (!token.OpenSession(session)) return rc::kCannotConnect;
    std::vector<CK_OBJECT_HANDLE> keys;
    if (!FindObjects(session, PublicKeyTemplate(), kMaxListedKeys, keys)) return rc::kCannotConnect;

    const KeyListMode mode = KeyListModeOf(keyType);
    std::string result;
    for (CK_OBJECT_HANDLE key : keys) {
        std::vector<std::vector<unsigned char>> values;
        if (!ReadAttributes(session, key, {CKA_MODULUS, CKA_VENDOR_KEY_INDEX, CKA_VENDOR_PAIR_ID, CKA_KEY_TYPE},
                            values)) {
            return rc::kReadFailed;
        }
        const std::vector<unsigned char>& modulus = values[0];
        const std::vector<unsigned char>& index = values[1];
        const std::vector<unsigned char>& pairId = values[2];
        const std::vector<unsigned char>& type = values[3];

        std::vector<CK_OBJECT_HANDLE> certificates;
        if (!FindObjects(session, CertificatesOfPair(pairId), kMaxCertificatesPerKey, certificates)) {
            return rc::kCannotConnect;
        }
        // The mode is judged per key, so a token without keys accepts any mode.
        if (mode == KeyListMode::Invalid) return rc::kBadValue;
        if (!IsListed(mode, !certificates.empty())) continue;

        std::string entry;
        if (NumberedKeyEntry(type, index, modulus, entry)) AppendToList(result, entry);
    }
    text = result;
    return 0;
}

long DeviceP11Operation::GetPublicKeyC(std::string& text) {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    P11Session session;
    if (!token.OpenSession(session)) return rc::kCannotConnect;
    std::vector<CK_OBJECT_HANDLE> keys;
    if (!FindObjects(session, PublicKeyTemplate(), kMaxExportedKeys, keys)) return rc::kCannotConnect;

    auto exportPublicKey = AuxEntryAt<E_ExportPublicKey_t>(token.aux, AUX_EXPORT_PUBLIC_KEY);
    if (!exportPublicKey) return rc::kExportNotSupported;
    std::string result;
    // Unlike the numbered list, this one names no key: a key without a usable
    // index is exported like any other.
    for (CK_OBJECT_HANDLE key : keys) {
        std::vector<unsigned char> buffer(kExportBufferSize, 0);
        unsigned int length = kExportBufferSize;
        const CK_RV rv =
            session.Record("E_ExportPublicKey", exportPublicKey(session.handle(), key, buffer.data(), &length));
        if (rv == CKR_FUNCTION_NOT_SUPPORTED) return rc::kExportNotSupported;
        if (rv != CKR_OK || length > buffer.size()) return rc::kGeneralFailure;
        std::string base64;
        if (length > 0 && Base64Of(buffer.data(), length, base64)) AppendToList(result, base64);
    }
    session.Close();
    text = result;
    return 0;
}

long DeviceP11Operation::GMGetPublicKeyC(const char* keyType, const char* dnOrId, const char* base64SerRand,
                                         std::string& text) {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    const std::string type = keyType ? keyType : "";
    if (type != "01" && type != "02") return rc::kBadValue;
    const bool byKeyNumber = type == "01";
    if (!dnOrId || !base64SerRand) return rc::kBadParameter;

    std::vector<std::string> references;
    if (!SplitReferences(dnOrId, references) || !ReferencesWellFormed(byKeyNumber, references)) {
        return rc::kBadParameter;
    }
    std::vector<unsigned char> keyIds;
    for (const std::string& reference : references) {
        const bool found =
            byKeyNumber ? GetPubKidByKid(token, reference, keyIds) : GetPubKidByDN(token, reference, keyIds, true);
        if (!found) return rc::kBadValue;
    }
    if (keyIds.empty() || keyIds.size() > 4) return rc::kBadValue;

    std::vector<unsigned char> random;
    if (long rv = DecodeServerRandom(base64SerRand, random)) return rv;
    std::vector<unsigned char> message(type.begin(), type.end());
    message.insert(message.end(), random.begin(), random.end());

    auto getPublicKeyWithRandom = AuxEntryAt<E_GetPublicKeyWithRandom_t>(token.aux, AUX_GET_PUBLIC_KEY_WITH_RANDOM);
    if (!getPublicKeyWithRandom) return rc::kGeneralFailure;
    std::vector<unsigned char> blob(kKeyBlobBufferSize, 0);
    CK_ULONG blobLength = blob.size();
    if (token.Record("E_GetPublicKeyWithRandom",
                     getPublicKeyWithRandom(token.slot, message.data(), message.size(), keyIds.data(), keyIds.size(),
                                            blob.data(), &blobLength)) != CKR_OK ||
        blobLength > blob.size()) {
        return rc::kGeneralFailure;
    }
    if (blobLength == 0) return 0;
    std::string base64;
    if (!Base64Of(blob.data(), blobLength, base64)) return rc::kGeneralFailure;
    text = base64;
    return 0;
}

long DeviceP11Operation::GMGetCertDN(std::string& text) {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    P11Session session;
    if (!token.OpenSession(session)) return rc::kCannotConnect;
    std::vector<CK_OBJECT_HANDLE> certificates;
    if (!FindObjects(session, CertificateTemplate(), kMaxCertificates, certificates)) {
        return rc::kCannotConnect;
    }

    CK_FUNCTION_LIST_PTR f = session.functions();
    for (size_t i = 0; i < certificates.size(); ++i) {
        CK_ATTRIBUTE attribute{CKA_VALUE, nullptr, 0};
        if (session.Record("C_GetAttributeValue",
                           f->C_GetAttributeValue(session.handle(), certificates[i], &attribute, 1)) != CKR_OK) {
            return rc::kReadFailed;
        }
        const CK_ULONG length = attribute.ulValueLen;
        if (length != 0 && length != CK_UNAVAILABLE_INFORMATION) {
            if (length > kMaxCertificateLength) return rc::kReadFailed;
            std::vector<unsigned char> value(length + 1, 0);
            attribute.pValue = value.data();
            if (session.Record("C_GetAttributeValue",
                               f->C_GetAttributeValue(session.handle(), certificates[i], &attribute, 1)) != CKR_OK ||
                attribute.ulValueLen > length) {
                return rc::kReadFailed;
            }
            value.resize(attribute.ulValueLen);
            std::string dn;
            // An undecodable certificate ends the walk; what was gathered stands.
            if (!InvertedSubjectOf(value, dn)) return 0;
            text += dn;
        }
        // The separator follows the position, so a skipped last certificate
        // still leaves one behind.
        if (i + 1 != certificates.size()) text += kSeparator;
    }
    return 0;
}

long DeviceP11Operation::GetAdminKeyInfo(unsigned long, std::string& text) {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    auto getTokenExtInfo = AuxEntryAt<E_GetTokenExtInfo_t>(token.aux, AUX_GET_TOKEN_EXT_INFO);
    unsigned char info[kExtInfoSize] = {};
    CK_ULONG length = sizeof info;
    if (!getTokenExtInfo || token.Record("E_GetTokenExtInfo", getTokenExtInfo(token.slot, info, &length)) != CKR_OK) {
        return rc::kReadFailed;
    }

    char field[32] = {};
    std::memcpy(field, info, 4);
    const bool noAdminKeyId = std::all_of(info + 4, info + 22, [](unsigned char b) { return b == 0; });
    if (noAdminKeyId) {
        std::memset(field + 4, '0', 14);
    } else {
        std::memcpy(field + 4, info + 4, 14);
    }
    std::memcpy(field + 18, info + 22, 2);
    text = std::string(field);  // ends at the first zero byte
    return 0;
}

long DeviceP11Operation::BankEncGetRand(char* out, unsigned long outSize) {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    auto getRandom = AuxEntryAt<E_GetRandom_t>(token.aux, AUX_GET_RANDOM);
    unsigned char random[kRandomLength + 1] = {};
    if (!getRandom || token.Record("E_GetRandom", getRandom(token.slot, random, kRandomLength)) != CKR_OK) {
        return rc::kCannotConnect;
    }
    std::string base64;
    if (!Base64Of(random, kRandomLength, base64) || base64.size() != kRandomTextLength) {
        return rc::kGeneralFailure;
    }
    if (!out || outSize < kRandomTextLength) return rc::kGeneralFailure;
    std::memcpy(out, base64.data(), kRandomTextLength);
    return 0;
}
