#include "softtoken/tool/demo_ca.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>

#include "softtoken/common/cert_info.h"
#include "softtoken/tool/tool_context.h"

namespace softtoken::tool {

namespace {

constexpr int kCaDays = 3650;

std::string AlgorithmName(KeyAlgorithm algorithm) { return algorithm == KeyAlgorithm::Rsa ? "rsa" : "sm2"; }

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension) throw ToolError("cannot build certificate extension");
    int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    if (added != 1) throw ToolError("cannot add certificate extension");
}

void SetSerialAndValidity(X509* certificate, int days) {
    unsigned char random[8] = {0};
    RandomBytes(random, sizeof random);
    random[0] &= 0x7F;  // positive
    BignumPtr serial(BN_bin2bn(random, sizeof random, nullptr));
    if (!serial || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) ||
        !X509_gmtime_adj(X509_getm_notBefore(certificate), -24L * 3600) ||
        !X509_time_adj_ex(X509_getm_notAfter(certificate), days, 0, nullptr)) {
        throw ToolError("cannot set certificate serial or validity");
    }
}

X509Ptr NewCertificate(const X509_NAME* subject, const X509_NAME* issuer, EVP_PKEY* publicKey, int days) {
    X509Ptr certificate(X509_new());
    if (!certificate || X509_set_version(certificate.get(), 2) != 1 ||
        X509_set_subject_name(certificate.get(), subject) != 1 ||
        X509_set_issuer_name(certificate.get(), issuer) != 1 || X509_set_pubkey(certificate.get(), publicKey) != 1) {
        throw ToolError("cannot build certificate");
    }
    SetSerialAndValidity(certificate.get(), days);
    return certificate;
}

DemoCa CreateCa(KeyAlgorithm algorithm) {
    DemoCa ca;
    ca.key = GenerateKey(algorithm, 2048);
    if (!ca.key) throw ToolError("cannot generate CA key");
    X509NamePtr name = ParseSlashName(algorithm == KeyAlgorithm::Rsa ? "/C=CN/O=Demo Bank/CN=Demo RSA CA"
                                                                     : "/C=CN/O=Demo Bank/CN=Demo SM2 CA");
    ca.certificate = NewCertificate(name.get(), name.get(), ca.key.get(), kCaDays);
    AddExtension(ca.certificate.get(), ca.certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca.certificate.get(), ca.certificate.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(ca.certificate.get(), ca.certificate.get(), NID_subject_key_identifier, "hash");
    SignCertificate(ca.certificate.get(), ca.key.get());
    return ca;
}

BioPtr MemoryBio(const std::string& text) {
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

}  // namespace

std::string CaKeyFile(KeyAlgorithm algorithm) { return "ca-" + AlgorithmName(algorithm) + "-key.pem"; }
std::string CaCertificateFile(KeyAlgorithm algorithm) { return "ca-" + AlgorithmName(algorithm) + "-cert.pem"; }

DemoCa LoadOrCreateCa(const StateDir& dir, KeyAlgorithm algorithm) {
    std::string keyPem, certificatePem;
    if (dir.Read(CaKeyFile(algorithm), keyPem) && dir.Read(CaCertificateFile(algorithm), certificatePem)) {
        DemoCa ca;
        ca.key = PrivateKeyFromPem(keyPem);
        BioPtr bio = MemoryBio(certificatePem);
        ca.certificate.reset(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        if (!ca.key || !ca.certificate) throw ToolError("the demo " + AlgorithmName(algorithm) + " CA is damaged");
        return ca;
    }
    DemoCa ca = CreateCa(algorithm);
    if (!dir.WriteAtomically(CaKeyFile(algorithm), PrivateKeyToPem(ca.key.get())) ||
        !dir.WriteAtomically(CaCertificateFile(algorithm), CertificatePem(ca.certificate.get()))) {
        throw ToolError("cannot store the demo CA");
    }
    return ca;
}

X509NamePtr ParseSlashName(const std::string& text) {
    if (text.empty() || text[0] != '/') throw ToolError("a subject looks like /C=CN/O=Org/CN=Name: " + text);
    X509NamePtr name(X509_NAME_new());
    size_t position = 1;
    while (position <= text.size()) {
        size_t end = text.find('/', position);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(position, end - position);
        size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == item.size()) {
            throw ToolError("bad subject item: " + item);
        }
        std::string field = item.substr(0, equals);
        std::string value = item.substr(equals + 1);
        if (X509_NAME_add_entry_by_txt(name.get(), field.c_str(), MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()),
                                       static_cast<int>(value.size()), -1, 0) != 1) {
            throw ToolError("bad subject item: " + item);
        }
        position = end + 1;
    }
    return name;
}

void SignCertificate(X509* certificate, EVP_PKEY* caKey) {
    bool sm2 = AlgorithmOf(caKey) == KeyAlgorithm::Sm2;
    EvpMdCtxPtr digest(EVP_MD_CTX_new());
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, caKey, nullptr));
    if (!digest || !context) throw ToolError("cannot sign certificate");
    if (sm2 && EVP_PKEY_CTX_set1_id(context.get(), kDefaultSm2Id, std::strlen(kDefaultSm2Id)) != 1) {
        throw ToolError("cannot set the SM2 signer ID");
    }
    // The digest context takes the key context over.
    EVP_MD_CTX_set_pkey_ctx(digest.get(), context.get());
    if (EVP_DigestSignInit(digest.get(), nullptr, sm2 ? EVP_sm3() : EVP_sha256(), nullptr, caKey) != 1 ||
        X509_sign_ctx(certificate, digest.get()) <= 0) {
        EVP_MD_CTX_set_pkey_ctx(digest.get(), nullptr);
        throw ToolError("cannot sign certificate");
    }
    EVP_MD_CTX_set_pkey_ctx(digest.get(), nullptr);
}

X509Ptr IssueCertificate(const DemoCa& ca, const X509_NAME* subject, EVP_PKEY* publicKey, int days) {
    X509Ptr certificate =
        NewCertificate(subject, X509_get_subject_name(ca.certificate.get()), publicKey, days);
    AddExtension(certificate.get(), ca.certificate.get(), NID_basic_constraints, "CA:FALSE");
    AddExtension(certificate.get(), ca.certificate.get(), NID_key_usage, "critical,digitalSignature,nonRepudiation");
    AddExtension(certificate.get(), ca.certificate.get(), NID_subject_key_identifier, "hash");
    AddExtension(certificate.get(), ca.certificate.get(), NID_authority_key_identifier, "keyid:always");
    SignCertificate(certificate.get(), ca.key.get());
    return certificate;
}

std::string CertificatePem(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) throw ToolError("cannot write certificate PEM");
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

}  // namespace softtoken::tool
