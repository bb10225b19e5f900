// E_WriteCertificate: certificates issued for key pairs on the token.
#include <openssl/pkcs7.h>

#include <climits>

#include "softtoken/common/cert_info.h"
#include "softtoken/common/key_pairs.h"
#include "softtoken/module/aux_api.h"
#include "softtoken/module/runtime.h"
#include "support/der.h"

namespace softtoken::aux {

namespace {

// Certificates and bundles larger than this are not for a USB key.
constexpr size_t kMaxCertificateDer = 1 << 20;

// Reads the DER element at start, taking its length from its own header and
// touching no byte beyond what the header announces.
std::optional<Bytes> ReadDerElement(const unsigned char* start) {
    if (start[0] != der::kTagSequence) return std::nullopt;
    size_t headerLength = 2;
    if (start[1] & 0x80) {
        size_t count = start[1] & 0x7F;
        if (count == 0 || count > 3) return std::nullopt;  // indefinite, or beyond the bound anyway
        headerLength += count;
    }
    auto total = der::ElementLength(start, headerLength + kMaxCertificateDer);
    if (!total || *total > kMaxCertificateDer) return std::nullopt;
    return Bytes(start, start + *total);
}

// Stores the certificate for the pair carrying its key; false when no pair does.
bool StoreForItsPair(Token& token, const Bytes& der) {
    auto facts = ReadCertificate(der);
    Bytes pairId = facts ? PairCarrying(token, facts->publicKeyForm) : Bytes();
    if (pairId.empty()) return false;
    for (const TokenObject& object : token.objects) {
        const Bytes* value = object.Attribute(CKA_VALUE);
        if (object.IsClass(CKO_CERTIFICATE) && object.PairId() == pairId && value && *value == der) return true;
    }
    AddCertificate(token, der, pairId);
    return true;
}

std::vector<Bytes> BundleCertificates(const Bytes& der) {
    std::vector<Bytes> certificates;
    const unsigned char* cursor = der.data();
    Pkcs7Ptr bundle(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
    if (!bundle || !PKCS7_type_is_signed(bundle.get()) || !bundle->d.sign) return certificates;
    STACK_OF(X509)* stack = bundle->d.sign->cert;
    for (int i = 0; stack && i < sk_X509_num(stack); ++i) {
        Bytes certificate = CertificateDer(sk_X509_value(stack, i));
        if (!certificate.empty()) certificates.push_back(std::move(certificate));
    }
    return certificates;
}

}  // namespace

CK_RV WriteCertificate(CK_SLOT_ID slot, const unsigned char* der) {
    if (!der) return CKR_ARGUMENTS_BAD;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSlotToken(slot, store, token); rv != CKR_OK) return rv;
    auto element = ReadDerElement(der);
    if (!element) return CKR_ARGUMENTS_BAD;

    bool stored = false;
    if (ParseCertificate(*element)) {
        stored = StoreForItsPair(token, *element);
    } else {
        for (const Bytes& certificate : BundleCertificates(*element)) {
            stored = StoreForItsPair(token, certificate) || stored;
        }
    }
    if (!stored) return CKR_ARGUMENTS_BAD;
    return store->Save(token) ? CKR_OK : CKR_DEVICE_ERROR;
}

}  // namespace softtoken::aux
