// Recognising the certificate bundle of an installation (PEM, Base64 or DER
// of a PKCS#7 bundle or of one certificate) and writing its certificates to
// the key. A default SelectedToken holds no keys: no certificate matches one.
#pragma once

#include <string>
#include <vector>

struct SelectedToken;

// One certificate (or undecoded blob) to be written to the token.
struct DERCERT {
    unsigned long length = 0;
    std::vector<unsigned char> data;
};

// Writes the certificates of text through the module: those of a bundle that
// belong to the key's pairs, a single certificate, or else the decoded text
// whole. remembered (when given) receives the certificates to be written
// before the first write. 0 or kNotBase64, kBadValue, kCertWriteFailed.
long WriteCert(const SelectedToken& token, const std::string& text, std::vector<DERCERT>* remembered);
// The certificates of a PEM or Base64 text that are worth writing: the one
// certificate it holds, or those of its bundle that belong to the key's
// pairs. False when it holds neither.
bool ParseP7(const SelectedToken& token, const std::string& text, std::vector<DERCERT>& certs);
// The DER of the first Base64 body of a PEM or plain Base64 text into out
// (*capacity bytes, which must cover three quarters of the body). The DER's
// length (also stored in *capacity), or 0 when the text cannot be read.
unsigned int PemToDer(const char* text, long length, unsigned char* out, unsigned int* capacity);
// A Base64 digit's value; 0 for '=', -1 for a line break, -2 for anything else.
int GetBase64Value(char c);
// What a DER element holds: 1 an INTEGER first, 2 an OBJECT IDENTIFIER
// first (a PKCS#7 bundle), 3 a SEQUENCE first (a certificate); 0 otherwise.
int CheckCertType(const unsigned char* der, unsigned long length);
// The certificates of a DER bundle that belong to the key's pairs;
// CKR_OK when there is one at least, else CKR_GENERAL_ERROR.
int ParseP7B(const SelectedToken& token, const unsigned char* der, unsigned long length, std::vector<DERCERT>& certs);
// The RSA modulus of a DER certificate, without the INTEGER's leading zero.
// A null out stores the length only. 0, or CKR_ARGUMENTS_BAD,
// CKR_BUFFER_TOO_SMALL, CKR_GENERAL_ERROR (no RSA key).
unsigned long GetCertModulus(const unsigned char* der, unsigned long length, unsigned char* out,
                             unsigned long* outLength);
// Reverses count bytes in place.
void FlipBuffer(unsigned char* bytes, unsigned long count);
