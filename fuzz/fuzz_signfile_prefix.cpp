// The software token's reading of the signing-text prefix that
// E_SignFileWithDisplay receives without a length: the token finds the
// prefix's extent from its structure alone.
//
// Input: one byte whose low bit says whether a 32-byte Z value stands in
// front, two bytes of display-text length, then the prefix. The prefix sits
// at the start of a zeroed area as large as the furthest the token's bounds
// let it reach, so every read the bounds allow lands in memory, while a read
// the bounds should have stopped runs off the end and is reported.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "softtoken/module/signing_prefix.h"

namespace {

// Two 16 MiB texts, a 16 KiB name, the headers and the Z value, with room.
constexpr size_t kReachable = (32u << 20) + (64u << 10);

unsigned char* Area() {
    static std::unique_ptr<unsigned char[]> area(new unsigned char[kReachable]());
    return area.get();
}

size_t g_previousSize = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size - 3 > (1u << 20)) return 0;
    const size_t zLength = (data[0] & 1) ? 32 : 0;
    const size_t displayLength = (size_t(data[1]) << 8) | data[2];
    unsigned char* area = Area();
    std::memset(area, 0, g_previousSize);
    std::memcpy(area, data + 3, size - 3);
    g_previousSize = size - 3;

    auto layout = softtoken::MeasureSigningPrefix(area, zLength, displayLength);
    if (layout && (layout->length < zLength + 9 || layout->length > kReachable)) std::abort();
    return 0;
}
