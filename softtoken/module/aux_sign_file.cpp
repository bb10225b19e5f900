// E_SignFileWithDisplay: the token completes a signing text with a file it
// reads itself, and signs it as C_Sign would.
#include <algorithm>
#include <cstring>
#include <fstream>

#include "softtoken/common/key_pairs.h"
#include "softtoken/module/aux_api.h"
#include "softtoken/module/holder.h"
#include "softtoken/module/runtime.h"
#include "softtoken/module/signer.h"
#include "softtoken/module/signing_prefix.h"

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

// The whole file, or nullopt when it cannot be read or is too large.
std::optional<Bytes> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in || !in.seekg(0, std::ios::end)) return std::nullopt;
    std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxFileSize || !in.seekg(0, std::ios::beg)) return std::nullopt;
    Bytes content(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(content.data()), size)) return std::nullopt;
    return content;
}

// The key-message field of the binary encoding: 0x22, 8-byte big-endian length, text.
void AppendBinaryKeyMessage(Bytes& data, const char* display, size_t length) {
    data.push_back(0x22);
    for (int shift = 56; shift >= 0; shift -= 8) data.push_back(static_cast<unsigned char>(uint64_t{length} >> shift));
    data.insert(data.end(), display, display + length);
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

    Bytes data(prefix, prefix + layout->length);
    if (*pathLength > 0) {
        auto content = ReadFile(std::string(filePath, *pathLength));
        if (!content) return CKR_FUNCTION_FAILED;
        std::string base64 = Base64Encode(content->data(), content->size());
        data.insert(data.end(), base64.begin(), base64.end());
    }
    if (layout->binary) AppendBinaryKeyMessage(data, displayText, *displayLength);

    Bytes result;
    if (CK_RV rv = SignLikeToken(token, *privateKey, mechanism->mechanism, data.data(), data.size(), result);
        rv != CKR_OK) {
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
