// "GMWritePKCS7": recognising the issued certificate bundle, writing the
// certificates of our keys through the module, and rolling the first part
// back when the second fails. Also the temporary-key operations.
#include "device/cert_install.h"

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>

#include "device/DeviceP11Operation.h"
#include "device/keyid_lookup.h"
#include "device/module_connection.h"
#include "device/p11_session.h"
#include "support/MyBase64.h"
#include "support/der.h"
#include "support/openssl_ptr.h"
#include "support/result_codes.h"

namespace {

constexpr unsigned long kMaxRollbackCandidates = 100;
constexpr unsigned long kTempKeySize = 32;
constexpr unsigned long kTempKeyTextSize = 44;

X509Ptr DecodeCertificate(const unsigned char* der, size_t length) {
    if (!der || length == 0 || length > LONG_MAX) return nullptr;
    const unsigned char* p = der;
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(length)));
}

template <typename T, typename Encoder>
std::vector<unsigned char> EncodeDer(T* object, Encoder encode) {
    int length = encode(object, nullptr);
    if (length <= 0) return {};
    std::vector<unsigned char> der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    if (encode(object, &p) != length) return {};
    return der;
}

// The module takes the length of what we hand it from the DER header, so a
// header that claims more than we hold must never reach it.
bool DerFitsIn(const std::vector<unsigned char>& element) {
    return der::ElementLength(element.data(), element.size()).has_value();
}

// The certificates of a DER PKCS#7 SignedData bundle, each re-encoded.
bool CertificatesOfBundle(const unsigned char* der, size_t length, std::vector<std::vector<unsigned char>>& certs) {
    if (!der || length == 0 || length > LONG_MAX) return false;
    const unsigned char* p = der;
    Pkcs7Ptr bundle(d2i_PKCS7(nullptr, &p, static_cast<long>(length)));
    if (!bundle || !PKCS7_type_is_signed(bundle.get()) || !bundle->d.sign || !bundle->d.sign->cert) return false;
    STACK_OF(X509)* stack = bundle->d.sign->cert;
    for (int i = 0; i < sk_X509_num(stack); ++i) {
        std::vector<unsigned char> cert = EncodeDer(sk_X509_value(stack, i), i2d_X509);
        if (!cert.empty()) certs.push_back(std::move(cert));
    }
    return true;
}

bool DecodeBase64(const std::string& text, std::vector<unsigned char>& bytes) {
    CMyBase64 base64;
    unsigned int length = 0;
    int needed = base64.Decode(text.c_str(), nullptr, &length);
    if (needed <= 0) return false;
    bytes.assign(static_cast<size_t>(needed), 0);
    length = static_cast<unsigned int>(needed);
    if (base64.Decode(text.c_str(), reinterpret_cast<char*>(bytes.data()), &length) != needed) return false;
    return true;
}

// The DER of a PEM or Base64 text (PemToDer with room for all of it).
bool PemBody(const std::string& text, std::vector<unsigned char>& der) {
    if (text.empty() || text.size() > UINT_MAX / 3 || text.size() > LONG_MAX) return false;
    unsigned int capacity = static_cast<unsigned int>(text.size() * 3 / 4 + 1);
    der.assign(capacity, 0);
    if (PemToDer(text.data(), static_cast<long>(text.size()), der.data(), &capacity) == 0) return false;
    der.resize(capacity);
    return true;
}

// Whether the token holds a public key with the certificate's RSA modulus.
bool FindMatchPublicKey(const SelectedToken& token, const unsigned char* der, unsigned long length) {
    unsigned long modulusLength = 0;
    if (GetCertModulus(der, length, nullptr, &modulusLength) != 0 || modulusLength == 0) return false;
    std::vector<unsigned char> modulus(modulusLength);
    if (GetCertModulus(der, length, modulus.data(), &modulusLength) != 0) return false;

    P11Session session;
    if (!token.OpenSession(session)) return false;
    std::vector<CK_OBJECT_HANDLE> found;
    return FindObjects(session,
                       {UlongItem(CKA_CLASS, CKO_PUBLIC_KEY), BoolItem(CKA_TOKEN, true),
                        BytesItem(CKA_MODULUS, modulus.data(), modulusLength)},
                       10, found) &&
           !found.empty();
}

