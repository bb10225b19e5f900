#include "softtoken/common/bytes.h"

#include <cstring>

namespace softtoken {

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string TextOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string ToHex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        hex.push_back(digits[b >> 4]);
        hex.push_back(digits[b & 0x0F]);
    }
    return hex;
}

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<Bytes> FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    Bytes bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = HexValue(hex[i]);
        int low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(high << 4 | low));
    }
    return bytes;
}

Bytes UlongBytes(CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes BoolBytes(bool value) { return Bytes(1, value ? CK_TRUE : CK_FALSE); }

std::optional<CK_ULONG> UlongFrom(const Bytes& value) {
    CK_ULONG result = 0;
    if (value.size() != sizeof result) return std::nullopt;
    std::memcpy(&result, value.data(), sizeof result);
    return result;
}

std::optional<unsigned long long> ParseNumber(const std::string& text) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 16u : 19u)) return std::nullopt;
    unsigned long long value = 0;
    for (char c : digits) {
        int d = hex ? HexValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(d);
    }
    return value;
}

}  // namespace softtoken
