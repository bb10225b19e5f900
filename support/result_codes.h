// The program's result codes: 0 for success, a negative number for each kind
// of failure. Replies to the browser carry these numbers, so they never
// change; docs/protocol.md lists them with the same meanings.
#pragma once

namespace rc {

constexpr long kSuccess = 0;

constexpr long kCancelled = -100;           // the holder cancelled at the key
constexpr long kModuleNotInstalled = -101;  // the key's module (or our device layer) cannot be loaded or initialised
constexpr long kNoKey = -102;               // no key is plugged in
constexpr long kCannotConnect = -103;       // a slot, token, session or module call failed
constexpr long kSeveralKeys = -104;         // more than one key is plugged in
constexpr long kTimedOut = -105;            // the holder did not answer the key in time

// Wrong PIN: -200 less the tries the key still allows (1 to 15, so -201 to
// -215). None left is reported as kPinLocked; -200 itself has a text but is
// never raised.
constexpr long WrongPin(int triesLeft) { return -200 - triesLeft; }
constexpr long kPinLocked = -221;       // the PIN is locked
constexpr long kPinLengthWrong = -222;  // has a text, never raised

constexpr long kGeneralFailure = -300;      // any failure without a code of its own
constexpr long kNotInitialised = -301;      // customer initialisation failed
constexpr long kReadFailed = -302;          // token data or a file cannot be read
constexpr long kAdminKeyWrong = -303;       // has a text, never raised
constexpr long kBadParameter = -304;        // a required input is missing, empty or malformed
constexpr long kNoCertificate = -350;       // the key holds no certificate at all
constexpr long kOpenRegisterFailed = -351;  // has a text, never raised
constexpr long kBadValue = -352;            // an input value is out of range or refused by the key
constexpr long kBufferTooSmall = -353;      // a result does not fit the space given for it

constexpr long kNotBase64 = -401;             // a text to decode is not Base64 (nor a certificate bundle)
constexpr long kEncodeFailed = -402;          // the signing text could not be Base64-encoded
constexpr long kKeyGenerationFailed = -403;   // the key did not generate the request's key pairs
constexpr long kRequestSigningFailed = -404;  // the key did not sign the certificate requests
constexpr long kCertWriteFailed = -408;       // the key did not store a certificate
constexpr long kPackFailed = -409;            // the SignedData could not be built or written
constexpr long kExportNotSupported = -411;    // the key's module cannot export public keys

}  // namespace rc