// Removes the newest certificate object whose value is exactly der. False
// when that cannot be done; failure then names the code of the step that
// failed, where it has one.
bool DeleteWrittenCert(const SelectedToken& token, const std::vector<unsigned char>& der, long& failure) {
    X509Ptr cert = DecodeCertificate(der.data(), der.size());
    if (!cert) return false;
    std::vector<unsigned char> value = EncodeDer(cert.get(), i2d_X509);
    std::vector<unsigned char> subject = EncodeDer(X509_get_subject_name(cert.get()), i2d_X509_NAME);
    std::vector<unsigned char> issuer = EncodeDer(X509_get_issuer_name(cert.get()), i2d_X509_NAME);
    if (subject.empty() || issuer.empty()) {
        failure = rc::kBadParameter;
        return false;
    }
    P11Session session;
    if (!token.OpenSession(session)) {
        failure = rc::kCannotConnect;
        return false;
    }
    std::vector<CK_OBJECT_HANDLE> found;
    if (!FindObjects(session,
                     {UlongItem(CKA_CLASS, CKO_CERTIFICATE), BoolItem(CKA_TOKEN, true),
                      BytesItem(CKA_ISSUER, issuer.data(), issuer.size()),
                      BytesItem(CKA_SUBJECT, subject.data(), subject.size())},
                     kMaxRollbackCandidates, found)) {
        failure = rc::kGeneralFailure;
        return false;
    }
    // Older certificates of the same subject and issuer stay; of several
    // copies of the very certificate we wrote, the newest is ours.
    for (auto handle = found.rbegin(); handle != found.rend(); ++handle) {
        std::vector<unsigned char> stored;
        if (ReadAttribute(session, *handle, CKA_VALUE, stored) && stored == value) {
            session.Record("C_DestroyObject", session.functions()->C_DestroyObject(session.handle(), *handle));
            break;
        }
    }
    return true;
}

// Removes what the first part of an installation wrote. The first step that
// fails ends the rollback; where it names a code, that code replaces the
// installation's own in failure.
void DeleteTempCert(const SelectedToken& token, const std::vector<DERCERT>& written, long& failure) {
    for (const DERCERT& remembered : written) {
        if (DecodeCertificate(remembered.data.data(), remembered.data.size())) {
            if (!DeleteWrittenCert(token, remembered.data, failure)) return;
            continue;
        }
        // A bundle handed over whole: the module wrote those of its
        // certificates that belong to our keys, and only exact copies go.
        std::vector<std::vector<unsigned char>> inBundle;
        if (!CertificatesOfBundle(remembered.data.data(), remembered.data.size(), inBundle)) return;
        for (const std::vector<unsigned char>& cert : inBundle) {
            if (!DeleteWrittenCert(token, cert, failure)) return;
        }
    }
}

}  // namespace

long DeviceP11Operation::GMWritePKCS07(const char* p7) {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    P11Session session;
    if (!token.OpenSession(session)) return rc::kCannotConnect;

    std::string_view text(p7 ? p7 : "");
    size_t separator = text.find("||");
    std::string first(text.substr(0, separator));
    std::string second(separator == std::string_view::npos ? std::string_view() : text.substr(separator + 2));

    // What the first part writes goes again when the second part fails.
    std::vector<DERCERT> written;
    if (!first.empty()) {
        if (long code = WriteCert(token, first, &written)) return code;
    }
    if (!second.empty()) {
        long code = WriteCert(token, second, nullptr);
        if (code != 0) {
            DeleteTempCert(token, written, code);
            return code;
        }
    }
    return 0;
}

