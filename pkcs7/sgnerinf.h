// One SignerInfo of a PKCS#7 SignedData: the signer's certificate (for its
// issuer and serial), the digest code and the encrypted digest.
#pragma once

#include <cstddef>
#include <vector>

#include "pkcs7/sgncer.h"

class SignerInfo : public SignerCert {
public:
    using SignerCert::adjustLen;

    // Returns the code, or 0 (and keeps the previous one) when it is not 1..6.
    int SetDigestAlgo(int code);
    int GetDigestAlgo() const { return digestAlgo; }
    // The encrypted digest exactly as it goes into the OCTET STRING.
    int SetSigned(const unsigned char* signature, int length);
    int GetSigned(unsigned char* out, int capacity) const;

    // Content length of the SignerInfo SEQUENCE, or a negative code.
    int adjustLen(int capacity) const;
    // Writes the whole SignerInfo SEQUENCE.
    int Encode(unsigned char** cursor, int capacity) const;

    // The AlgorithmIdentifier of a digest code, and of the signature
    // algorithm it implies (rsaEncryption for 1..5, SM2 for 6).
    static der::View DigestAlgorithmId(int code);
    static der::View SignatureAlgorithmId(int code);

private:
    int version = 1;
    int digestAlgo = 0;
    std::vector<unsigned char> signature;
};

namespace p7 {
// DER SEQUENCE of the two INTEGERs r and s from a signature holding r then s
// (halves of equal length, big-endian), each in the shortest form. False when
// the signature is empty or of odd length.
bool EncodeSm2Signature(const unsigned char* rs, size_t length, std::vector<unsigned char>& out);
}  // namespace p7
