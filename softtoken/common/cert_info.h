// What the token needs to know about a DER certificate.
#pragma once

#include <optional>
#include <string>

#include "softtoken/common/key_crypto.h"

namespace softtoken {

struct CertificateFacts {
    Bytes subjectDer;
    Bytes issuerDer;
    Bytes serialDer;           // DER INTEGER
    std::string subjectText;   // comma-joined, most specific RDN first ("CN=...,O=...,C=CN")
    Bytes publicKeyForm;       // as in CKA_MODULUS; empty for keys the token cannot hold
};

// Nullopt when the bytes are not exactly one DER X.509 certificate.
std::optional<CertificateFacts> ReadCertificate(const Bytes& der);
X509Ptr ParseCertificate(const Bytes& der);
Bytes CertificateDer(X509* certificate);

// A name's one-line text in the token's reporting form (as subjectText).
std::string NameText(const X509_NAME* name);

}  // namespace softtoken
