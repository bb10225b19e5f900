// File signing: the key's module reads the file and completes the signing
// text from the prefix the host builds; the host then rebuilds the complete
// text to pack it with the signature, and makes sure both saw the same file.
#include "device/DeviceP11Operation.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string_view>

#include "device/message_signing.h"
#include "device/module_connection.h"
#include "device/p11_session.h"
#include "device/pkcs7_packing.h"
#include "device/text_conversion.h"
#include "support/Gener_Func.h"
#include "support/openssl_ptr.h"
#include "support/result_codes.h"

namespace {

constexpr size_t kSignatureCapacity = 1024;
constexpr size_t kSm2SignatureLength = 64;  // r || s

long SignFileWithModule(const P11Session& session, AUX_FUNCTION_LIST* aux, CK_MECHANISM_TYPE mechanismType,
                        CK_OBJECT_HANDLE key, const std::string& data, const std::string& display,
                        const std::string& filePath, std::vector<unsigned char>& signature) {
    auto signFile = AuxEntryAt<E_SignFileWithDisplay_t>(aux, AUX_SIGN_FILE_WITH_DISPLAY);
    if (!signFile) return rc::kCannotConnect;
    CK_MECHANISM mechanism{mechanismType, nullptr, 0};
    std::vector<unsigned char> buffer(kSignatureCapacity);
    CK_ULONG length = buffer.size();
    CK_RV rv = session.Record("E_SignFileWithDisplay",
                              signFile(session.handle(), key, &mechanism,
                                       reinterpret_cast<const unsigned char*>(data.data()), display.c_str(),
                                       filePath.c_str(), buffer.data(), &length, 0));
    if (rv != CKR_OK) return MapSignResult(rv);
    if (length > buffer.size()) return rc::kCannotConnect;
    buffer.resize(length);
    signature = std::move(buffer);
    return 0;
}

// The module returns signatures least-significant byte first.
std::vector<unsigned char> BigEndianSignature(std::vector<unsigned char> signature, bool sm2) {
    if (sm2) {
        const size_t half = signature.size() / 2;
        InvertBuffer(signature.data(), half);
        InvertBuffer(signature.data() + half, half);
    } else {
        InvertBuffer(signature.data(), signature.size());
    }
    return signature;
}

struct RsaHash {
    const EVP_MD* digest;
    int nid;  // of the DigestInfo's algorithm
};

bool RsaHashOf(CK_MECHANISM_TYPE mechanism, RsaHash& hash) {
    switch (mechanism) {
        case CKM_SHA1_RSA_PKCS: hash = {EVP_sha1(), NID_sha1}; return true;
        case CKM_SHA256_RSA_PKCS: hash = {EVP_sha256(), NID_sha256}; return true;
        case CKM_SHA384_RSA_PKCS: hash = {EVP_sha384(), NID_sha384}; return true;
        case CKM_SHA512_RSA_PKCS: hash = {EVP_sha512(), NID_sha512}; return true;
        case CKM_VENDOR_SM2_SM3: hash = {EVP_sm3(), NID_sm3}; return true;
        default: return false;
    }
}

// Recovers the DigestInfo and compares algorithm and digest. (OpenSSL's own
// PKCS#1 check knows SM3 under another object identifier than the key's.)
bool RsaSignatureVerifies(EVP_PKEY* key, CK_MECHANISM_TYPE mechanism, std::string_view content,
                          const std::vector<unsigned char>& signature) {
    RsaHash hash{};
    if (!RsaHashOf(mechanism, hash) || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(content.data(), content.size(), digest, &digestLength, hash.digest, nullptr) != 1) return false;

    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
        return false;
    }
    size_t recoveredLength = 0;
    if (EVP_PKEY_verify_recover(ctx.get(), nullptr, &recoveredLength, signature.data(), signature.size()) != 1) {
        return false;
    }
    std::vector<unsigned char> recovered(recoveredLength);
    if (EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &recoveredLength, signature.data(), signature.size()) !=
        1) {
        return false;
    }
    const unsigned char* cursor = recovered.data();
    X509SigPtr info(d2i_X509_SIG(nullptr, &cursor, static_cast<long>(recoveredLength)));
    if (!info || cursor != recovered.data() + recoveredLength) return false;
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* signedDigest = nullptr;
    X509_SIG_get0(info.get(), &algorithm, &signedDigest);
    return OBJ_obj2nid(algorithm->algorithm) == hash.nid &&
           static_cast<unsigned int>(ASN1_STRING_length(signedDigest)) == digestLength &&
           std::memcmp(ASN1_STRING_get0_data(signedDigest), digest, digestLength) == 0;
}

