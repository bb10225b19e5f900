// SM3 hash (GB/T 32905), 256-bit digest.
#pragma once

#include <cstdint>

struct SM3_CTX {
    uint32_t state[8];
    uint32_t countLow;
    uint32_t countHigh;
    unsigned char buffer[64];
    int32_t digestBits;
};

void SM3_Init(SM3_CTX* ctx, int digestBits = 256);
// Any length in one call; the bit count is kept modulo 2^64.
void SM3_Update(SM3_CTX* ctx, const unsigned char* data, uint64_t length);
void SM3_Final(SM3_CTX* ctx, unsigned char digest[32]);
