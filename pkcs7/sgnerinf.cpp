#include "pkcs7/sgnerinf.h"

der::View SignerInfo::DigestAlgorithmId(int code) {
    switch (code) {
    case p7::kDigestMd5: return der::MakeView(p7::kAlgMd5);
    case p7::kDigestSha1: return der::MakeView(p7::kAlgSha1);
    case p7::kDigestSha256: return der::MakeView(p7::kAlgSha256);
    case p7::kDigestSha384: return der::MakeView(p7::kAlgSha384);
    case p7::kDigestSha512: return der::MakeView(p7::kAlgSha512);
    case p7::kDigestSm3: return der::MakeView(p7::kAlgSm3);
    default: return der::View{nullptr, 0};
    }
}

der::View SignerInfo::SignatureAlgorithmId(int code) {
    if (!p7::IsDigestCode(code)) return der::View{nullptr, 0};
    return code == p7::kDigestSm3 ? der::MakeView(p7::kAlgSm2) : der::MakeView(p7::kAlgRsaEncryption);
}

int SignerInfo::SetDigestAlgo(int code) {
    if (!p7::IsDigestCode(code)) return 0;
    digestAlgo = code;
    return code;
}

int SignerInfo::SetSigned(const unsigned char* bytes, int length) {
    if (bytes == nullptr || length < 1) return p7::kBadBuffer;
    return p7::CopyInto(signature, bytes, length);
}

int SignerInfo::GetSigned(unsigned char* out, int capacity) const {
    if (signature.empty()) return p7::kNoMemoryOrValue;
    return p7::CopyOut(signature, out, capacity);
}

int SignerInfo::adjustLen(int capacity) const {
    if (!p7::IsDigestCode(digestAlgo)) return p7::kBadDigest;
    if (id.empty()) return p7::kNoIdentifier;
    if (signature.empty()) return p7::kBadBuffer;
    const int issuerAndSerial = adjustLen(IdLength(), capacity, p7::kInnerLengthBytes);
    if (issuerAndSerial < 0) return issuerAndSerial;
    const int encryptedDigest = adjustLen(static_cast<int64_t>(signature.size()), capacity, p7::kInnerLengthBytes);
    if (encryptedDigest < 0) return encryptedDigest;
    const int64_t content = 3 + int64_t(issuerAndSerial) + DigestAlgorithmId(digestAlgo).size +
                            SignatureAlgorithmId(digestAlgo).size + encryptedDigest;
    if (content > capacity) return p7::kTooLarge;
    return static_cast<int>(content);
}

int SignerInfo::Encode(unsigned char** cursor, int capacity) const {
    const int content = adjustLen(capacity);
    if (content < 0) return content;
    const int total = adjustLen(content, capacity, p7::kInnerLengthBytes);
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

bool EncodeSm2Signature(const unsigned char* rs, size_t length, std::vector<unsigned char>& out) {
    if (rs == nullptr || length == 0 || length % 2 != 0) return false;
    const size_t half = length / 2;
    std::vector<unsigned char> integers;
    der::AppendUnsignedInteger(integers, rs, half);
    der::AppendUnsignedInteger(integers, rs + half, half);
    out = der::Element(der::kTagSequence, integers);
    return true;
}

}  // namespace p7
