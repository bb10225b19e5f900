// Helpers of the signing tests: an independent builder of the expected
// signing texts, SignedData parsing and signature checks with OpenSSL, and
// in-process patches of the software token's function tables (to make the
// key misbehave in ways its tool cannot arrange).
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "token_module/token_module.h"

namespace signing_checks {

using Bytes = std::vector<unsigned char>;

inline std::string Base64(const std::string& data) {
    std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                  reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    text.resize(n < 0 ? 0 : n);
    return text;
}

inline Bytes Unbase64(const std::string& text) {
    if (text.empty() || text.size() % 4 != 0) return {};
    Bytes out(text.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return {};
    size_t padding = 0;
    if (text[text.size() - 1] == '=') ++padding;
    if (text[text.size() - 2] == '=') ++padding;
    out.resize(static_cast<size_t>(n) - padding);
    return out;
}

// ---- the signing text, written out independently of the host's builders ----

struct TextInput {
    std::string xml;       // already in the key's character set
    std::string keyMsg;    // likewise
    std::string fileName;  // likewise; empty: no file
    std::string fileBytes;
};

inline std::string DecimalField(const char* tag, const std::string& value) {
    char header[16];
    std::snprintf(header, sizeof header, "%s%010d", tag, static_cast<int>(value.size()));
    return header + value;
}

inline std::string BinaryField(unsigned char tag, const std::string& value) {
    std::string field(9, '\0');
    field[0] = static_cast<char>(tag);
    uint64_t length = value.size();
    for (int i = 8; i >= 1; --i, length >>= 8) field[i] = static_cast<char>(length & 0xFF);
    return field + value;
}

inline std::string FileRecord(const TextInput& in) {
    if (in.fileName.empty()) return "";
    const std::string content = Base64(in.fileBytes);
    char lengths[32];
    const size_t name = in.fileName.size();
    std::snprintf(lengths, sizeof lengths, "%08zu%08zu%08zu", name + content.size() + 16, name + content.size() + 8,
                  name);
    return "00000000" + std::string(lengths) + in.fileName + content;
}

inline std::string ExpectedText(const TextInput& in, bool binary) {
    if (binary) {
        const std::string inner =
            BinaryField(0x21, in.xml) + BinaryField(0x23, FileRecord(in)) + BinaryField(0x22, in.keyMsg);
        return BinaryField(0x11, inner);
    }
    const std::string inner =
        DecimalField("21", in.xml) + DecimalField("22", in.keyMsg) + DecimalField("23", FileRecord(in));
    return DecimalField("11", inner);
}

// ---- SignedData ----

struct SignedData {
    bool parsed = false;
    std::string content;
    Bytes certificate;   // the one certificate of the set
    Bytes signature;     // encryptedDigest
    int digestNid = 0;
    int certificateCount = 0;
    int signerCount = 0;
};

using Pkcs7Ptr = std::unique_ptr<PKCS7, decltype(&PKCS7_free)>;
using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

inline Pkcs7Ptr ParsePkcs7(const Bytes& der) {
    const unsigned char* cursor = der.data();
    return Pkcs7Ptr(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())), PKCS7_free);
}

inline SignedData Inspect(const Bytes& der) {
    SignedData result;
    Pkcs7Ptr p7 = ParsePkcs7(der);
    if (!p7 || !PKCS7_type_is_signed(p7.get())) return result;
    PKCS7_SIGNED* sd = p7->d.sign;
    if (!sd->contents || !PKCS7_type_is_data(sd->contents) || !sd->contents->d.data) return result;
    const ASN1_OCTET_STRING* data = sd->contents->d.data;
    result.content.assign(reinterpret_cast<const char*>(data->data), data->length);
    result.certificateCount = sk_X509_num(sd->cert);
    if (result.certificateCount >= 1) {
        unsigned char* out = nullptr;
        const int n = i2d_X509(sk_X509_value(sd->cert, 0), &out);
        if (n > 0) result.certificate.assign(out, out + n);
        OPENSSL_free(out);
    }
    result.signerCount = sk_PKCS7_SIGNER_INFO_num(sd->signer_info);
    if (result.signerCount >= 1) {
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sd->signer_info, 0);
        result.signature.assign(si->enc_digest->data, si->enc_digest->data + si->enc_digest->length);
        result.digestNid = OBJ_obj2nid(si->digest_alg->algorithm);
    }
    result.parsed = true;
    return result;
}

inline X509Ptr ParseCertificate(const Bytes& der) {
    const unsigned char* cursor = der.data();
    return X509Ptr(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())), X509_free);
}

// PKCS#1 v1.5 by hand: the recovered DigestInfo names SM3 as
// 1.2.156.10197.1.401, which OpenSSL's own RSA check does not expect.
inline bool RsaSm3Verifies(const SignedData& sd) {
    X509Ptr cert = ParseCertificate(sd.certificate);
    EVP_PKEY* key = cert ? X509_get0_pubkey(cert.get()) : nullptr;
    if (!key) return false;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                      EVP_PKEY_CTX_free);
    Bytes recovered(EVP_PKEY_get_size(key));
    size_t length = recovered.size();
    if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &length, sd.signature.data(), sd.signature.size()) != 1) {
        return false;
    }
    recovered.resize(length);
    unsigned char digest[32];
    unsigned int digestLength = 0;
    EVP_Digest(sd.content.data(), sd.content.size(), digest, &digestLength, EVP_sm3(), nullptr);
    static const unsigned char kPrefix[] = {0x30, 0x30, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x81, 0x1c,
                                            0xcf, 0x55, 0x01, 0x83, 0x11, 0x05, 0x00, 0x04, 0x20};
    Bytes expected(kPrefix, kPrefix + sizeof kPrefix);
    expected.insert(expected.end(), digest, digest + digestLength);
    return recovered == expected;
}

