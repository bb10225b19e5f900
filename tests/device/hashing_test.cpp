#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/hashing.h"
#include "device/module_connection.h"
#include "pkcs7/openssl_fixtures.h"

namespace {

using fixtures::Bytes;

class HashingTest : public ::testing::Test {
protected:
    Bytes Z(const Bytes& x, const Bytes& y) {
        Bytes z(32);
        unsigned long length = 32;
        EXPECT_TRUE(ComputeZ(x.data(), x.size(), y.data(), y.size(), z.data(), &length));
        EXPECT_EQ(length, 32u);
        return z;
    }

    const SelectedToken noToken_;
};

TEST_F(HashingTest, ZMatchesTheDefaultIdZOfOpenSslCurve) {
    for (int i = 0; i < 3; ++i) {
        fixtures::PkeyPtr key = fixtures::MakeSm2Key();
        const Bytes point = fixtures::Sm2PublicPoint(key.get());
        EXPECT_EQ(Z(Bytes(point.begin() + 1, point.begin() + 33), Bytes(point.begin() + 33, point.end())),
                  fixtures::Sm2Z(key.get()));
    }
}

// OpenSSL's own SM2 signature with the default ID is over SM3(Z || message):
// verifying it against our Z ties the value to an independent implementation.
TEST_F(HashingTest, OpenSslSm2SignatureVerifiesOverOurZ) {
    const auto& ids = fixtures::TestIdentities::Get();
    const std::string message = "message signed by OpenSSL";
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(ids.sm2Key.get(), nullptr);
    ASSERT_EQ(EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16), 1);
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx);
    ASSERT_EQ(EVP_DigestSignInit(md.get(), nullptr, EVP_sm3(), nullptr, ids.sm2Key.get()), 1);
    Bytes signature(128);
    size_t length = signature.size();
    ASSERT_EQ(EVP_DigestSign(md.get(), signature.data(), &length,
                             reinterpret_cast<const unsigned char*>(message.data()), message.size()),
              1);
    signature.resize(length);
    md.reset();
    EVP_PKEY_CTX_free(pctx);

    const Bytes point = fixtures::Sm2PublicPoint(ids.sm2Key.get());
    Bytes signedBytes = Z(Bytes(point.begin() + 1, point.begin() + 33), Bytes(point.begin() + 33, point.end()));
    signedBytes.insert(signedBytes.end(), message.begin(), message.end());
    EXPECT_TRUE(fixtures::Sm2VerifyDigest(ids.sm2Key.get(), fixtures::Digest(EVP_sm3(), signedBytes), signature));
}

TEST_F(HashingTest, ZSizeQueryAndBounds) {
    const Bytes x(32, 0x11), y(32, 0x22);
    unsigned long length = 0;
    EXPECT_TRUE(ComputeZ(x.data(), 32, y.data(), 32, nullptr, &length));
    EXPECT_EQ(length, 32u);

    Bytes z(32);
    length = 31;
    EXPECT_FALSE(ComputeZ(x.data(), 32, y.data(), 32, z.data(), &length));
    length = 64;
    const Bytes longer(33, 0x11);
    EXPECT_FALSE(ComputeZ(longer.data(), 33, y.data(), 32, z.data(), &length));
    EXPECT_FALSE(ComputeZ(x.data(), 32, longer.data(), 33, z.data(), &length));

    // A shorter coordinate leaves zero bytes behind it; y keeps its place.
    Bytes padded = x;
    padded[31] = 0;
    EXPECT_EQ(Z(Bytes(x.begin(), x.begin() + 31), y), Z(padded, y));
    EXPECT_NE(Z(x, y), Z(padded, y));
}

TEST_F(HashingTest, GetHashValueComputesSm3InSoftware) {
    const std::string data = "certificate request info";
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    unsigned char type = 0;
    Bytes out(256);
    unsigned long length = out.size();
    ASSERT_TRUE(GetHashValue(noToken_, "SM3", bytes, static_cast<uint32_t>(data.size()), &type, out.data(), &length));
    EXPECT_EQ(type, 0x52);
    ASSERT_EQ(length, 32u);
    out.resize(32);
    EXPECT_EQ(out, fixtures::Digest(EVP_sm3(), Bytes(data.begin(), data.end())));

    length = 31;
    EXPECT_FALSE(GetHashValue(noToken_, "SM3", bytes, static_cast<uint32_t>(data.size()), &type, out.data(), &length));
}

TEST_F(HashingTest, GetHashValueNames) {
    unsigned char type = 0xAA;
    Bytes out(256);
    unsigned long length = out.size();
    const unsigned char data[] = "x";
    EXPECT_FALSE(GetHashValue(noToken_, "sha1", data, 1, &type, out.data(), &length));
    EXPECT_FALSE(GetHashValue(noToken_, "SHA-256", data, 1, &type, out.data(), &length));
    EXPECT_FALSE(GetHashValue(noToken_, "", data, 1, &type, out.data(), &length));
    EXPECT_EQ(type, 0xAA);

    // Other names go to the token; without one no session opens.
    EXPECT_FALSE(GetHashValue(noToken_, "SHA256", data, 1, &type, out.data(), &length));
    EXPECT_EQ(type, 0xF2);
}

}  // namespace
