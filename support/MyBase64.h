// Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

#include <cstddef>
#include <string>

class CMyBase64 {
public:
    // *length holds the output capacity on entry. A null output or a capacity
    // of 0 is a size query. Returns the produced length, or -1 (capacity too
    // small, or invalid text for Decode); nothing is written on failure.
    int Encode(const unsigned char* in, unsigned int inLength, char* out, unsigned int* length);
    int Decode(const char* text, char* out, unsigned int* length);
    // Characters of the text of inLength bytes.
    static size_t EncodedLength(size_t inLength) { return inLength / 3 * 4 + (inLength % 3 != 0 ? 4 : 0); }

    int GetBase64Index(char c);
    bool _isbase64char(char c);
    int IsBase64String(const char* text);
};

// The whole text of length bytes; empty when it would exceed the codec's limit.
std::string Base64Encode(const unsigned char* data, size_t length);