// RSA signers: OpenSSL's own verification (the chain is not checked).
inline bool RsaVerifies(const Bytes& der) {
    const SignedData sd = Inspect(der);
    if (!sd.parsed) return false;
    if (sd.digestNid == NID_sm3) return RsaSm3Verifies(sd);
    Pkcs7Ptr p7 = ParsePkcs7(der);
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> sink(BIO_new(BIO_s_mem()), BIO_free);
    return PKCS7_verify(p7.get(), nullptr, store.get(), nullptr, sink.get(), PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
}

// SM2 signers: SM3(Z || content) with the certificate's key and the default
// signer ID, Z computed by OpenSSL.
inline bool Sm2Verifies(const Bytes& der) {
    const SignedData sd = Inspect(der);
    if (!sd.parsed || sd.certificate.empty() || sd.digestNid != NID_sm3) return false;
    X509Ptr cert = ParseCertificate(sd.certificate);
    EVP_PKEY* key = cert ? X509_get0_pubkey(cert.get()) : nullptr;
    if (!key || !EVP_PKEY_is_a(key, "SM2")) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> pctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                       EVP_PKEY_CTX_free);
    static const char kDefaultId[] = "1234567812345678";
    if (!ctx || !pctx || EVP_PKEY_CTX_set1_id(pctx.get(), kDefaultId, 16) != 1) return false;
    EVP_MD_CTX_set_pkey_ctx(ctx.get(), pctx.get());
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sm3(), nullptr, key) != 1) return false;
    return EVP_DigestVerify(ctx.get(), sd.signature.data(), sd.signature.size(),
                            reinterpret_cast<const unsigned char*>(sd.content.data()), sd.content.size()) == 1;
}

// ---- patching a function table of the loaded module ----

// Replaces one function pointer inside the module's table for the scope. The
// table may live on a read-only page and, for the packed auxiliary list, at
// an unaligned address: it is made writable and accessed bytewise.
class ScopedSlotPatch {
public:
    ScopedSlotPatch(void* slot, void* replacement) : slot_(static_cast<unsigned char*>(slot)) {
        std::memcpy(&original_, slot_, sizeof original_);
        Write(replacement);
    }
    ~ScopedSlotPatch() { Write(original_); }
    ScopedSlotPatch(const ScopedSlotPatch&) = delete;
    ScopedSlotPatch& operator=(const ScopedSlotPatch&) = delete;
    void* original() const { return original_; }

private:
    void Write(void* value) {
        const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        const uintptr_t start = reinterpret_cast<uintptr_t>(slot_) & ~(page - 1);
        const uintptr_t end = reinterpret_cast<uintptr_t>(slot_ + sizeof value);
        mprotect(reinterpret_cast<void*>(start), end - start, PROT_READ | PROT_WRITE);
        std::memcpy(slot_, &value, sizeof value);
    }
    unsigned char* slot_;
    void* original_ = nullptr;
};

// C_GetAttributeValue that reports chosen values for chosen attribute types
// and leaves the others to the module.
struct AttributeOverride {
    static std::map<CK_ATTRIBUTE_TYPE, Bytes>& values() {
        static std::map<CK_ATTRIBUTE_TYPE, Bytes> v;
        return v;
    }
    static CK_C_GetAttributeValue& real() {
        static CK_C_GetAttributeValue r = nullptr;
        return r;
    }
    static CK_RV Call(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
        std::vector<CK_ATTRIBUTE> passOn;
        for (CK_ULONG i = 0; i < count; ++i) {
            if (!values().count(tmpl[i].type)) passOn.push_back(tmpl[i]);
        }
        CK_RV rv = CKR_OK;
        if (!passOn.empty()) rv = real()(session, object, passOn.data(), passOn.size());
        for (CK_ULONG i = 0, j = 0; i < count; ++i) {
            auto it = values().find(tmpl[i].type);
            if (it == values().end()) {
                tmpl[i].ulValueLen = passOn[j++].ulValueLen;
                continue;
            }
            const Bytes& value = it->second;
            if (tmpl[i].pValue && tmpl[i].ulValueLen < value.size()) {
                tmpl[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
                if (rv == CKR_OK) rv = CKR_BUFFER_TOO_SMALL;
                continue;
            }
            if (tmpl[i].pValue) std::copy(value.begin(), value.end(), static_cast<unsigned char*>(tmpl[i].pValue));
            tmpl[i].ulValueLen = value.size();
        }
        return rv;
    }
};

class ScopedAttributeOverride {
public:
    ScopedAttributeOverride(CK_FUNCTION_LIST_PTR functions, std::map<CK_ATTRIBUTE_TYPE, Bytes> values)
        : patch_(&functions->C_GetAttributeValue,
                 reinterpret_cast<void*>(&AttributeOverride::Call)) {
        AttributeOverride::real() = reinterpret_cast<CK_C_GetAttributeValue>(patch_.original());
        AttributeOverride::values() = std::move(values);
    }
    ~ScopedAttributeOverride() { AttributeOverride::values().clear(); }

private:
    ScopedSlotPatch patch_;
};

}  // namespace signing_checks
