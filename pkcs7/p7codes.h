// Result codes and digest codes of the PKCS#7 encoder classes.
#pragma once

namespace p7 {

constexpr int kNoIdentifier = -193;      // no issuer-and-serial identifier, or none derivable
constexpr int kNoCertificate = -194;     // no certificate set
constexpr int kTooLarge = -195;          // TLV beyond the remaining capacity, or a null argument
constexpr int kTableFull = -209;         // already kMaxEntries certificates or signers
constexpr int kNoMemoryOrValue = -225;   // copy failed; no data or signature set
constexpr int kLengthMismatch = -226;    // bytes written differ from the length computed before
constexpr int kBadBuffer = -227;         // null input/output, output too small, signature missing
constexpr int kBadDigest = -228;         // digest code outside 1..6

constexpr int kMaxEntries = 8;

enum DigestCode : int {
    kDigestMd5 = 1,
    kDigestSha1 = 2,
    kDigestSha256 = 3,
    kDigestSha384 = 4,
    kDigestSha512 = 5,
    kDigestSm3 = 6,
};

inline bool IsDigestCode(int code) { return code >= kDigestMd5 && code <= kDigestSm3; }

}  // namespace p7
