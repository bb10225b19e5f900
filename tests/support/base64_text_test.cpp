#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>

#include "support/base64_text.h"

namespace {

std::string Bytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 167 + (i >> 8));
    return bytes;
}

std::string OpenSslText(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

TEST(Base64Text, EveryPartIsThatPartOfTheWholeText) {
    for (size_t size = 0; size <= 13; ++size) {
        const std::string whole = OpenSslText(Bytes(size));
        const Base64Text text(Bytes(size), 0);
        ASSERT_EQ(text.size(), whole.size()) << size;
        EXPECT_EQ(text.Whole(), whole) << size;
        // Ranges starting and ending inside groups, and reaching past the end.
        for (size_t offset = 0; offset <= whole.size() + 1; ++offset) {
            for (size_t length = 0; length <= whole.size() + 2; ++length) {
                std::string part = "left over";
                text.CopyText(offset, length, part);
                EXPECT_EQ(part, whole.substr(std::min(offset, whole.size()), length))
                    << size << " bytes, " << offset << "+" << length;
            }
        }
    }
}

TEST(Base64Text, LeavesOutTheBytesBeforeItsStart) {
    const std::string bytes = Bytes(100);
    EXPECT_EQ(Base64Text(bytes, 7).Whole(), OpenSslText(bytes.substr(7)));
    EXPECT_EQ(Base64Text(bytes, 100).size(), 0u);
    EXPECT_EQ(Base64Text(bytes, 101).size(), 0u);
}

}  // namespace
