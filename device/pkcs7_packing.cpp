#include "device/pkcs7_packing.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "pkcs7/sgndata.h"
#include "support/Gener_Func.h"
#include "support/der.h"
#include "support/MyBase64.h"
#include "support/base64_text.h"
#include "support/file_replacement.h"
#include "support/result_codes.h"
#include "token_module/token_module.h"

namespace {

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

int64_t TlvSize(int64_t contentLength) {
    return static_cast<int64_t>(der::ElementSize(static_cast<uint64_t>(contentLength)));
}

// The DER SignedData of one signer, built around content that already lies in
// buffer from contentStart to the end: the headers go into the room before
// the content and the certificate and signer after it, so the content is
// never copied. The bytes are those SignedData::Encode writes for the same
// content; derStart tells where they begin.
long BuildSignedDataInPlace(std::string& buffer, size_t contentStart, const std::vector<unsigned char>& cert,
                            const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2,
                            size_t& derStart) {
    const int digest = DigestCodeFor(mechanism);
    if (digest == 0 || contentStart > buffer.size()) return rc::kPackFailed;
    const size_t contentLength = buffer.size() - contentStart;
    if (contentLength < 1) return rc::kPackFailed;

    std::vector<unsigned char> sm2Signature;
    if (sm2 && !p7::EncodeSm2Signature(signature.data(), signature.size(), sm2Signature)) return rc::kPackFailed;
    const std::vector<unsigned char>& encodedSignature = sm2 ? sm2Signature : signature;
    if (!FitsInt(contentLength) || !FitsInt(cert.size()) || !FitsInt(encodedSignature.size())) return rc::kPackFailed;

    SignedData signedData;
    if (signedData.AddSigner(cert.data(), static_cast<int>(cert.size()), digest, encodedSignature.data(),
                             static_cast<int>(encodedSignature.size())) < 1) {
        return rc::kPackFailed;
    }
    // The parts around the content, measured as Encode measures them.
    const int digests = signedData.EncodeSetDigests(nullptr, INT_MAX);
    const int certs = signedData.EncodeSetCerts(nullptr, INT_MAX);
    const int signers = signedData.EncodeSetSigner(nullptr, INT_MAX);
    if (digests < 0 || certs < 0 || signers < 0) return rc::kPackFailed;

    constexpr int64_t kVersionSize = 3;
    const int64_t oidSize = sizeof p7::kOidData;
    const int64_t length = static_cast<int64_t>(contentLength);
    const int64_t octetString = TlvSize(length);
    const int64_t explicitContent = TlvSize(octetString);
    const int64_t dataPart = TlvSize(oidSize + explicitContent);
    const int64_t signedContent = kVersionSize + digests + dataPart + certs + signers;
    const int64_t signedDataSize = TlvSize(signedContent);
    const int64_t outerExplicit = TlvSize(signedDataSize);
    const int64_t contentInfo = int64_t(sizeof p7::kOidSignedData) + outerExplicit;
    const int64_t total = TlvSize(contentInfo);
    if (total > INT_MAX) return rc::kPackFailed;

    // Everything in front of the content, written here and then put in place.
    unsigned char head[kSignedDataHeadroom];
    const int64_t headSize = total - length - certs - signers;
    if (headSize > static_cast<int64_t>(sizeof head) || headSize > static_cast<int64_t>(contentStart)) {
        return rc::kPackFailed;
    }
    unsigned char* p = der::WriteHeader(head, der::kTagSequence, static_cast<uint64_t>(contentInfo));
    p = der::Put(p, der::MakeView(p7::kOidSignedData));
    p = der::WriteHeader(p, der::kTagContext0, static_cast<uint64_t>(signedDataSize));
    p = der::WriteHeader(p, der::kTagSequence, static_cast<uint64_t>(signedContent));
    p = der::WriteHeader(p, der::kTagInteger, 1);
    *p++ = 1;  // version
    if (signedData.EncodeSetDigests(&p, static_cast<int>(sizeof head - (p - head))) != digests) return rc::kPackFailed;
    p = der::WriteHeader(p, der::kTagSequence, static_cast<uint64_t>(oidSize + explicitContent));
    p = der::Put(p, der::MakeView(p7::kOidData));
    p = der::WriteHeader(p, der::kTagContext0, static_cast<uint64_t>(octetString));
    p = der::WriteHeader(p, der::kTagOctetString, static_cast<uint64_t>(length));
    if (p - head != headSize) return rc::kPackFailed;

    const size_t contentEnd = buffer.size();
    buffer.resize(contentEnd + static_cast<size_t>(certs) + static_cast<size_t>(signers));
    auto* tail = reinterpret_cast<unsigned char*>(&buffer[contentEnd]);
    if (signedData.EncodeSetCerts(&tail, certs) != certs || signedData.EncodeSetSigner(&tail, signers) != signers) {
        buffer.resize(contentEnd);
        return rc::kPackFailed;
    }
    derStart = contentStart - static_cast<size_t>(headSize);
    std::memcpy(&buffer[derStart], head, static_cast<size_t>(headSize));
    return 0;
}

// The content of PackCert2P7's callers, copied behind room for the headers
// (without the Z value in front of SM2 content), with the capacity that the
// DER (and, with base64InPlace, its text) will need.
bool ContentWithRoom(const std::string& content, bool sm2, const std::vector<unsigned char>& cert,
                     bool base64InPlace, std::string& buffer) {
    const size_t skipped = sm2 ? kZLength : 0;
    if (content.size() <= skipped) return false;
    const size_t contentEnd = kSignedDataHeadroom + content.size() - skipped;
    const size_t derEnd = contentEnd + SignedDataTailRoom(cert);
    buffer.reserve(base64InPlace ? Base64InPlaceCapacity(derEnd) : derEnd);
    buffer.assign(kSignedDataHeadroom, '\0');
    buffer.append(content, skipped, std::string::npos);
    return true;
}

// DER bytes encoded per step of the in-place encoder: a multiple of 3, so
// that only the last step has padding, and at least three times the room in
// front of the DER (see below).
constexpr size_t kInPlaceStep = 3 * 16 * 1024;

// Turns buffer[derStart, end) into its Base64 text in buffer[0, ...) without
// a second buffer. Steps are taken from the end: a step's text begins at 4/3
// of the step's offset into the DER, which lies at or behind the DER bytes
// still to be read once that offset is at least 3 x derStart; the step's own
// bytes are set aside first, since its text overwrites them. The first step
// (offset 0) is the only one nearer the front, and by then nothing else is
// left to read.
bool EncodeBase64InPlace(std::string& buffer, size_t derStart) {
    const size_t size = buffer.size() - derStart;
    const size_t textLength = CMyBase64::EncodedLength(size);
    if (size == 0 || textLength > static_cast<size_t>(INT_MAX) || 3 * derStart > kInPlaceStep) return false;
    if (textLength > buffer.size()) buffer.resize(textLength);
    char* const base = &buffer[0];
    std::vector<unsigned char> aside(std::min(kInPlaceStep, size));
    CMyBase64 base64;
    for (size_t end = size, step = (size - 1) / kInPlaceStep * kInPlaceStep;; end = step, step -= kInPlaceStep) {
        const size_t length = end - step;
        std::memcpy(aside.data(), base + derStart + step, length);
        unsigned int capacity = static_cast<unsigned int>(CMyBase64::EncodedLength(length));
        if (base64.Encode(aside.data(), static_cast<unsigned int>(length), base + step / 3 * 4, &capacity) < 0) {
            return false;
        }
        if (step == 0) break;
    }
    buffer.resize(textLength);
    return true;
}

bool EncodeBase64(const unsigned char* der, size_t size, std::string& text) {
    if (!FitsInt(size)) return false;
    CMyBase64 base64;
    unsigned int length = 0;
    const int required = base64.Encode(der, static_cast<unsigned int>(size), nullptr, &length);
    if (required < 0) return false;
    std::string encoded(static_cast<size_t>(required), '\0');
    length = static_cast<unsigned int>(required);
    if (required > 0 && base64.Encode(der, static_cast<unsigned int>(size), &encoded[0], &length) < 0) return false;
    text.swap(encoded);
    return true;
}

// Writes the Base64 text of der to path piece by piece, so the text buffer
// stays small however large the DER is. The file appears whole or not at all.
bool WriteBase64File(const std::string& path, const unsigned char* der, size_t size) {
    FileReplacement file(path, "token-host");
    if (!file.IsOpen()) return false;
    std::vector<char> text(kFilePiece / 3 * 4);
    CMyBase64 base64;
    for (size_t offset = 0;; offset += kFilePiece) {
        const size_t piece = std::min(kFilePiece, size - offset);
        unsigned int length = static_cast<unsigned int>(text.size());
        const int written = base64.Encode(der + offset, static_cast<unsigned int>(piece), text.data(), &length);
        if (written < 0 || !file.Write(text.data(), static_cast<size_t>(written))) return false;
        if (piece < kFilePiece) break;
    }
    return file.Commit();
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

size_t Base64InPlaceCapacity(size_t derEnd) { return std::max(derEnd, CMyBase64::EncodedLength(derEnd)); }

size_t SignedDataTailRoom(const std::vector<unsigned char>& cert) {
    // The certificate set holds the certificate; the signer its issuer and
    // serial (less than the certificate), two algorithm identifiers and the
    // signature, each with a few header bytes.
    constexpr size_t kMaxSignature = 1024 + 16;
    constexpr size_t kHeadersAndIdentifiers = 128;
    return 2 * cert.size() + kMaxSignature + kHeadersAndIdentifiers;
}

long PackCert2P7(const std::string& content, const std::vector<unsigned char>& cert,
                 const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2, std::string& out) {
    std::string buffer;
    if (!ContentWithRoom(content, sm2, cert, true, buffer)) return rc::kPackFailed;
    return PackCert2P7InPlace(buffer, kSignedDataHeadroom, cert, signature, mechanism, sm2, out);
}

long PackCert2P7SignFile(const std::string& content, const std::vector<unsigned char>& cert,
                         std::vector<unsigned char> signature, unsigned long mechanism, bool sm2, std::string& out,
                         const std::string& path) {
    std::string buffer;
    if (!ContentWithRoom(content, sm2, cert, false, buffer)) return rc::kPackFailed;
    return PackCert2P7SignFileInPlace(buffer, kSignedDataHeadroom, cert, std::move(signature), mechanism, sm2, out,
                                      path);
}

long PackCert2P7InPlace(std::string& buffer, size_t contentStart, const std::vector<unsigned char>& cert,
                        const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2,
                        std::string& out) {
    size_t derStart = 0;
    if (BuildSignedDataInPlace(buffer, contentStart, cert, signature, mechanism, sm2, derStart) != 0) {
        return rc::kPackFailed;
    }
    if (!EncodeBase64InPlace(buffer, derStart)) return rc::kPackFailed;
    out.swap(buffer);
    return 0;
}

long PackCert2P7InPlace(std::string& buffer, size_t contentStart, const std::vector<unsigned char>& cert,
                        const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2,
                        Base64Text& out) {
    size_t derStart = 0;
    if (BuildSignedDataInPlace(buffer, contentStart, cert, signature, mechanism, sm2, derStart) != 0) {
        return rc::kPackFailed;
    }
    out = Base64Text(std::move(buffer), derStart);
    buffer.clear();
    return 0;
}

long PackCert2P7SignFileInPlace(std::string& buffer, size_t contentStart, const std::vector<unsigned char>& cert,
                                std::vector<unsigned char> signature, unsigned long mechanism, bool sm2,
                                std::string& out, const std::string& path) {
    if (!RestoreSignatureByteOrder(signature, sm2)) return rc::kPackFailed;
    size_t derStart = 0;
    if (BuildSignedDataInPlace(buffer, contentStart, cert, signature, mechanism, sm2, derStart) != 0) {
        return rc::kPackFailed;
    }
    const auto* der = reinterpret_cast<const unsigned char*>(buffer.data()) + derStart;
    const size_t size = buffer.size() - derStart;
    if (path.empty()) {
        std::string text;
        if (!EncodeBase64(der, size, text)) return rc::kPackFailed;
        out.swap(text);
        return 0;
    }
    return WriteBase64File(path, der, size) ? 0 : rc::kPackFailed;
}
