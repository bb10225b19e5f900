// String literals of a JSON text found and decoded the way the JSON library's
// reader finds and decodes them, so that a large one can be decoded where it
// lies instead of being copied twice by the library.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One literal, from its opening quote to just past its closing one.
struct JsonLiteral {
    size_t begin;
    size_t end;
};

// The literals of at least minLength characters between their quotes that
// follow a value's place (the next character past blanks is ',', '}' or
// ']'), outside comments, in text order. The scan stops where the reader
// would fail for good (an unclosed literal or a malformed comment).
std::vector<JsonLiteral> FindLongValueLiterals(std::string_view text, size_t minLength);

// Decodes the characters between a literal's quotes to the start of that same
// range, with the reader's escapes; the decoded length, or npos when the
// reader would refuse an escape (the range then holds anything).
size_t DecodeLiteralInPlace(char* characters, size_t length);
