// Key references of requests (certificate subject DNs or two-digit key
// numbers) turned into the packed key-ID list that the module's extension
// entries take: one (tag, number) byte pair per key. Each lookup opens its
// own session on the token.
#pragma once

#include <string>
#include <vector>

struct SelectedToken;

// Appends the pair of every key whose certificate's subject matches dn
// (signMode: the signer rule, else the whole-name rule) unless its number is
// listed already. False on a token failure, an undecodable certificate, no
// certificates at all, or (signMode) a matching certificate without its key.
bool GetPubKidByDN(const SelectedToken& token, const std::string& dn, std::vector<unsigned char>& list, bool signMode);
// Appends the pair of a temporary key named by its number (digits only).
bool GetPubKidByKid(const SelectedToken& token, const std::string& kid, std::vector<unsigned char>& list);
// Appends the pairs of the temporary keys that "||"-joined key numbers name;
// 0, or kBadParameter / kBadValue at the first number refused (pairs
// appended before it stay).
long TransPubKid(const SelectedToken& token, std::vector<unsigned char>& list, const char* keyIds);
// Whether the key numbered keyNumber exists and no certificate carries its pair.
bool CheckPubKeyIsValid(const SelectedToken& token, int keyNumber);
// The two-digit number the browser names a key by (RSA index 0-7 is 2-9,
// SM2 index 0-5 is 11-16) from its key type and CKA_VENDOR_KEY_INDEX value;
// -1 when the key has none (other type, empty or out-of-range index).
int KeyNumberOf(const std::vector<unsigned char>& keyType, const std::vector<unsigned char>& index);
// The inverted subject DN of a DER certificate; false when it does not decode.
bool InvertedSubjectOf(const std::vector<unsigned char>& der, std::string& dn);
