// DN text forms and matching, and small byte utilities.
#pragma once

#include <cstdint>
#include <string>

// One-line subject ("/C=CN/O=BANK/CN=X") to the inverted form ("CN=X,O=BANK,C=CN").
// The length argument is accepted and not consulted.
std::string InvertDN(const char* oneLine, int length);
// 1 when the inverted certificate DN matches the signer pattern, else 0;
// an empty pattern matches nothing.
int SignMatchDN(const char* certDn, const char* pattern);
// 1 when any "||"-separated alternative covers the certificate DN, else 0.
int IsMatchCertDN(const char* certDn, const char* alternatives);
// Writes the low 32 bits of value big-endian into bytes 4..7 of field.
void TransLength(unsigned char* field, uint64_t value);
// Reverses count bytes in place.
void InvertBuffer(unsigned char* bytes, uint64_t count);
