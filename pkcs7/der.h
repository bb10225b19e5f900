// DER building blocks shared by the PKCS#7 encoder and its callers: length
// fields in minimal definite form and the fixed identifiers we emit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace der {

constexpr unsigned char kTagInteger = 0x02;
constexpr unsigned char kTagOctetString = 0x04;
constexpr unsigned char kTagSequence = 0x30;
constexpr unsigned char kTagSet = 0x31;
constexpr unsigned char kTagContext0 = 0xA0;

// Length bytes allowed for the small inner structures and for the rest.
constexpr int kInnerLengthBytes = 2;
constexpr int kOuterLengthBytes = 4;

// Bytes of the length field for a content length: 1 below 128, else 1 + n.
inline int LengthFieldSize(uint64_t length) {
    if (length < 0x80) return 1;
    int bytes = 0;
    for (uint64_t rest = length; rest != 0; rest >>= 8) ++bytes;
    return 1 + bytes;
}

// Writes tag and length at p and returns the position after them.
inline unsigned char* WriteHeader(unsigned char* p, unsigned char tag, uint64_t length) {
    *p++ = tag;
    if (length < 0x80) {
        *p++ = static_cast<unsigned char>(length);
        return p;
    }
    const int bytes = LengthFieldSize(length) - 1;
    *p++ = static_cast<unsigned char>(0x80 | bytes);
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) *p++ = static_cast<unsigned char>(length >> shift);
    return p;
}

struct Bytes {
    const unsigned char* data;
    int size;
};

template <size_t N>
constexpr Bytes MakeBytes(const unsigned char (&array)[N]) {
    return Bytes{array, static_cast<int>(N)};
}

inline unsigned char* Put(unsigned char* p, const Bytes& bytes) {
    std::memcpy(p, bytes.data, bytes.size);
    return p + bytes.size;
}

inline unsigned char* Put(unsigned char* p, const std::vector<unsigned char>& bytes) {
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    return p + bytes.size();
}

// Content types.
constexpr unsigned char kOidSignedData[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr unsigned char kOidData[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};

// Complete AlgorithmIdentifiers with NULL parameters.
constexpr unsigned char kAlgMd5[] = {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00};
constexpr unsigned char kAlgSha1[] = {0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00};
constexpr unsigned char kAlgSha256[] = {0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                        0x03, 0x04, 0x02, 0x01, 0x05, 0x00};
constexpr unsigned char kAlgSha384[] = {0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                        0x03, 0x04, 0x02, 0x02, 0x05, 0x00};
constexpr unsigned char kAlgSha512[] = {0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                        0x03, 0x04, 0x02, 0x03, 0x05, 0x00};
constexpr unsigned char kAlgSm3[] = {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x11, 0x05, 0x00};
constexpr unsigned char kAlgRsaEncryption[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                               0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
constexpr unsigned char kAlgSm2[] = {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x05, 0x00};

}  // namespace der
