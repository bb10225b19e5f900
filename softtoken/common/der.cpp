#include "softtoken/common/der.h"

namespace softtoken {

namespace {
void AppendLength(Bytes& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<unsigned char>(length));
        return;
    }
    Bytes digits;
    for (size_t rest = length; rest; rest >>= 8) digits.insert(digits.begin(), static_cast<unsigned char>(rest));
    out.push_back(static_cast<unsigned char>(0x80 | digits.size()));
    out.insert(out.end(), digits.begin(), digits.end());
}
}  // namespace

Bytes DerElement(unsigned char tag, const Bytes& content) {
    Bytes out{tag};
    AppendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes DerUnsignedInteger(const Bytes& bigEndian) {
    size_t first = 0;
    while (first + 1 < bigEndian.size() && bigEndian[first] == 0) ++first;
    Bytes content(bigEndian.begin() + static_cast<std::ptrdiff_t>(first), bigEndian.end());
    if (content.empty() || content[0] & 0x80) content.insert(content.begin(), 0);
    return DerElement(0x02, content);
}

std::optional<size_t> DerElementLength(const unsigned char* data, size_t available) {
    if (!data || available < 2) return std::nullopt;
    if ((data[0] & 0x1F) == 0x1F) return std::nullopt;  // multi-byte tags never occur here
    size_t header = 2;
    size_t length = data[1];
    if (length & 0x80) {
        size_t count = length & 0x7F;
        if (count == 0 || count > 4 || available < 2 + count) return std::nullopt;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = length << 8 | data[2 + i];
        header += count;
    }
    if (length > available - header) return std::nullopt;
    return header + length;
}

}  // namespace softtoken
