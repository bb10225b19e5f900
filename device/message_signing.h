// The steps message signing shares with file signing: choosing the signer
// among the key's certificates, the mechanism, the login and the private key.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "token_module/token_module.h"

class P11Session;
struct SelectedToken;

// What signer selection found.
struct SignerSelection {
    bool found = false;
    bool sm2 = false;
    bool binaryText = false;
    std::vector<unsigned char> certificate;  // DER
    std::vector<unsigned char> pairId;       // CKA_VENDOR_PAIR_ID of the certificate
    unsigned char z[32] = {};                // SM2 only
    // The signing text from textStart on. For file signing it is the prefix
    // and starts at 0; for message signing it is laid out by
    // MakeSigningBuffer, so that it is signed and packed where it lies.
    std::string text;
    size_t textStart = 0;
};

// The signing text SelectSigner builds: the file-signing prefix, or the
// complete text laid out by MakeSigningBuffer, with room for the DER's Base64
// text or for the DER alone.
enum class SigningTextLayout { FilePrefix, PackedAsText, PackedAsDer };

// Finds the certificate that matches dn among the first 10, its public key,
// text format and Z value, and builds the signing text. No match is no
// failure: signer.found stays false.
long SelectSigner(const P11Session& session, bool utf8, const char* dn, const char* xmlMsg, const char* keyMsg,
                  const std::string& filePath, SigningTextLayout layout, SignerSelection& signer);
// Chooses the mechanism for the key kind and upper-cased hash name;
// kBadValue when refused.
long ChooseMechanism(bool sm2, const std::string& upperHashName, CK_MECHANISM_TYPE& mechanism);
std::string UpperCaseHashName(std::string name);
// Logs in with the PIN prompt block; 0 or the mapped failure code.
long LoginWithPrompt(const P11Session& session, const SelectedToken& token);
// Finds the private key of a pair (value up to its first zero, then one zero byte).
long FindPrivateKey(const P11Session& session, const std::vector<unsigned char>& pairId, CK_OBJECT_HANDLE& key);
// A signing prompt's result: 0, kCancelled, kTimedOut, else kCannotConnect.
long MapSignResult(CK_RV rv);
// The data the key signs: the Z value in front of the text for SM2.
std::string DataForToken(const SignerSelection& signer, const std::string& signingText);
// The complete signing text laid out for signing and packing in place:
// kSignedDataHeadroom bytes of room, the Z value when z is given, the text
// from textStart on, and capacity reserved for the SignedData's certificate
// and signer after it (and, with base64InPlace, for the DER's Base64 text:
// see PackCert2P7InPlace). The signing text's codes.
long MakeSigningBuffer(bool utf8, const char* xmlMsg, const char* keyMsg, const std::string& filePath, bool binary,
                       const unsigned char* z, const std::vector<unsigned char>& certificate, bool base64InPlace,
                       std::string& buffer, size_t& textStart);
