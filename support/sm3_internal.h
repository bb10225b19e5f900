// The SM3 block functions behind SM3_Update, for the tests and benchmarks that
// must check or time each one on the processor at hand. Not for other callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/sm3.h"

namespace sm3 {

// Compresses `blocks` consecutive 64-byte blocks into the chaining value.
using CompressBlocks = void (*)(uint32_t state[8], const unsigned char* data, size_t blocks);

struct Implementation {
    const char* name;
    CompressBlocks compress;
};

// Every block function the running processor can execute, the portable one
// first; SM3_Update uses the last.
std::vector<Implementation> AvailableImplementations();

// SM3_Update and SM3_Final with a given block function.
void Update(SM3_CTX* ctx, const unsigned char* data, uint64_t length, CompressBlocks compress);
void Final(SM3_CTX* ctx, unsigned char digest[32], CompressBlocks compress);

}  // namespace sm3
