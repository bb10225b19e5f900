// Byte strings and the few encodings the software token stores or exchanges.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "token_module/token_module.h"

namespace softtoken {

using Bytes = std::vector<unsigned char>;

Bytes BytesOf(const std::string& text);
std::string TextOf(const Bytes& bytes);

std::string ToHex(const Bytes& bytes);
// Nullopt unless the text is an even number of hex digits.
std::optional<Bytes> FromHex(const std::string& hex);

// Native in-memory form of a CK_ULONG / CK_BBOOL attribute value.
Bytes UlongBytes(CK_ULONG value);
Bytes BoolBytes(bool value);
// Nullopt unless the value is exactly sizeof(CK_ULONG) bytes.
std::optional<CK_ULONG> UlongFrom(const Bytes& value);

// Strict unsigned decimal / "0x" hex parsing for command lines and files.
std::optional<unsigned long long> ParseNumber(const std::string& text);

}  // namespace softtoken
