// The demo certification authorities (one RSA, one SM2) kept in the state
// directory, and the certificates they issue.
#pragma once

#include <string>

#include "softtoken/common/key_crypto.h"
#include "softtoken/common/state_dir.h"

namespace softtoken::tool {

// The SM2 signer ID used for every SM2 signature the CA makes or checks.
constexpr const char* kDefaultSm2Id = "1234567812345678";

struct DemoCa {
    EvpPkeyPtr key;
    X509Ptr certificate;
};

// Loads the CA of the algorithm, creating it first when missing.
DemoCa LoadOrCreateCa(const StateDir& dir, KeyAlgorithm algorithm);
std::string CaKeyFile(KeyAlgorithm algorithm);
std::string CaCertificateFile(KeyAlgorithm algorithm);

// "/C=CN/O=X/CN=Y" into a name; throws ToolError when malformed.
X509NamePtr ParseSlashName(const std::string& text);

X509Ptr IssueCertificate(const DemoCa& ca, const X509_NAME* subject, EVP_PKEY* publicKey, int days);

// Signs the certificate with the CA key (SM2 with SM3 and the default ID,
// RSA with SHA-256).
void SignCertificate(X509* certificate, EVP_PKEY* caKey);

std::string CertificatePem(X509* certificate);

}  // namespace softtoken::tool
