#include "support/der.h"

#include <cstring>

namespace der {

int LengthFieldSize(uint64_t length) {
    if (length < 0x80) return 1;
    int bytes = 0;
    for (uint64_t rest = length; rest != 0; rest >>= 8) ++bytes;
    return 1 + bytes;
}

uint64_t ElementSize(uint64_t contentLength) {
    return 1 + static_cast<uint64_t>(LengthFieldSize(contentLength)) + contentLength;
}

unsigned char* WriteHeader(unsigned char* p, unsigned char tag, uint64_t length) {
    *p++ = tag;
    if (length < 0x80) {
        *p++ = static_cast<unsigned char>(length);
        return p;
    }
    const int bytes = LengthFieldSize(length) - 1;
    *p++ = static_cast<unsigned char>(0x80 | bytes);
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) *p++ = static_cast<unsigned char>(length >> shift);
    return p;
}

unsigned char* Put(unsigned char* p, const unsigned char* bytes, size_t size) {
    if (size != 0) std::memcpy(p, bytes, size);
    return p + size;
}

unsigned char* Put(unsigned char* p, const std::vector<unsigned char>& bytes) {
    return Put(p, bytes.data(), bytes.size());
}

unsigned char* Put(unsigned char* p, const View& bytes) {
    return Put(p, bytes.data, static_cast<size_t>(bytes.size));
}

void AppendLength(std::vector<unsigned char>& out, uint64_t length) {
    unsigned char header[1 + 1 + sizeof length];
    const unsigned char* const end = WriteHeader(header, 0, length);
    out.insert(out.end(), static_cast<const unsigned char*>(header) + 1, end);
}

void AppendElement(std::vector<unsigned char>& out, unsigned char tag, const unsigned char* content, size_t length) {
    out.push_back(tag);
    AppendLength(out, length);
    if (length != 0) out.insert(out.end(), content, content + length);
}

std::vector<unsigned char> Element(unsigned char tag, const std::vector<unsigned char>& content) {
    std::vector<unsigned char> out;
    out.reserve(ElementSize(content.size()));
    AppendElement(out, tag, content.data(), content.size());
    return out;
}

void AppendUnsignedInteger(std::vector<unsigned char>& out, const unsigned char* bigEndian, size_t length) {
    while (length > 1 && bigEndian[0] == 0x00) {
        ++bigEndian;
        --length;
    }
    const bool pad = length == 0 || (bigEndian[0] & 0x80) != 0;
    out.push_back(kTagInteger);
    AppendLength(out, length + (pad ? 1 : 0));
    if (pad) out.push_back(0x00);
    if (length != 0) out.insert(out.end(), bigEndian, bigEndian + length);
}

std::optional<size_t> ElementLength(const unsigned char* data, size_t available) {
    if (!data || available < 2) return std::nullopt;
    size_t header = 2;
    size_t length = data[1];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || available < 2 + count) return std::nullopt;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = length << 8 | data[2 + i];
        header += count;
    }
    if (length > available - header) return std::nullopt;
    return header + length;
}

}  // namespace der
