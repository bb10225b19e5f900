#include "pkcs7/sgncer.h"

#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <new>

#include "support/openssl_ptr.h"

namespace {

// Appends the DER produced by an i2d function; false when it produces nothing.
template <typename T, typename Encoder>
bool AppendDer(std::vector<unsigned char>& out, const T* object, Encoder encode) {
    const int length = encode(object, nullptr);
    if (length <= 0) return false;
    const size_t start = out.size();
    out.resize(start + length);
    unsigned char* p = out.data() + start;
    return encode(object, &p) == length;
}

int DeriveId(const std::vector<unsigned char>& cert, std::vector<unsigned char>& id) {
    if (cert.empty()) return p7::kNoCertificate;
    const unsigned char* p = cert.data();
    X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(cert.size())));
    if (!x509) return p7::kNoIdentifier;
    std::vector<unsigned char> derived;
    try {
        if (!AppendDer(derived, X509_get_issuer_name(x509.get()), i2d_X509_NAME) ||
            !AppendDer(derived, X509_get0_serialNumber(x509.get()), i2d_ASN1_INTEGER)) {
            return p7::kNoIdentifier;
        }
    } catch (const std::bad_alloc&) {
        return p7::kNoIdentifier;
    }
    id.swap(derived);
    return static_cast<int>(id.size());
}

}  // namespace

namespace p7 {

int CopyInto(std::vector<unsigned char>& target, const unsigned char* bytes, int length) {
    try {
        target.assign(bytes, bytes + length);
    } catch (const std::bad_alloc&) {
        return kNoMemoryOrValue;
    }
    return length;
}

int CopyOut(const std::vector<unsigned char>& value, unsigned char* out, int capacity) {
    if (out == nullptr || capacity < 0 || value.size() > static_cast<size_t>(capacity)) return kBadBuffer;
    if (!value.empty()) std::memcpy(out, value.data(), value.size());
    return static_cast<int>(value.size());
}

}  // namespace p7

int SignerCert::SetCert(const unsigned char* der, int length) {
    if (der == nullptr || length < 1) return p7::kNoCertificate;
    std::vector<unsigned char> copy;
    const int copied = p7::CopyInto(copy, der, length);
    if (copied < 0) return copied;
    std::vector<unsigned char> derived;
    const int idLength = DeriveId(copy, derived);
    if (idLength < 0) return idLength;
    cert.swap(copy);
    id.swap(derived);
    return idLength;
}

int SignerCert::getID() { return DeriveId(cert, id); }

int SignerCert::GetCert(unsigned char* out, int capacity) const {
    if (cert.empty()) return p7::kNoCertificate;
    return p7::CopyOut(cert, out, capacity);
}

int SignerCert::GetID(unsigned char* out, int capacity) const {
    if (id.empty()) return p7::kNoIdentifier;
    return p7::CopyOut(id, out, capacity);
}

int SignerCert::adjustLen(int64_t contentLength, int capacity, int maxLengthBytes) {
    if (contentLength < 0 || capacity < 0) return p7::kTooLarge;
    const int lengthField = der::LengthFieldSize(static_cast<uint64_t>(contentLength));
    if (lengthField - 1 > maxLengthBytes) return p7::kTooLarge;
    const int64_t total = 1 + lengthField + contentLength;
    if (total > capacity) return p7::kTooLarge;
    return static_cast<int>(total);
}

int SignerCert::Encode(unsigned char** cursor, int capacity) const {
    if (cert.empty()) return p7::kNoCertificate;
    const int length = CertLength();
    if (capacity < length) return p7::kTooLarge;
    if (cursor == nullptr) return length;
    if (*cursor == nullptr) return p7::kTooLarge;
    std::memcpy(*cursor, cert.data(), cert.size());
    *cursor += length;
    return length;
}
