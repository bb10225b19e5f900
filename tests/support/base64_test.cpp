#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "support/MyBase64.h"

namespace {

std::string Encode(const std::string& bytes) {
    CMyBase64 b64;
    unsigned int length = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const int required = b64.Encode(in, bytes.size(), nullptr, &length);
    std::string text(required, '\0');
    EXPECT_EQ(b64.Encode(in, bytes.size(), text.data(), &length), required);
    EXPECT_EQ(length, static_cast<unsigned int>(required));
    return text;
}

// Decoded bytes, or "<-1>" on failure.
std::string Decode(const std::string& text) {
    CMyBase64 b64;
    unsigned int length = 0;
    const int required = b64.Decode(text.c_str(), nullptr, &length);
    if (required < 0) return "<-1>";
    std::string bytes(required, '\0');
    length = required;
    EXPECT_EQ(b64.Decode(text.c_str(), bytes.data(), &length), required);
    return bytes;
}

TEST(Base64, EncodesShortTexts) {
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("a"), "YQ==");
    EXPECT_EQ(Encode("ab"), "YWI=");
    EXPECT_EQ(Encode("abc"), "YWJj");
    EXPECT_EQ(Encode("abcd"), "YWJjZA==");
}

TEST(Base64, CapacityConvention) {
    CMyBase64 b64;
    const std::vector<unsigned char> in(32, 0xFF);
    std::string out(44, '#');
    for (unsigned int capacity : {0u, 43u}) {
        unsigned int length = capacity;
        EXPECT_EQ(b64.Encode(in.data(), 32, out.data(), &length), capacity == 0 ? 44 : -1);
        EXPECT_EQ(length, capacity == 0 ? 44u : 43u);
    }
    unsigned int length = 0;
    EXPECT_EQ(b64.Encode(in.data(), 32, nullptr, &length), 44);
    EXPECT_EQ(out, std::string(44, '#'));  // nothing written so far
    length = 44;
    EXPECT_EQ(b64.Encode(in.data(), 32, out.data(), &length), 44);
    EXPECT_EQ(out, std::string(42, '/') + "8=");

    char decoded[2] = {'#', '#'};
    length = 2;
    EXPECT_EQ(b64.Decode("YWJj", decoded, &length), -1);  // needs 3
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(decoded[0], '#');
}

TEST(Base64, DecodeValidation) {
    EXPECT_EQ(Decode(""), "<-1>");
    EXPECT_EQ(Decode("YWJjZ"), "<-1>");
    EXPECT_EQ(Decode("AB=C"), "<-1>");
    EXPECT_EQ(Decode("A==="), "<-1>");
    EXPECT_EQ(Decode("YQ==YWJj"), "<-1>");
    EXPECT_EQ(Decode("YQ=="), "a");
    EXPECT_EQ(Decode("YWI="), "ab");
    EXPECT_EQ(Decode("YWJjZA=="), "abcd");

    CMyBase64 b64;
    EXPECT_EQ(b64.IsBase64String(""), -1);
    EXPECT_EQ(b64.IsBase64String("ABC"), -2);
    EXPECT_EQ(b64.IsBase64String("AB=C"), 3);
    EXPECT_EQ(b64.IsBase64String("AB=="), 0);
}

TEST(Base64, ForeignCharactersCountAsZero) {
    // A line break inside a group is accepted and decodes as value 0.
    EXPECT_EQ(Decode("YW\nj"), Decode("YWAj"));
    CMyBase64 b64;
    EXPECT_EQ(b64.GetBase64Index('\n'), 0);
    EXPECT_EQ(b64.GetBase64Index('/'), 63);
    EXPECT_FALSE(b64._isbase64char('='));
    EXPECT_TRUE(b64._isbase64char('+'));
}

TEST(Base64, AgreesWithOpenSslOnRandomData) {
    std::mt19937 rng(42);
    for (size_t size = 0; size < 300; size += 1 + size / 7) {
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        std::string expected(4 * ((size + 2) / 3) + 1, '\0');
        const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(size));
        expected.resize(n);
        const std::string text = Encode(bytes);
        ASSERT_EQ(text, expected) << "size " << size;
        if (size > 0) {
            ASSERT_EQ(Decode(text), bytes) << "size " << size;
        }
    }
}

}  // namespace
