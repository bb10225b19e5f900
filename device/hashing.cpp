#include "device/hashing.h"

#include <cstring>

#include "device/module_connection.h"
#include "device/p11_session.h"
#include "support/sm3.h"

namespace {

constexpr unsigned long kZLength = 32;
constexpr size_t kCoordinateLength = 32;

// ENTL and the default signer ID, then a, b, Gx and Gy of the SM2
// recommended curve; the public key's x and y follow in the Z block.
constexpr unsigned char kZPrefix[146] = {
    0x00, 0x80,
    '1', '2', '3', '4', '5', '6', '7', '8', '1', '2', '3', '4', '5', '6', '7', '8',
    0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC,
    0x28, 0xE9, 0xFA, 0x9E, 0x9D, 0x9F, 0x5E, 0x34, 0x4D, 0x5A, 0x9E, 0x4B, 0xCF, 0x65, 0x09, 0xA7,
    0xF3, 0x97, 0x89, 0xF5, 0x15, 0xAB, 0x8F, 0x92, 0xDD, 0xBC, 0xBD, 0x41, 0x4D, 0x94, 0x0E, 0x93,
    0x32, 0xC4, 0xAE, 0x2C, 0x1F, 0x19, 0x81, 0x19, 0x5F, 0x99, 0x04, 0x46, 0x6A, 0x39, 0xC9, 0x94,
    0x8F, 0xE3, 0x0B, 0xBF, 0xF2, 0x66, 0x0B, 0xE1, 0x71, 0x5A, 0x45, 0x89, 0x33, 0x4C, 0x74, 0xC7,
    0xBC, 0x37, 0x36, 0xA2, 0xF4, 0xF6, 0x77, 0x9C, 0x59, 0xBD, 0xCE, 0xE3, 0x6B, 0x69, 0x21, 0x53,
    0xD0, 0xA9, 0x87, 0x7C, 0xC6, 0x2A, 0x47, 0x40, 0x02, 0xDF, 0x32, 0xE5, 0x21, 0x39, 0xF0, 0xA0,
};
constexpr size_t kZBlockLength = sizeof kZPrefix + 2 * kCoordinateLength;  // 210

struct NamedHash {
    const char* name;
    CK_MECHANISM_TYPE mechanism;
    unsigned char typeByte;
};

constexpr NamedHash kNamedHashes[] = {
    {"MD5", CKM_MD5, 0x32},       {"SHA1", CKM_SHA_1, 0x12},     {"SHA256", CKM_SHA256, 0xF2},
    {"SHA384", CKM_SHA384, 0xC2}, {"SHA512", CKM_SHA512, 0xE2}, {"SM3", CKM_VENDOR_SM3, 0x52},
};

const NamedHash* FindNamedHash(const std::string& name) {
    for (const NamedHash& hash : kNamedHashes) {
        if (name == hash.name) return &hash;
    }
    return nullptr;
}

void Sm3Digest(const unsigned char* data, size_t length, unsigned char digest[32]) {
    SM3_CTX ctx{};
    SM3_Init(&ctx, 256);
    SM3_Update(&ctx, data, length);
    SM3_Final(&ctx, digest);
}

}  // namespace

bool ComputeZ(const unsigned char* x, unsigned long xLen, const unsigned char* y, unsigned long yLen, unsigned char* z,
              unsigned long* zLen) {
    if (zLen == nullptr) return false;
    if (z == nullptr) {
        *zLen = kZLength;
        return true;
    }
    if (*zLen < kZLength) return false;
    // Longer coordinates would run into the next field or past the block.
    if (xLen > kCoordinateLength || yLen > kCoordinateLength) return false;
    if ((x == nullptr && xLen != 0) || (y == nullptr && yLen != 0)) return false;

    unsigned char block[kZBlockLength] = {};
    std::memcpy(block, kZPrefix, sizeof kZPrefix);
    if (xLen != 0) std::memcpy(block + sizeof kZPrefix, x, xLen);
    if (yLen != 0) std::memcpy(block + sizeof kZPrefix + kCoordinateLength, y, yLen);
    Sm3Digest(block, sizeof block, z);
    *zLen = kZLength;
    return true;
}

bool GetHashValue(const SelectedToken& token, const std::string& name, const unsigned char* data, uint32_t length,
                  unsigned char* hashType, unsigned char* out, unsigned long* outLen) {
    const NamedHash* hash = FindNamedHash(name);
    if (hash == nullptr) return false;
    if (hashType != nullptr) *hashType = hash->typeByte;
    if (out == nullptr || outLen == nullptr || (data == nullptr && length != 0)) return false;

    if (hash->mechanism == CKM_VENDOR_SM3) {
        if (*outLen < 32) return false;
        Sm3Digest(data, length, out);
        *outLen = 32;
        return true;
    }

    P11Session session;
    if (!token.OpenSession(session) || !session.isOpen()) return false;
    CK_FUNCTION_LIST_PTR functions = session.functions();
    CK_MECHANISM mechanism{hash->mechanism, nullptr, 0};
    if (session.Record("C_DigestInit", functions->C_DigestInit(session.handle(), &mechanism)) != CKR_OK) return false;
    return session.Record("C_Digest", functions->C_Digest(session.handle(), const_cast<CK_BYTE_PTR>(data), length,
                                                          out, outLen)) == CKR_OK;
}
