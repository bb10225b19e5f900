// E_SignFileWithDisplay: the token completes a signing text with a file it
// reads itself, and signs it as C_Sign would.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "softtoken/common/key_pairs.h"
#include "softtoken/module/aux_api.h"
#include "softtoken/module/holder.h"
#include "softtoken/module/runtime.h"
#include "softtoken/module/signer.h"
#include "softtoken/module/signing_prefix.h"
#include "support/MyBase64.h"

namespace softtoken::aux {

namespace {

constexpr size_t kMaxDisplayLength = 16u << 20;
constexpr size_t kMaxPathLength = 4096;
// A file record holds at most 99,999,999 characters, so its Base64 text less.
constexpr std::streamoff kMaxFileSize = 74999997;

// Length of a zero-terminated text, looking at most max bytes; nullopt
// when no terminator comes within them.
std::optional<size_t> BoundedLength(const char* text, size_t max) {
    size_t length = strnlen(text, max + 1);
    if (length > max) return std::nullopt;
    return length;
}

// Bytes read per step; a multiple of 3, so the steps' Base64 texts join
// seamlessly.
constexpr size_t kReadStep = 3 * 64 * 1024;

// A file to be signed, opened and measured; read later in steps.
struct FileToSign {
    std::ifstream in;
    size_t size = 0;
};

// False when the file cannot be opened or is too large.
bool OpenFileToSign(const std::string& path, FileToSign& file) {
    file.in.open(path, std::ios::binary);
    if (!file.in || !file.in.seekg(0, std::ios::end)) return false;
    std::streamoff size = file.in.tellg();
    if (size < 0 || size > kMaxFileSize || !file.in.seekg(0, std::ios::beg)) return false;
    file.size = static_cast<size_t>(size);
    return true;
}

// Passes the file's Base64 text on in steps; false when it cannot be read
// whole (at the size it had when opened).
bool FeedFileBase64(FileToSign& file, const DataConsumer& consume) {
    std::vector<char> bytes(std::min(kReadStep, file.size));
    std::vector<char> text(CMyBase64::EncodedLength(bytes.size()));
    CMyBase64 base64;
    for (size_t left = file.size; left > 0;) {
        const size_t step = std::min(kReadStep, left);
        if (!file.in.read(bytes.data(), static_cast<std::streamsize>(step))) return false;
        unsigned int length = static_cast<unsigned int>(text.size());
        const int written = base64.Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                          static_cast<unsigned int>(step), text.data(), &length);
        if (written < 0) return false;
        consume(reinterpret_cast<const unsigned char*>(text.data()), static_cast<size_t>(written));
        left -= step;
    }
    return true;
}

// The key-message field of the binary encoding: 0x22, 8-byte big-endian length, text.
void FeedBinaryKeyMessage(const char* display, size_t length, const DataConsumer& consume) {
    unsigned char header[9] = {0x22};
    for (int i = 0; i < 8; ++i) header[1 + i] = static_cast<unsigned char>(uint64_t{length} >> (56 - 8 * i));
    consume(header, sizeof header);
    consume(reinterpret_cast<const unsigned char*>(display), length);
}

// Least-significant byte first: RSA as a whole, SM2 r and s each.
void ReverseForCaller(Bytes& signature, bool sm2) {
    if (!sm2) {
        std::reverse(signature.begin(), signature.end());
        return;
    }
    size_t half = signature.size() / 2;
    std::reverse(signature.begin(), signature.begin() + static_cast<std::ptrdiff_t>(half));
    std::reverse(signature.begin() + static_cast<std::ptrdiff_t>(half), signature.end());
}

}  // namespace

CK_RV SignFileWithDisplay(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE key, CK_MECHANISM* mechanism,
                          const unsigned char* prefix, const char* displayText, const char* filePath,
                          unsigned char* signature, CK_ULONG* signatureLen, CK_ULONG) {
    Runtime& runtime = Runtime::Instance();
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    if (!mechanism || !prefix || !displayText || !filePath || !signature || !signatureLen) return CKR_ARGUMENTS_BAD;
    const TokenObject* privateKey = token.FindObject(key);
    if (!privateKey || !privateKey->IsClass(CKO_PRIVATE_KEY)) return CKR_KEY_HANDLE_INVALID;
    if (CK_RV rv = CheckSignMechanism(mechanism->mechanism, *privateKey); rv != CKR_OK) return rv;
    if (!runtime.IsLoggedIn(token.number)) return CKR_USER_NOT_LOGGED_IN;

    auto displayLength = BoundedLength(displayText, kMaxDisplayLength);
    auto pathLength = BoundedLength(filePath, kMaxPathLength);
    if (!displayLength || !pathLength) return CKR_ARGUMENTS_BAD;
    bool sm2 = KeyAlgorithmOf(*privateKey) == KeyAlgorithm::Sm2;
    auto layout = MeasureSigningPrefix(prefix, sm2 ? kSm2ZLength : 0, *displayLength);
    if (!layout) return CKR_ARGUMENTS_BAD;

    EvpPkeyPtr keyMaterial = LoadPrivateKey(*privateKey);
    if (!keyMaterial) return CKR_DEVICE_ERROR;
    size_t size = SignatureLength(keyMaterial.get());
    if (*signatureLen < size) {
        *signatureLen = size;
        return CKR_BUFFER_TOO_SMALL;
    }

    // The completed text is hashed as it is made, never held whole.
    FileToSign file;
    if (*pathLength > 0 && !OpenFileToSign(std::string(filePath, *pathLength), file)) return CKR_FUNCTION_FAILED;
    const uint64_t length = uint64_t{layout->length} + (*pathLength > 0 ? CMyBase64::EncodedLength(file.size) : 0) +
                            (layout->binary ? 9 + uint64_t{*displayLength} : 0);
    const DataFeeder feed = [&](const DataConsumer& consume) {
        consume(prefix, layout->length);
        if (*pathLength > 0 && !FeedFileBase64(file, consume)) return false;
        if (layout->binary) FeedBinaryKeyMessage(displayText, *displayLength, consume);
        return true;
    };
    Bytes result;
    if (CK_RV rv = SignPiecesLikeToken(token, *privateKey, mechanism->mechanism, length, feed, result); rv != CKR_OK) {
        return rv;
    }
    if (CK_RV rv = CommonAnswer(*store, token, AskHolder(*store, token, HolderPoint::SignFile)); rv != CKR_OK) {
        return rv;
    }
    if (result.size() > *signatureLen) return CKR_FUNCTION_FAILED;
    ReverseForCaller(result, sm2);
    std::memcpy(signature, result.data(), result.size());
    *signatureLen = result.size();
    return CKR_OK;
}

}  // namespace softtoken::aux
