#include "pkcs7/sgnerinf.h"

#include <algorithm>

der::Bytes _SignerInfo::DigestAlgorithmId(int code) {
    switch (code) {
    case p7::kDigestMd5: return der::MakeBytes(der::kAlgMd5);
    case p7::kDigestSha1: return der::MakeBytes(der::kAlgSha1);
    case p7::kDigestSha256: return der::MakeBytes(der::kAlgSha256);
    case p7::kDigestSha384: return der::MakeBytes(der::kAlgSha384);
    case p7::kDigestSha512: return der::MakeBytes(der::kAlgSha512);
    case p7::kDigestSm3: return der::MakeBytes(der::kAlgSm3);
    default: return der::Bytes{nullptr, 0};
    }
}

der::Bytes _SignerInfo::SignatureAlgorithmId(int code) {
    if (!p7::IsDigestCode(code)) return der::Bytes{nullptr, 0};
    return code == p7::kDigestSm3 ? der::MakeBytes(der::kAlgSm2) : der::MakeBytes(der::kAlgRsaEncryption);
}

int _SignerInfo::SetDigestAlgo(int code) {
    if (!p7::IsDigestCode(code)) return 0;
    digestAlgo = code;
    return code;
}

int _SignerInfo::SetSigned(const unsigned char* bytes, int length) {
    if (bytes == nullptr || length < 1) return p7::kBadBuffer;
    return p7::CopyInto(signature, bytes, length);
}

int _SignerInfo::GetSigned(unsigned char* out, int capacity) const {
    if (signature.empty()) return p7::kNoMemoryOrValue;
    return p7::CopyOut(signature, out, capacity);
}

int _SignerInfo::adjustLen(int capacity) const {
    if (!p7::IsDigestCode(digestAlgo)) return p7::kBadDigest;
    if (id.empty()) return p7::kNoIdentifier;
    if (signature.empty()) return p7::kBadBuffer;
    const int issuerAndSerial = adjustLen(IdLength(), capacity, der::kInnerLengthBytes);
    if (issuerAndSerial < 0) return issuerAndSerial;
    const int encryptedDigest = adjustLen(static_cast<int64_t>(signature.size()), capacity, der::kInnerLengthBytes);
    if (encryptedDigest < 0) return encryptedDigest;
    const int64_t content = 3 + int64_t(issuerAndSerial) + DigestAlgorithmId(digestAlgo).size +
                            SignatureAlgorithmId(digestAlgo).size + encryptedDigest;
    if (content > capacity) return p7::kTooLarge;
    return static_cast<int>(content);
}

int _SignerInfo::_Encode(unsigned char** cursor, int capacity) const {
    const int content = adjustLen(capacity);
    if (content < 0) return content;
    const int total = adjustLen(content, capacity, der::kInnerLengthBytes);
    if (total < 0 || cursor == nullptr) return total;
    if (*cursor == nullptr) return p7::kTooLarge;

    unsigned char* const start = *cursor;
    unsigned char* p = der::WriteHeader(start, der::kTagSequence, content);
    p = der::WriteHeader(p, der::kTagInteger, 1);
    *p++ = static_cast<unsigned char>(version);
    p = der::WriteHeader(p, der::kTagSequence, id.size());
    p = der::Put(p, id);
    p = der::Put(p, DigestAlgorithmId(digestAlgo));
    p = der::Put(p, SignatureAlgorithmId(digestAlgo));
    p = der::WriteHeader(p, der::kTagOctetString, signature.size());
    p = der::Put(p, signature);
    if (p - start != total) return p7::kLengthMismatch;
    *cursor = p;
    return total;
}

namespace p7 {

namespace {

// DER demands the shortest form: verifiers such as OpenSSL refuse an r or s
// that keeps the leading zero bytes of its fixed-width field.
void SkipLeadingZeros(const unsigned char*& value, size_t& length) {
    while (length > 1 && value[0] == 0x00) {
        ++value;
        --length;
    }
}

size_t IntegerSize(const unsigned char* value, size_t length) {
    SkipLeadingZeros(value, length);
    const size_t content = length + ((value[0] & 0x80) ? 1 : 0);
    return 1 + der::LengthFieldSize(content) + content;
}

unsigned char* PutInteger(unsigned char* p, const unsigned char* value, size_t length) {
    SkipLeadingZeros(value, length);
    const bool negativeLooking = (value[0] & 0x80) != 0;
    p = der::WriteHeader(p, der::kTagInteger, length + (negativeLooking ? 1 : 0));
    if (negativeLooking) *p++ = 0x00;
    std::copy(value, value + length, p);
    return p + length;
}

}  // namespace

bool EncodeSm2Signature(const unsigned char* rs, size_t length, std::vector<unsigned char>& out) {
    if (rs == nullptr || length == 0 || length % 2 != 0) return false;
    const size_t half = length / 2;
    const unsigned char* r = rs;
    const unsigned char* s = rs + half;
    const size_t content = IntegerSize(r, half) + IntegerSize(s, half);
    std::vector<unsigned char> encoded(1 + der::LengthFieldSize(content) + content);
    unsigned char* p = der::WriteHeader(encoded.data(), der::kTagSequence, content);
    p = PutInteger(p, r, half);
    PutInteger(p, s, half);
    out.swap(encoded);
    return true;
}

}  // namespace p7
