#include "softtoken/common/cert_info.h"

#include <climits>

namespace softtoken {

namespace {
template <typename T, int (*Encode)(const T*, unsigned char**)>
Bytes Encoded(const T* object) {
    if (!object) return Bytes();
    int length = Encode(object, nullptr);
    if (length <= 0) return Bytes();
    Bytes bytes(static_cast<size_t>(length));
    unsigned char* cursor = bytes.data();
    if (Encode(object, &cursor) != length) return Bytes();
    return bytes;
}
}  // namespace

X509Ptr ParseCertificate(const Bytes& der) {
    if (der.empty() || der.size() > INT_MAX) return nullptr;
    const unsigned char* cursor = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    // Trailing bytes mean the value is something other than one certificate.
    if (!certificate || cursor != der.data() + der.size()) return nullptr;
    return certificate;
}

Bytes CertificateDer(X509* certificate) { return Encoded<X509, i2d_X509>(certificate); }

std::string NameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !name) return "";
    if (X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) return "";
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 && data ? std::string(data, static_cast<size_t>(length)) : std::string();
}

std::optional<CertificateFacts> ReadCertificate(const Bytes& der) {
    X509Ptr certificate = ParseCertificate(der);
    if (!certificate) return std::nullopt;
    CertificateFacts facts;
    facts.subjectDer = Encoded<X509_NAME, i2d_X509_NAME>(X509_get_subject_name(certificate.get()));
    facts.issuerDer = Encoded<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(certificate.get()));
    facts.serialDer = Encoded<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(certificate.get()));
    facts.subjectText = NameText(X509_get_subject_name(certificate.get()));
    facts.publicKeyForm = PublicKeyForm(X509_get0_pubkey(certificate.get()));
    return facts;
}

}  // namespace softtoken
