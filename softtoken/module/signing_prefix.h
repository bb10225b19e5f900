// The extent of a signing-text prefix handed to E_SignFileWithDisplay. The
// prefix comes without a length, so its structure tells how far it reaches;
// every length in it is checked before a byte it announces is read.
//
// Decimal encoding (first text bytes "11"): "11"+10 digits, "21"+10 digits
// and the text, "22"+10 digits and the key message, "23"+10 digits, then,
// when that length is not 0, the file record up to its name.
// Binary encoding (first text byte 0x11): 0x11+8-byte length, 0x21+length and
// the text, 0x23+length, then the file record up to its name when present.
// File record head: "00000000", L1, L2, L3 (8 digits each), the L3-byte name.
#pragma once

#include <cstddef>
#include <optional>

namespace softtoken {

struct SigningPrefix {
    size_t length = 0;  // bytes of the prefix, Z value included
    bool binary = false;
};

// zLength: 32 when an SM2 Z value stands in front of the text, else 0.
// displayLength: length of the display text, which the binary outer length
// already counts. Nullopt for anything malformed or out of bounds.
std::optional<SigningPrefix> MeasureSigningPrefix(const unsigned char* prefix, size_t zLength, size_t displayLength);

}  // namespace softtoken