long WriteCert(const SelectedToken& token, const std::string& text, std::vector<DERCERT>* remembered) {
    std::vector<DERCERT> certs;
    if (!ParseP7(token, text, certs)) {
        // Nothing of ours was picked out (an SM2 bundle, say): the module gets
        // the whole thing. Armoured text is unwrapped first, as Base64 alone
        // would never read it.
        std::vector<unsigned char> bytes;
        if (!PemBody(text, bytes) && !DecodeBase64(text, bytes)) return rc::kNotBase64;
        certs.push_back(DERCERT{bytes.size(), std::move(bytes)});
    }
    if (remembered) *remembered = certs;

    auto write = AuxEntryAt<E_WriteCertificate_t>(token.aux, AUX_WRITE_CERTIFICATE);
    if (!write) return rc::kCertWriteFailed;
    for (const DERCERT& cert : certs) {
        if (!DerFitsIn(cert.data)) return rc::kBadValue;
        CK_RV rv = token.Record("E_WriteCertificate", write(token.slot, cert.data.data()));
        if (rv == CKR_ARGUMENTS_BAD) return rc::kBadValue;
        if (rv != CKR_OK) return rc::kCertWriteFailed;
    }
    return 0;
}

bool ParseP7(const SelectedToken& token, const std::string& text, std::vector<DERCERT>& certs) {
    std::vector<unsigned char> der;
    if (!PemBody(text, der)) return false;
    if (der[0] != 0x30 && der[0] != 0x31) return false;
    switch (CheckCertType(der.data(), der.size())) {
        case 2:
            return ParseP7B(token, der.data(), der.size(), certs) == 0;
        case 3:
            certs.push_back(DERCERT{der.size(), std::move(der)});
            return true;
        default:
            return false;
    }
}

int GetBase64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return 0;
    if (c == '\r' || c == '\n') return -1;
    return -2;
}

unsigned int PemToDer(const char* text, long length, unsigned char* out, unsigned int* capacity) {
    if (!text || length <= 0 || !out || !capacity || *capacity == 0) return 0;
    std::string_view pem(text, static_cast<size_t>(length));
    const size_t end = pem.size();

    size_t start = 0;
    bool skipped = false;  // armour or line breaks before the body
    size_t dashes = pem.find("-----");
    if (dashes != std::string_view::npos) {
        size_t lineEnd = pem.find("-----", dashes + 5);
        if (lineEnd == std::string_view::npos) return 0;
        start = lineEnd + 5;
        skipped = true;
    }
    while (start < end && GetBase64Value(pem[start]) == -1) {
        ++start;
        skipped = true;
    }
    if (start >= end || GetBase64Value(pem[start]) == -2) return 0;

    size_t stop = pem.find("-----", start);
    if (stop == std::string_view::npos) stop = end;
    if (skipped) {
        while (stop > start && GetBase64Value(pem[stop - 1]) < 0) --stop;
    }
    size_t count = stop - start;
    if (*capacity < count * 3 / 4) return 0;

    std::string body;
    body.reserve(count);
    for (size_t i = start; i < stop; ++i) {
        if (GetBase64Value(pem[i]) >= 0) body.push_back(pem[i]);
    }
    CMyBase64 base64;
    unsigned int decoded = *capacity;
    int result = base64.Decode(body.c_str(), reinterpret_cast<char*>(out), &decoded);
    if (result <= 0) return 0;
    *capacity = static_cast<unsigned int>(result);
    return static_cast<unsigned int>(result);
}

int CheckCertType(const unsigned char* der, unsigned long length) {
    if (!der || length < 2) return 0;
    if (der[0] != 0x30 && der[0] != 0x31) return 0;
    unsigned long position = 2;
    if (der[1] > 0x80) position += der[1] & 0x0F;
    if (position >= length) return 0;
    switch (der[position]) {
        case 0x02: return 1;
        case 0x06: return 2;
        case 0x30: return 3;
        default: return 0;
    }
}

int ParseP7B(const SelectedToken& token, const unsigned char* der, unsigned long length, std::vector<DERCERT>& certs) {
    std::vector<std::vector<unsigned char>> inBundle;
    if (!CertificatesOfBundle(der, length, inBundle)) return CKR_GENERAL_ERROR;
    size_t kept = 0;
    for (std::vector<unsigned char>& cert : inBundle) {
        // Issuer certificates and chains carry no key of ours.
        if (FindMatchPublicKey(token, cert.data(), cert.size())) {
            certs.push_back(DERCERT{cert.size(), std::move(cert)});
            ++kept;
        }
    }
    return kept ? CKR_OK : CKR_GENERAL_ERROR;
}

