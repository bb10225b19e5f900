// The demo CAs: their certificates and keys, and issuing certificates for
// PKCS#10 requests.
#include <openssl/pem.h>

#include <climits>
#include <cstring>

#include "softtoken/common/cert_info.h"
#include "softtoken/tool/commands.h"
#include "softtoken/tool/demo_ca.h"

namespace softtoken::tool {

namespace {

constexpr int kDefaultIssueDays = 365;

KeyAlgorithm ParseAlgorithm(const std::string& text) {
    if (text == "rsa") return KeyAlgorithm::Rsa;
    if (text == "sm2") return KeyAlgorithm::Sm2;
    throw ToolError("--alg takes rsa or sm2");
}

// A request in PEM or DER.
X509ReqPtr ReadRequest(const std::string& path) {
    std::vector<char> file = ReadWholeFile(path);
    if (file.empty() || file.size() > INT_MAX) throw ToolError("empty or oversized request " + path);
    BioPtr bio(BIO_new_mem_buf(file.data(), static_cast<int>(file.size())));
    X509ReqPtr request(bio ? PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!request) {
        const unsigned char* cursor = reinterpret_cast<const unsigned char*>(file.data());
        request.reset(d2i_X509_REQ(nullptr, &cursor, static_cast<long>(file.size())));
    }
    if (!request) throw ToolError("cannot parse the request " + path);
    return request;
}

// SM2 requests are signed over Z of the default signer ID.
bool RequestSignatureValid(X509_REQ* request, EVP_PKEY* key) {
    if (AlgorithmOf(key) == KeyAlgorithm::Sm2) {
        ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
        if (!id || ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>(kDefaultSm2Id),
                                         static_cast<int>(std::strlen(kDefaultSm2Id))) != 1) {
            ASN1_OCTET_STRING_free(id);
            return false;
        }
        X509_REQ_set0_distinguishing_id(request, id);  // the request owns it now
    }
    return X509_REQ_verify(request, key) == 1;
}

void WriteKeyFileOrCertificate(ToolContext& context, const std::string& content) {
    WriteWholeFile(context.Required("out"), content);
}

}  // namespace

void CaCertCommand(ToolContext& context) {
    DemoCa ca = LoadOrCreateCa(context.store().dir(), ParseAlgorithm(context.Required("alg")));
    WriteKeyFileOrCertificate(context, CertificatePem(ca.certificate.get()));
}

void CaKeyCommand(ToolContext& context) {
    DemoCa ca = LoadOrCreateCa(context.store().dir(), ParseAlgorithm(context.Required("alg")));
    WriteKeyFileOrCertificate(context, PrivateKeyToPem(ca.key.get()));
}

void IssueCommand(ToolContext& context) {
    X509ReqPtr request = ReadRequest(context.Required("csr"));
    std::string path = context.Required("out");
    EVP_PKEY* key = X509_REQ_get0_pubkey(request.get());
    auto keyAlgorithm = AlgorithmOf(key);
    if (!keyAlgorithm) throw ToolError("the request's key is neither RSA nor SM2");
    KeyAlgorithm caAlgorithm = context.Has("alg") ? ParseAlgorithm(context.Option("alg")) : *keyAlgorithm;
    if (!RequestSignatureValid(request.get(), key)) throw ToolError("the request's signature does not verify");
    std::string format = context.Option("format", "pem");
    if (format != "pem" && format != "der") throw ToolError("--format takes pem or der");
    int days = static_cast<int>(context.Number("days", kDefaultIssueDays, 36500));

    DemoCa ca = LoadOrCreateCa(context.store().dir(), caAlgorithm);
    X509Ptr certificate = IssueCertificate(ca, X509_REQ_get_subject_name(request.get()), key, days);
    WriteWholeFile(path, format == "pem" ? CertificatePem(certificate.get())
                                         : TextOf(CertificateDer(certificate.get())));
}

}  // namespace softtoken::tool
