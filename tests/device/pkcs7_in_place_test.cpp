// SignedData built in place around its content must be, byte for byte, what
// the encoder writes when it is handed a copy of the content, at every size
// where a DER length field grows.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "device/pkcs7_packing.h"
#include "pkcs7/openssl_fixtures.h"
#include "pkcs7/sgndata.h"
#include "support/MyBase64.h"
#include "token_module/token_module.h"

namespace {

using fixtures::Bytes;
using fixtures::TestIdentities;

std::string Base64(const Bytes& der) {
    CMyBase64 base64;
    std::string text((der.size() + 2) / 3 * 4, '\0');
    unsigned int length = static_cast<unsigned int>(text.size());
    if (!der.empty()) base64.Encode(der.data(), static_cast<unsigned int>(der.size()), &text[0], &length);
    return text;
}

// The encoder's own two-pass output for a copied content.
Bytes ReferenceDer(const std::string& content, const Bytes& cert, int digestCode, const Bytes& encodedSignature) {
    SignedData signedData;
    EXPECT_EQ(signedData.SetData(reinterpret_cast<const unsigned char*>(content.data()),
                                 static_cast<int>(content.size())),
              static_cast<int>(content.size()));
    EXPECT_EQ(signedData.AddSigner(cert.data(), static_cast<int>(cert.size()), digestCode, encodedSignature.data(),
                                   static_cast<int>(encodedSignature.size())),
              1);
    const int length = signedData.Encode(nullptr, INT_MAX);
    Bytes der(static_cast<size_t>(length > 0 ? length : 0));
    unsigned char* cursor = der.data();
    EXPECT_EQ(signedData.Encode(&cursor, length), length);
    return der;
}

std::string Content(size_t size) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 131 + (i >> 9));
    return content;
}

// Builds content where message signing builds it: behind the room, with
// capacity reserved for the tail and for the DER's Base64 text.
std::string SigningBuffer(const std::string& content, const Bytes& cert) {
    std::string buffer;
    buffer.reserve(Base64InPlaceCapacity(kSignedDataHeadroom + content.size() + SignedDataTailRoom(cert)));
    buffer.assign(kSignedDataHeadroom, '\0');
    buffer += content;
    return buffer;
}

class InPlacePacking : public ::testing::Test {
protected:
    void ExpectRsaMatchesReference(size_t size) {
        const auto& ids = TestIdentities::Get();
        const std::string content = Content(size);
        std::string buffer = SigningBuffer(content, ids.rsaCert);
        const char* const contentBytes = buffer.data() + kSignedDataHeadroom;
        std::string out;
        ASSERT_EQ(
            PackCert2P7InPlace(buffer, kSignedDataHeadroom, ids.rsaCert, rsaSig_, CKM_SHA256_RSA_PKCS, false, out), 0)
            << size;
        EXPECT_EQ(out.data() + kSignedDataHeadroom, contentBytes) << "the text is not where the content was built";
        EXPECT_TRUE(out == Base64(ReferenceDer(content, ids.rsaCert, p7::kDigestSha256, rsaSig_)))
            << "content of " << size << " bytes";
    }

    const Bytes rsaSig_ = Bytes(256, 0xA5);
};

TEST_F(InPlacePacking, MatchesTheEncoderWhereverLengthFieldsGrow) {
    // Every level's length crosses 128, 256 and 65,536 somewhere in here.
    for (size_t size = 1; size <= 1400; ++size) ExpectRsaMatchesReference(size);
    for (size_t size = 63500; size <= 65600; ++size) ExpectRsaMatchesReference(size);
}

TEST_F(InPlacePacking, MatchesTheEncoderAroundFourByteLengths) {
    constexpr size_t k16MiB = size_t(1) << 24;
    for (size_t size : {k16MiB - 1700, k16MiB - 1300, k16MiB - 1100, k16MiB - 1000, k16MiB - 300, k16MiB - 1, k16MiB,
                        k16MiB + 1}) {
        ExpectRsaMatchesReference(size);
    }
}

TEST_F(InPlacePacking, Sm2MatchesPackingACopyWithItsZValue) {
    const auto& ids = TestIdentities::Get();
    Bytes rs(64, 0x11);
    rs[0] = 0x80;  // r needs a leading zero in its INTEGER
    // Long enough for the Base64 text to be made in several steps.
    const std::string text = Content(200000);
    std::string fromCopy;
    ASSERT_EQ(PackCert2P7(std::string(32, 'z') + text, ids.sm2Cert, rs, CKM_VENDOR_SM2_SM3, true, fromCopy), 0);
    std::string buffer = SigningBuffer(text, ids.sm2Cert);
    std::string inPlace;
    ASSERT_EQ(PackCert2P7InPlace(buffer, kSignedDataHeadroom, ids.sm2Cert, rs, CKM_VENDOR_SM2_SM3, true, inPlace), 0);
    EXPECT_EQ(inPlace, fromCopy);
}

TEST_F(InPlacePacking, RefusesWithoutRoomOrContentAndLeavesTheBufferAlone) {
    const auto& ids = TestIdentities::Get();
    std::string out = "untouched";
    for (size_t room : {size_t(0), size_t(20)}) {
        std::string buffer = std::string(room, '\0') + "content";
        const std::string before = buffer;
        EXPECT_EQ(PackCert2P7InPlace(buffer, room, ids.rsaCert, rsaSig_, CKM_SHA256_RSA_PKCS, false, out), -409);
        EXPECT_EQ(buffer, before);
    }
    std::string empty(kSignedDataHeadroom, '\0');
    EXPECT_EQ(PackCert2P7InPlace(empty, empty.size(), ids.rsaCert, rsaSig_, CKM_SHA256_RSA_PKCS, false, out), -409);
    std::string beyond(10, '\0');
    EXPECT_EQ(PackCert2P7InPlace(beyond, 11, ids.rsaCert, rsaSig_, CKM_SHA256_RSA_PKCS, false, out), -409);
    EXPECT_EQ(out, "untouched");
}

}  // namespace