unsigned long GetCertModulus(const unsigned char* der, unsigned long length, unsigned char* out,
                             unsigned long* outLength) {
    if (!der || length == 0 || !outLength) return CKR_ARGUMENTS_BAD;
    X509Ptr cert = DecodeCertificate(der, length);
    if (!cert) return CKR_GENERAL_ERROR;
    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(cert.get());
    if (!bits) return CKR_GENERAL_ERROR;
    const unsigned char* key = ASN1_STRING_get0_data(bits);
    const size_t size = static_cast<size_t>(std::max(ASN1_STRING_length(bits), 0));

    // RSAPublicKey ::= SEQUENCE { modulus INTEGER, ... }; an EC point is no SEQUENCE.
    if (size < 2 || key[0] != 0x30) return CKR_GENERAL_ERROR;
    size_t position = 1;
    position += key[position] < 0x81 ? 1 : 1 + (key[position] & 0x7F);
    if (position >= size || key[position] != 0x02) return CKR_GENERAL_ERROR;
    ++position;
    if (position >= size) return CKR_GENERAL_ERROR;
    size_t modulusLength = key[position++];
    if (modulusLength >= 0x81) {
        size_t count = modulusLength & 0x7F;
        if (count > 2 || count > size - position) return CKR_GENERAL_ERROR;
        modulusLength = 0;
        for (size_t i = 0; i < count; ++i) modulusLength = (modulusLength << 8) | key[position++];
    }
    if (modulusLength > size - position) return CKR_GENERAL_ERROR;
    if (modulusLength > 0 && key[position] == 0x00) {
        ++position;
        --modulusLength;
    }
    if (out) {
        if (*outLength < modulusLength) return CKR_BUFFER_TOO_SMALL;
        std::copy(key + position, key + position + modulusLength, out);
    }
    *outLength = modulusLength;
    return 0;
}

void FlipBuffer(unsigned char* bytes, unsigned long count) {
    if (bytes && count > 1) std::reverse(bytes, bytes + count);
}

long DeviceP11Operation::GMDelTempKey(const char* dn, const char* keyIds) {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    std::vector<unsigned char> list;
    {
        P11Session session;
        if (!token.OpenSession(session)) return rc::kCannotConnect;
        if (dn && *dn && (!GetPubKidByDN(token, dn, list, false) || list.empty())) return rc::kBadValue;
        if (keyIds && *keyIds) {
            if (long code = TransPubKid(token, list, keyIds)) return code;
        }
    }
    if (!list.empty()) {
        list.push_back(0x00);
        auto deleteKeys = AuxEntryAt<E_DeleteTempKey_t>(token.aux, AUX_DELETE_TEMP_KEY);
        CK_RV rv = deleteKeys ? token.Record("E_DeleteTempKey", deleteKeys(token.slot, list.data()))
                              : CKR_FUNCTION_NOT_SUPPORTED;
        if (rv == CKR_CANCEL) return rc::kCancelled;
        if (rv == CKR_ARGUMENTS_BAD) return rc::kBadParameter;
        if (rv != CKR_OK) return rc::kGeneralFailure;
    }
    return 0;
}

long DeviceP11Operation::GMGetTemKey(char* out, unsigned long capacity) {
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    auto getTempKey = AuxEntryAt<E_GetTempKey_t>(token.aux, AUX_GET_TEMP_KEY);
    unsigned char key[kTempKeySize] = {};
    if (!getTempKey || token.Record("E_GetTempKey", getTempKey(token.slot, key, sizeof key)) != CKR_OK) {
        return rc::kCannotConnect;
    }
    char text[kTempKeyTextSize];
    CMyBase64 base64;
    unsigned int length = sizeof text;
    if (base64.Encode(key, sizeof key, text, &length) != static_cast<int>(kTempKeyTextSize)) {
        return rc::kGeneralFailure;
    }
    if (!out || capacity < kTempKeyTextSize) return rc::kGeneralFailure;
    std::copy(text, text + kTempKeyTextSize, out);
    return 0;
}
