// Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

class CMyBase64 {
public:
    // *length holds the output capacity on entry. A null output or a capacity
    // of 0 is a size query. Returns the produced length, or -1 (capacity too
    // small, or invalid text for Decode); nothing is written on failure.
    int Encode(const unsigned char* in, unsigned int inLength, char* out, unsigned int* length);
    int Decode(const char* text, char* out, unsigned int* length);

    int _GetBase64Index(char c);
    bool _isbase64char(char c);
    int _IsBase64String(const char* text);
};
