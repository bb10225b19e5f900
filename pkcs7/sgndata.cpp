#include "pkcs7/sgndata.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace {

// Checks the cursor of a writing call; a null cursor means "measure".
bool BadCursor(unsigned char** cursor) { return cursor != nullptr && *cursor == nullptr; }

// Ends a writing call: the bytes written must be the length measured before.
int Finish(unsigned char** cursor, unsigned char* end, int total) {
    if (end - *cursor != total) return p7::kLengthMismatch;
    *cursor = end;
    return total;
}

}  // namespace

int SignedData::SetData(const unsigned char* bytes, int length) {
    if (length < 0 || (bytes == nullptr && length > 0)) return p7::kBadBuffer;
    if (length == 0) {
        data.clear();
        return 0;
    }
    return p7::CopyInto(data, bytes, length);
}

int SignedData::GetData(unsigned char* out, int capacity) const {
    if (data.empty()) return p7::kNoMemoryOrValue;
    return p7::CopyOut(data, out, capacity);
}

int SignedData::AddCert(const unsigned char* cert, int length) {
    if (certCount >= p7::kMaxEntries) return p7::kTableFull;
    const int result = certs[certCount].SetCert(cert, length);
    if (result < 0) return result;
    return ++certCount;
}

int SignedData::AddSigner(const unsigned char* cert, int certLength, int digestCode,
                          const unsigned char* signature, int signatureLength) {
    if (signerCount >= p7::kMaxEntries) return p7::kTableFull;
    SignerInfo signer;
    if (signer.SetDigestAlgo(digestCode) == 0) return 0;
    int result = signer.SetCert(cert, certLength);
    if (result < 0) return result;
    result = signer.SetSigned(signature, signatureLength);
    if (result < 0) return result;
    signers[signerCount] = std::move(signer);
    return ++signerCount;
}