// content already begins with the Z value: the key signs e = SM3(content).
bool Sm2SignatureVerifies(EVP_PKEY* key, std::string_view content, const std::vector<unsigned char>& signature) {
    if (signature.size() != kSm2SignatureLength) return false;
    unsigned char e[EVP_MAX_MD_SIZE];
    unsigned int eLength = 0;
    if (EVP_Digest(content.data(), content.size(), e, &eLength, EVP_sm3(), nullptr) != 1) return false;

    EcdsaSigPtr sig(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(signature.data(), kSm2SignatureLength / 2, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + kSm2SignatureLength / 2, kSm2SignatureLength / 2, nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0) return false;
    const OpenSslBytes derOwner(der);

    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return false;
    return EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(derLength), e, eLength) == 1;
}

// Whether the signature the module made verifies over the content the host is
// about to pack, with the certificate's public key. A file that changed while
// the module read it yields a SignedData nobody can verify.
bool ModuleSignatureVerifies(const std::vector<unsigned char>& certificate, CK_MECHANISM_TYPE mechanism, bool sm2,
                             std::string_view content, const std::vector<unsigned char>& moduleSignature) {
    if (certificate.empty() || certificate.size() > static_cast<size_t>(LONG_MAX)) return false;
    const unsigned char* cursor = certificate.data();
    X509Ptr cert(d2i_X509(nullptr, &cursor, static_cast<long>(certificate.size())));
    EVP_PKEY* key = cert ? X509_get0_pubkey(cert.get()) : nullptr;
    if (!key) return false;
    const std::vector<unsigned char> signature = BigEndianSignature(moduleSignature, sm2);
    return sm2 ? Sm2SignatureVerifies(key, content, signature)
               : RsaSignatureVerifies(key, mechanism, content, signature);
}

// The complete text must extend the prefix the module completed: every length
// in the prefix (the file record's above all) already counts the file's
// Base64 text, so a file that grew or shrank in between breaks the match.
bool ExtendsPrefix(std::string_view complete, const std::string& prefix) {
    return complete.size() >= prefix.size() && complete.compare(0, prefix.size(), prefix) == 0;
}

// Whether both paths name one file, however they are spelled: its signature
// would take the place of the document being signed.
bool NameSameFile(const std::string& first, const std::string& second) {
    struct stat a {};
    struct stat b {};
    return !first.empty() && !second.empty() && stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

long DeviceP11Operation::GMUSBKeySignFile(const char* dn, const char* hashName, const char* xmlMsg,
                                          const char* keyMsg, const char* filePath, const char* p7Path,
                                          std::string& out) {
    const std::string path = filePath ? filePath : "";
    const std::string outputPath = p7Path ? p7Path : "";
    if (NameSameFile(path, outputPath)) return rc::kBadParameter;
    SelectedToken token;
    if (long rule = m_module->CheckToken(token)) return rule;
    P11Session session;
    if (!token.OpenSession(session)) return rc::kCannotConnect;

    SignerSelection signer;
    const bool utf8 = m_module->GetCharsetFlag() == 1;
    long rv = SelectSigner(session, utf8, dn, xmlMsg, keyMsg, path, SigningTextLayout::FilePrefix, signer);
    if (rv != 0) return rv;
    CK_MECHANISM_TYPE mechanism = 0;
    rv = ChooseMechanism(signer.found && signer.sm2, UpperCaseHashName(hashName ? hashName : ""), mechanism);
    if (rv != 0) return rv;
    if (!signer.found) return rc::kBadParameter;
    const std::string& prefix = signer.text;

    rv = LoginWithPrompt(session, token);
    if (rv != 0) return rv;
    CK_OBJECT_HANDLE key = 0;
    rv = FindPrivateKey(session, signer.pairId, key);
    if (rv != 0) return rv;
    // The key shows the key message exactly as the signing text carries it.
    const std::string display = utf8 ? std::string(keyMsg) : UTF8ToGBK(keyMsg, std::strlen(keyMsg));
    std::vector<unsigned char> signature;
    rv = SignFileWithModule(session, token.aux, mechanism, key, DataForToken(signer, prefix), display, path, signature);
    if (rv != 0) return rv;
    session.Close();

    // The complete text is built where it is packed, behind the Z value.
    std::string buffer;
    size_t textStart = 0;
    rv = MakeSigningBuffer(utf8, xmlMsg, keyMsg, path, signer.binaryText, signer.sm2 ? signer.z : nullptr,
                           signer.certificate, false, buffer, textStart);
    if (rv != 0) return rv;
    const std::string_view complete = std::string_view(buffer).substr(textStart);
    if (!ExtendsPrefix(complete, prefix)) return rc::kReadFailed;
    const size_t contentStart = textStart - (signer.sm2 ? sizeof signer.z : 0);
    if (!ModuleSignatureVerifies(signer.certificate, mechanism, signer.sm2,
                                 std::string_view(buffer).substr(contentStart), signature)) {
        return rc::kReadFailed;
    }

    std::string packed;
    rv = PackCert2P7SignFileInPlace(buffer, textStart, signer.certificate, signature, mechanism, signer.sm2, packed,
                                    outputPath);
    if (rv == 0 && outputPath.empty()) out = std::move(packed);
    return rv;
}
