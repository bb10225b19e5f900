// The shared DER writer's length fields: the shortest definite form.
#include <gtest/gtest.h>

#include <vector>

#include "support/der.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(Der, Lengths) {
    auto length = [](unsigned long n) {
        Bytes out;
        der::AppendLength(out, n);
        return out;
    };
    EXPECT_EQ(length(0), (Bytes{0x00}));
    EXPECT_EQ(length(0x7F), (Bytes{0x7F}));
    EXPECT_EQ(length(0x80), (Bytes{0x81, 0x80}));
    EXPECT_EQ(length(0xFF), (Bytes{0x81, 0xFF}));
    EXPECT_EQ(length(0x100), (Bytes{0x82, 0x01, 0x00}));
    EXPECT_EQ(length(0x10000), (Bytes{0x83, 0x01, 0x00, 0x00}));
}

}  // namespace