int SignedData::EncodeSetDigests(unsigned char** cursor, int capacity) const {
    if (BadCursor(cursor)) return p7::kTooLarge;
    std::vector<int> codes;
    for (int i = 0; i < signerCount; ++i) {
        const int code = signers[i].GetDigestAlgo();
        if (!p7::IsDigestCode(code)) return p7::kBadDigest;
        if (std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(code);
    }
    int64_t content = 0;
    for (int code : codes) content += SignerInfo::DigestAlgorithmId(code).size;
    const int total = SignerCert::adjustLen(content, capacity, p7::kInnerLengthBytes);
    if (total < 0 || cursor == nullptr) return total;

    unsigned char* p = der::WriteHeader(*cursor, der::kTagSet, content);
    for (int code : codes) p = der::Put(p, SignerInfo::DigestAlgorithmId(code));
    return Finish(cursor, p, total);
}

int SignedData::EncodeData(unsigned char** cursor, int capacity) const {
    if (BadCursor(cursor)) return p7::kTooLarge;
    const int64_t oidSize = sizeof p7::kOidData;
    int explicitContent = 0;  // the [0] element around the OCTET STRING
    int octetString = 0;
    if (data.empty()) {
        explicitContent = 2;
    } else {
        octetString = SignerCert::adjustLen(static_cast<int64_t>(data.size()), capacity);
        if (octetString < 0) return octetString;
        explicitContent = SignerCert::adjustLen(octetString, capacity);
        if (explicitContent < 0) return explicitContent;
    }
    const int64_t content = oidSize + explicitContent;
    const int total = SignerCert::adjustLen(content, capacity);
    if (total < 0 || cursor == nullptr) return total;

    unsigned char* p = der::WriteHeader(*cursor, der::kTagSequence, content);
    p = der::Put(p, der::MakeView(p7::kOidData));
    if (data.empty()) {
        p = der::WriteHeader(p, der::kTagContext0, 0);
    } else {
        p = der::WriteHeader(p, der::kTagContext0, octetString);
        p = der::WriteHeader(p, der::kTagOctetString, data.size());
        p = der::Put(p, data);
    }
    return Finish(cursor, p, total);
}

int SignedData::EncodeSetCerts(unsigned char** cursor, int capacity) const {
    if (BadCursor(cursor)) return p7::kTooLarge;
    std::vector<const SignerCert*> all;
    for (int i = 0; i < certCount; ++i) all.push_back(&certs[i]);
    for (int i = 0; i < signerCount; ++i) all.push_back(&signers[i]);

    int64_t content = 0;
    for (const SignerCert* cert : all) {
        const int length = cert->SignerCert::Encode(nullptr, capacity);
        if (length < 0) return length;
        content += length;
    }
    const int total = SignerCert::adjustLen(content, capacity, p7::kInnerLengthBytes);
    if (total < 0 || cursor == nullptr) return total;

    unsigned char* p = der::WriteHeader(*cursor, der::kTagContext0, content);
    int remaining = capacity - static_cast<int>(p - *cursor);
    for (const SignerCert* cert : all) {
        const int length = cert->SignerCert::Encode(&p, remaining);
        if (length < 0) return length;
        remaining -= length;
    }
    return Finish(cursor, p, total);
}

int SignedData::EncodeSetSigner(unsigned char** cursor, int capacity) const {
    if (BadCursor(cursor)) return p7::kTooLarge;
    int64_t content = 0;
    for (int i = 0; i < signerCount; ++i) {
        const int length = signers[i].Encode(nullptr, capacity);
        if (length < 0) return length;
        content += length;
    }
    const int total = SignerCert::adjustLen(content, capacity, p7::kInnerLengthBytes);
    if (total < 0 || cursor == nullptr) return total;

    unsigned char* p = der::WriteHeader(*cursor, der::kTagSet, content);
    int remaining = capacity - static_cast<int>(p - *cursor);
    for (int i = 0; i < signerCount; ++i) {
        const int length = signers[i].Encode(&p, remaining);
        if (length < 0) return length;
        remaining -= length;
    }
    return Finish(cursor, p, total);
}

int SignedData::EncodePart(int part, unsigned char** cursor, int capacity) const {
    switch (part) {
    case 0: return EncodeSetDigests(cursor, capacity);
    case 1: return EncodeData(cursor, capacity);
    case 2: return EncodeSetCerts(cursor, capacity);
    default: return EncodeSetSigner(cursor, capacity);
    }
}

int SignedData::Encode(unsigned char** cursor, int capacity) const {
    if (BadCursor(cursor) || capacity < 0) return p7::kTooLarge;
    constexpr int kVersionSize = 3;

    // First pass: the length of every part, each within what the others left.
    int partLengths[kPartCount] = {};
    int64_t signedContent = kVersionSize;
    int remaining = capacity - kVersionSize;
    for (int i = 0; i < kPartCount; ++i) {
        const int length = EncodePart(i, nullptr, remaining);
        if (length < 0) return length;
        partLengths[i] = length;
        signedContent += length;
        remaining -= length;
    }
    const int signedData = SignerCert::adjustLen(signedContent, capacity);
    if (signedData < 0) return signedData;
    const int explicitContent = SignerCert::adjustLen(signedData, capacity);
    if (explicitContent < 0) return explicitContent;
    const int64_t contentInfo = int64_t(sizeof p7::kOidSignedData) + explicitContent;
    const int total = SignerCert::adjustLen(contentInfo, capacity);
    if (total < 0 || cursor == nullptr) return total;

    // Second pass: headers with their final lengths, then every part in place.
    unsigned char* const start = *cursor;
    unsigned char* p = der::WriteHeader(start, der::kTagSequence, contentInfo);
    p = der::Put(p, der::MakeView(p7::kOidSignedData));
    p = der::WriteHeader(p, der::kTagContext0, signedData);
    p = der::WriteHeader(p, der::kTagSequence, signedContent);
    p = der::WriteHeader(p, der::kTagInteger, 1);
    *p++ = static_cast<unsigned char>(version);
    remaining = capacity - static_cast<int>(p - start);
    for (int i = 0; i < kPartCount; ++i) {
        const int length = EncodePart(i, &p, remaining);
        if (length < 0) return length;
        if (length != partLengths[i]) return p7::kLengthMismatch;
        remaining -= length;
    }
    return Finish(cursor, p, total);
}
