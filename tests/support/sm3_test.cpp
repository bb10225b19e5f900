#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "support/sm3.h"
#include "support/sm3_internal.h"

namespace sm3 {
void PrintTo(const Implementation& implementation, std::ostream* out) { *out << implementation.name; }
}  // namespace sm3

namespace {

std::string Hex(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string Sm3Pieces(const std::vector<unsigned char>& data, const std::vector<size_t>& pieces) {
    SM3_CTX ctx{};
    SM3_Init(&ctx, 256);
    size_t offset = 0;
    for (size_t piece : pieces) {
        SM3_Update(&ctx, data.data() + offset, piece);
        offset += piece;
    }
    SM3_Update(&ctx, data.data() + offset, data.size() - offset);
    unsigned char digest[32];
    SM3_Final(&ctx, digest);
    return Hex(digest, 32);
}

std::string Sm3(const std::vector<unsigned char>& data) { return Sm3Pieces(data, {}); }

std::string OpenSslSm3(const std::vector<unsigned char>& data) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_DigestInit_ex(ctx.get(), EVP_sm3(), nullptr), 1);
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), data.data(), data.size()), 1);
    EXPECT_EQ(EVP_DigestFinal_ex(ctx.get(), digest, &length), 1);
    return Hex(digest, length);
}

std::vector<unsigned char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<unsigned char> RandomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> data(size);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    return data;
}

TEST(Sm3, StandardExamples) {
    EXPECT_EQ(Sm3(Bytes("abc")), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    std::string abcd;
    for (int i = 0; i < 16; ++i) abcd += "abcd";
    EXPECT_EQ(Sm3(Bytes(abcd)), "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
}

TEST(Sm3, PaddingBoundariesAgreeWithOpenSsl) {
    for (size_t size : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000}) {
        const auto data = RandomBytes(size, static_cast<unsigned>(size));
        EXPECT_EQ(Sm3(data), OpenSslSm3(data)) << "size " << size;
    }
}

TEST(Sm3, PiecewiseFeedingMatchesOneShot) {
    const auto data = RandomBytes(1000, 7);
    const std::string whole = Sm3(data);
    EXPECT_EQ(Sm3Pieces(data, {0, 1, 0, 63, 64, 0, 130}), whole);
    EXPECT_EQ(Sm3Pieces(data, {60, 10, 60, 10, 200}), whole);  // straddling block boundaries
    EXPECT_EQ(Sm3Pieces(data, std::vector<size_t>(1000, 1)), whole);

    std::mt19937 rng(99);
    for (int round = 0; round < 20; ++round) {
        const auto message = RandomBytes(rng() % 5000, rng());
        std::vector<size_t> pieces;
        for (size_t used = 0, piece; used + (piece = rng() % 150) <= message.size(); used += piece) {
            pieces.push_back(piece);
        }
        EXPECT_EQ(Sm3Pieces(message, pieces), OpenSslSm3(message));
    }
}

// Each block function the processor can run, through the buffering of Update
// and the padding of Final, against OpenSSL.
class Sm3Implementation : public testing::TestWithParam<sm3::Implementation> {
protected:
    std::string Digest(const std::vector<unsigned char>& data, size_t piece) const {
        SM3_CTX ctx{};
        SM3_Init(&ctx, 256);
        for (size_t offset = 0; offset < data.size(); offset += piece) {
            sm3::Update(&ctx, data.data() + offset, std::min(piece, data.size() - offset), GetParam().compress);
        }
        unsigned char digest[32];
        sm3::Final(&ctx, digest, GetParam().compress);
        return Hex(digest, 32);
    }
};

TEST_P(Sm3Implementation, AgreesWithOpenSslOnEveryShortLengthAndLargeInputs) {
    std::mt19937 rng(2024);
    for (size_t size = 0; size <= 1024; ++size) {
        const auto data = RandomBytes(size, rng());
        ASSERT_EQ(Digest(data, std::max<size_t>(size, 1)), OpenSslSm3(data)) << "size " << size;
    }
    const auto large = RandomBytes((1 << 20) + 13, 5);
    const std::string expected = OpenSslSm3(large);
    EXPECT_EQ(Digest(large, large.size()), expected);
    for (size_t piece : {1, 63, 65, 4097, 100003}) EXPECT_EQ(Digest(large, piece), expected) << "pieces of " << piece;
}

INSTANTIATE_TEST_SUITE_P(Available, Sm3Implementation, testing::ValuesIn(sm3::AvailableImplementations()),
                         [](const testing::TestParamInfo<sm3::Implementation>& info) { return info.param.name; });

}  // namespace
