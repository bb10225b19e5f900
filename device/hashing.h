// The SM2 signer hash (Z value) and digests by hash name.
#pragma once

#include <cstdint>
#include <string>

struct SelectedToken;

// Z over the default signer ID and the public key (x, y): 32 bytes into z.
// A null z stores the length and succeeds.
bool ComputeZ(const unsigned char* x, unsigned long xLen, const unsigned char* y, unsigned long yLen, unsigned char* z,
              unsigned long* zLen);
// The digest of data under name (MD5, SHA1, SHA256, SHA384, SHA512, SM3) and
// the type byte the key uses for it. SM3 is computed here, the others by
// the token.
bool GetHashValue(const SelectedToken& token, const std::string& name, const unsigned char* data, uint32_t length,
                  unsigned char* hashType, unsigned char* out, unsigned long* outLen);
