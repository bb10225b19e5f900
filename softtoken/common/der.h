// Just enough DER for the token: building small structures by hand and
// measuring an element from its header.
#pragma once

#include <optional>

#include "softtoken/common/bytes.h"

namespace softtoken {

Bytes DerElement(unsigned char tag, const Bytes& content);
// INTEGER of an unsigned big-endian number (leading zeros dropped, a zero byte
// added when the top bit is set).
Bytes DerUnsignedInteger(const Bytes& bigEndian);

// Total length (header and content) of the definite-length element that
// starts at data, reading at most `available` bytes; nullopt when the header
// is malformed, indefinite, or announces more than `available` bytes.
std::optional<size_t> DerElementLength(const unsigned char* data, size_t available);

}  // namespace softtoken
