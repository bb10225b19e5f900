// One certificate of a PKCS#7 SignedData and its issuer-and-serial identifier.
#pragma once

#include <cstdint>
#include <vector>

#include "pkcs7/identifiers.h"
#include "pkcs7/p7codes.h"

// Encoders in this folder share one convention: Encode(cursor, capacity)
// writes at *cursor, advances it and returns the bytes written; a null cursor
// only measures, returning what would be written (capacity checks included).
class SignerCert {
public:
    // Copies the certificate and derives its identifier. Returns the
    // identifier length, or a negative code; on failure nothing changes.
    int SetCert(const unsigned char* cert, int length);
    // Derives the identifier (DER issuer name, then DER serial INTEGER) again.
    int getID();
    int GetCert(unsigned char* out, int capacity) const;
    int GetID(unsigned char* out, int capacity) const;

    // Size of a TLV holding contentLength bytes, or kTooLarge when it needs
    // more length bytes than allowed or exceeds capacity.
    static int adjustLen(int64_t contentLength, int capacity, int maxLengthBytes = p7::kOuterLengthBytes);

    // Writes the certificate's DER as it is.
    int Encode(unsigned char** cursor, int capacity) const;

    int CertLength() const { return static_cast<int>(cert.size()); }
    int IdLength() const { return static_cast<int>(id.size()); }

protected:
    std::vector<unsigned char> cert;
    std::vector<unsigned char> id;
};

namespace p7 {
// Copies [bytes, bytes + length) into target; kNoMemoryOrValue without memory.
int CopyInto(std::vector<unsigned char>& target, const unsigned char* bytes, int length);
// Copies value to out when it fits; kBadBuffer otherwise.
int CopyOut(const std::vector<unsigned char>& value, unsigned char* out, int capacity);
}  // namespace p7
