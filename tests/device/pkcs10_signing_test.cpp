// Reading the token's signature response and the sign-info record.
#include <gtest/gtest.h>

#include <vector>

#include "device/pkcs10.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Signatures = std::vector<std::vector<unsigned char>>;

Bytes Response(std::initializer_list<Bytes> pieces) {
    Bytes area(2048, 0);
    size_t at = 0;
    for (const Bytes& piece : pieces) {
        std::copy(piece.begin(), piece.end(), area.begin() + at);
        at += piece.size();
    }
    return area;
}

TEST(SignRequestResponse, OneAndTwoSignatures) {
    Bytes first(64, 0x41), second(256, 0x42);
    Bytes area = Response({{0x00, 0x40}, first});
    Signatures signatures;
    ASSERT_EQ(ParseSignRequestResponse(area.data(), area.size(), 1, signatures), 0);
    ASSERT_EQ(signatures.size(), 1u);
    EXPECT_EQ(signatures[0], first);

    area = Response({{0x00, 0x40}, first, {0x01, 0x00}, second});
    ASSERT_EQ(ParseSignRequestResponse(area.data(), area.size(), 2, signatures), 0);
    ASSERT_EQ(signatures.size(), 2u);
    EXPECT_EQ(signatures[0], first);
    EXPECT_EQ(signatures[1], second);
}

TEST(SignRequestResponse, LengthsBeyondTheAreasAreRefused) {
    Signatures signatures;
    // A signature longer than its 1,024-byte area.
    Bytes area = Response({{0x04, 0x01}});
    EXPECT_EQ(ParseSignRequestResponse(area.data(), area.size(), 1, signatures), -404);
    // Exactly 1,024 bytes fit.
    area = Response({{0x04, 0x00}});
    EXPECT_EQ(ParseSignRequestResponse(area.data(), area.size(), 1, signatures), 0);
    // Two signatures of 1,024 bytes do not fit the 2,048-byte response.
    area = Response({{0x04, 0x00}, Bytes(1024, 1), {0x04, 0x00}});
    EXPECT_EQ(ParseSignRequestResponse(area.data(), area.size(), 2, signatures), -404);
    // The second length field itself lies beyond the area (1,022 bytes end at 1,024).
    area = Response({{0x03, 0xFE}});
    EXPECT_EQ(ParseSignRequestResponse(area.data(), 1025, 2, signatures), -404);
    // An empty signature is a token failure.
    area = Response({{0x00, 0x00}});
    EXPECT_EQ(ParseSignRequestResponse(area.data(), area.size(), 1, signatures), -404);
}

TEST(SignInfoRecord, HashesOfBothEntries) {
    Bytes info{0x13, 0x01, 0x52, 0x03, 0xA1, 0xA2, 0xA3, 0x23, 0x02, 0x12, 0x02, 0xB1, 0xB2};
    Signatures hashes;
    ASSERT_TRUE(SignInfoHashes(info.data(), info.size(), 2, hashes));
    ASSERT_EQ(hashes.size(), 2u);
    EXPECT_EQ(hashes[0], (Bytes{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(hashes[1], (Bytes{0xB1, 0xB2}));

    EXPECT_FALSE(SignInfoHashes(info.data(), info.size() - 1, 2, hashes));
    EXPECT_FALSE(SignInfoHashes(info.data(), 3, 1, hashes));
    EXPECT_TRUE(SignInfoHashes(info.data(), 7, 1, hashes));
}

}  // namespace
