#include "device/DeviceP11Operation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>

#include "pkcs7/sgndata.h"
#include "support/Gener_Func.h"
#include "support/MyBase64.h"

namespace {

constexpr long kPackFailed = -409;
// The SM2 signing flow puts the Z value in front of the signed text.
constexpr size_t kZLength = 32;
// A multiple of 3, so the Base64 texts of the pieces join seamlessly.
constexpr size_t kFilePiece = 61440;

int DigestCodeFor(unsigned long mechanism) {
    switch (mechanism) {
    case CKM_SHA1_RSA_PKCS: return p7::kDigestSha1;
    case CKM_SHA256_RSA_PKCS: return p7::kDigestSha256;
    case CKM_SHA384_RSA_PKCS: return p7::kDigestSha384;
    case CKM_SHA512_RSA_PKCS: return p7::kDigestSha512;
    case CKM_VENDOR_SM2_SM3: return p7::kDigestSm3;
    default: return 0;
    }
}

bool FitsInt(size_t size) { return size <= static_cast<size_t>(INT_MAX); }

// The DER SignedData of one signer, written in place into a buffer of exactly
// the measured size.
long BuildSignedData(const std::string& content, const std::vector<unsigned char>& cert,
                     const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2,
                     std::vector<unsigned char>& der) {
    const int digest = DigestCodeFor(mechanism);
    if (digest == 0) return kPackFailed;

    const size_t skipped = sm2 ? kZLength : 0;
    if (content.size() <= skipped) return kPackFailed;
    const size_t contentLength = content.size() - skipped;

    std::vector<unsigned char> sm2Signature;
    if (sm2 && !p7::EncodeSm2Signature(signature.data(), signature.size(), sm2Signature)) return kPackFailed;
    const std::vector<unsigned char>& encodedSignature = sm2 ? sm2Signature : signature;
    if (!FitsInt(contentLength) || !FitsInt(cert.size()) || !FitsInt(encodedSignature.size())) return kPackFailed;

    _signedData signedData;
    const auto* contentBytes = reinterpret_cast<const unsigned char*>(content.data()) + skipped;
    if (signedData.SetData(contentBytes, static_cast<int>(contentLength)) < 1) return kPackFailed;
    if (signedData._AddSigner(cert.data(), static_cast<int>(cert.size()), digest, encodedSignature.data(),
                              static_cast<int>(encodedSignature.size())) < 1) {
        return kPackFailed;
    }
    const int length = signedData._Encode(nullptr, INT_MAX);
    if (length < 1) return kPackFailed;
    std::vector<unsigned char> buffer(static_cast<size_t>(length));
    unsigned char* cursor = buffer.data();
    if (signedData._Encode(&cursor, length) != length) return kPackFailed;
    der.swap(buffer);
    return 0;
}

bool EncodeBase64(const std::vector<unsigned char>& der, std::string& text) {
    if (!FitsInt(der.size())) return false;
    CMyBase64 base64;
    unsigned int length = 0;
    const int required = base64.Encode(der.data(), static_cast<unsigned int>(der.size()), nullptr, &length);
    if (required < 0) return false;
    std::string encoded(static_cast<size_t>(required), '\0');
    length = static_cast<unsigned int>(required);
    if (required > 0 && base64.Encode(der.data(), static_cast<unsigned int>(der.size()), &encoded[0], &length) < 0) {
        return false;
    }
    text.swap(encoded);
    return true;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Created or truncated like fopen's "w", but only a regular file is taken: a
// FIFO would block the host for good or swallow the text, a device would
// swallow it.
std::FILE* OpenRegularOutputFile(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat info {};
    std::FILE* file = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? fdopen(fd, "wb") : nullptr;
    if (!file) close(fd);
    return file;
}

// Writes the Base64 text of der to path piece by piece, so the text buffer
// stays small however large the DER is.
bool WriteBase64File(const std::string& path, const std::vector<unsigned char>& der) {
    std::unique_ptr<std::FILE, FileCloser> file(OpenRegularOutputFile(path));
    if (!file) return false;
    std::vector<char> text(kFilePiece / 3 * 4);
    CMyBase64 base64;
    for (size_t offset = 0;; offset += kFilePiece) {
        const size_t piece = std::min(kFilePiece, der.size() - offset);
        unsigned int length = static_cast<unsigned int>(text.size());
        const int written = base64.Encode(der.data() + offset, static_cast<unsigned int>(piece), text.data(), &length);
        if (written < 0) return false;
        if (std::fwrite(text.data(), 1, static_cast<size_t>(written), file.get()) != static_cast<size_t>(written)) {
            return false;
        }
        if (piece < kFilePiece) break;
    }
    return std::fclose(file.release()) == 0;
}

// The token module returns file signatures least-significant byte first:
// r and s each for SM2, the whole signature for RSA.
bool RestoreSignatureByteOrder(std::vector<unsigned char>& signature, bool sm2) {
    if (!sm2) {
        InvertBuffer(signature.data(), signature.size());
        return true;
    }
    if (signature.empty() || signature.size() % 2 != 0) return false;
    const size_t half = signature.size() / 2;
    InvertBuffer(signature.data(), half);
    InvertBuffer(signature.data() + half, half);
    return true;
}

}  // namespace

long DeviceP11Operation::PackCert2P7(const std::string& content, const std::vector<unsigned char>& cert,
                                     const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2,
                                     std::string& out) {
    std::vector<unsigned char> der;
    if (BuildSignedData(content, cert, signature, mechanism, sm2, der) != 0) return kPackFailed;
    std::string text;
    if (!EncodeBase64(der, text)) return kPackFailed;
    out.swap(text);
    return 0;
}

long DeviceP11Operation::PackCert2P7SignFile(const std::string& content, const std::vector<unsigned char>& cert,
                                             std::vector<unsigned char> signature, unsigned long mechanism, bool sm2,
                                             std::string& out, const std::string& path) {
    if (!RestoreSignatureByteOrder(signature, sm2)) return kPackFailed;
    std::vector<unsigned char> der;
    if (BuildSignedData(content, cert, signature, mechanism, sm2, der) != 0) return kPackFailed;
    if (path.empty()) {
        std::string text;
        if (!EncodeBase64(der, text)) return kPackFailed;
        out.swap(text);
        return 0;
    }
    return WriteBase64File(path, der) ? 0 : kPackFailed;
}
