// PKCS#7 SignedData with attached content, written as DER by hand.
#pragma once

#include <array>
#include <vector>

#include "pkcs7/sgnerinf.h"

class SignedData {
public:
    // Content to attach; a length of 0 clears it. Returns the length or a
    // negative code.
    int SetData(const unsigned char* bytes, int length);
    int GetData(unsigned char* out, int capacity) const;
    // Returns the new certificate count, or a negative code.
    int AddCert(const unsigned char* cert, int length);
    // Returns the new signer count, 0 for a digest code outside 1..6, or a
    // negative code. Nothing is added on failure.
    int AddSigner(const unsigned char* cert, int certLength, int digestCode, const unsigned char* signature,
                  int signatureLength);

    // The whole ContentInfo. Lengths are measured first so that every header
    // is written once, in place; a null cursor only measures.
    int Encode(unsigned char** cursor, int capacity) const;

    int EncodeSetDigests(unsigned char** cursor, int capacity) const;
    int EncodeData(unsigned char** cursor, int capacity) const;
    int EncodeSetCerts(unsigned char** cursor, int capacity) const;
    int EncodeSetSigner(unsigned char** cursor, int capacity) const;

private:
    static constexpr int kPartCount = 4;
    // The parts of SignedData after its version, in order: digests, content,
    // certificates, signers.
    int EncodePart(int part, unsigned char** cursor, int capacity) const;

    int version = 1;
    std::array<SignerCert, p7::kMaxEntries> certs;
    int certCount = 0;
    std::array<SignerInfo, p7::kMaxEntries> signers;
    int signerCount = 0;
    std::vector<unsigned char> data;
};
