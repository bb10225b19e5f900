#include "support/MyBase64.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

constexpr char Base64Table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kPad = '=';

// Character value per byte; characters outside the alphabet count as 0.
struct DecodeTable {
    unsigned char value[256];
    constexpr DecodeTable() : value() {
        for (int i = 0; i < 64; ++i) {
            value[static_cast<unsigned char>(Base64Table[i])] = static_cast<unsigned char>(i);
        }
    }
};
constexpr DecodeTable kDecode;

// Both characters for each 12-bit value, so one lookup yields half a group.
struct PairTable {
    char pair[4096][2];
    constexpr PairTable() : pair() {
        for (int i = 0; i < 4096; ++i) {
            pair[i][0] = Base64Table[i >> 6];
            pair[i][1] = Base64Table[i & 63];
        }
    }
};
constexpr PairTable kPairs;

inline uint32_t Sextet(char c) { return kDecode.value[static_cast<unsigned char>(c)]; }

// Stores the required length on a size query or when it fits; -1 otherwise.
// Returns 1 when the caller should go on and write the output.
int SettleLength(uint64_t required, const void* out, unsigned int* length, int* result) {
    if (required > INT_MAX) {
        *result = -1;
        return 0;
    }
    if (out == nullptr || length == nullptr || *length == 0) {
        if (length) *length = static_cast<unsigned int>(required);
        *result = static_cast<int>(required);
        return 0;
    }
    if (*length < required) {
        *result = -1;
        return 0;
    }
    return 1;
}

void EncodeInto(const unsigned char* in, size_t inLength, char* out) {
    const unsigned char* const whole = in + inLength / 3 * 3;
    for (; in != whole; in += 3, out += 4) {
        const uint32_t group = (uint32_t(in[0]) << 16) | (uint32_t(in[1]) << 8) | in[2];
        std::memcpy(out, kPairs.pair[group >> 12], 2);
        std::memcpy(out + 2, kPairs.pair[group & 4095], 2);
    }
    switch (inLength % 3) {
    case 1:
        out[0] = Base64Table[in[0] >> 2];
        out[1] = Base64Table[(in[0] & 3) << 4];
        out[2] = kPad;
        out[3] = kPad;
        break;
    case 2:
        out[0] = Base64Table[in[0] >> 2];
        out[1] = Base64Table[((in[0] & 3) << 4) | (in[1] >> 4)];
        out[2] = Base64Table[(in[1] & 15) << 2];
        out[3] = kPad;
        break;
    default:
        break;
    }
}

void DecodeInto(const char* text, size_t textLength, size_t padCount, unsigned char* out) {
    const char* const end = text + textLength;
    const char* const lastGroup = end - 4;
    for (; text != lastGroup; text += 4, out += 3) {
        const uint32_t group = (Sextet(text[0]) << 18) | (Sextet(text[1]) << 12) | (Sextet(text[2]) << 6) |
                               Sextet(text[3]);
        out[0] = static_cast<unsigned char>(group >> 16);
        out[1] = static_cast<unsigned char>(group >> 8);
        out[2] = static_cast<unsigned char>(group);
    }
    const uint32_t group =
        (Sextet(text[0]) << 18) | (Sextet(text[1]) << 12) | (Sextet(text[2]) << 6) | Sextet(text[3]);
    out[0] = static_cast<unsigned char>(group >> 16);
    if (padCount < 2) out[1] = static_cast<unsigned char>(group >> 8);
    if (padCount < 1) out[2] = static_cast<unsigned char>(group);
}

// IsBase64String's verdict for a text of known length.
int ValidationResult(const char* text, size_t textLength) {
    if (textLength == 0) return -1;
    if (textLength % 4 != 0) return -2;
    const char* pad = static_cast<const char*>(std::memchr(text, kPad, textLength));
    if (pad == nullptr) return 0;
    const size_t position = static_cast<size_t>(pad - text);
    if (position == textLength - 1) return 0;
    if (position == textLength - 2 && text[textLength - 1] == kPad) return 0;
    return position + 1 > INT_MAX ? INT_MAX : static_cast<int>(position + 1);
}

}  // namespace

int CMyBase64::Encode(const unsigned char* in, unsigned int inLength, char* out, unsigned int* length) {
    if (in == nullptr && inLength != 0) return -1;
    const uint64_t required = (uint64_t(inLength) + 2) / 3 * 4;
    int result = 0;
    if (!SettleLength(required, out, length, &result)) return result;
    EncodeInto(in, inLength, out);
    *length = static_cast<unsigned int>(required);
    return static_cast<int>(required);
}

int CMyBase64::Decode(const char* text, char* out, unsigned int* length) {
    if (text == nullptr) return -1;
    // Measured once, for the validation and the decoding alike.
    const size_t textLength = std::strlen(text);
    if (ValidationResult(text, textLength) != 0) return -1;
    const size_t padCount = text[textLength - 2] == kPad ? 2 : (text[textLength - 1] == kPad ? 1 : 0);
    const uint64_t required = uint64_t(textLength / 4) * 3 - padCount;
    int result = 0;
    if (!SettleLength(required, out, length, &result)) return result;
    DecodeInto(text, textLength, padCount, reinterpret_cast<unsigned char*>(out));
    *length = static_cast<unsigned int>(required);
    return static_cast<int>(required);
}

int CMyBase64::GetBase64Index(char c) { return static_cast<int>(Sextet(c)); }

bool CMyBase64::_isbase64char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

int CMyBase64::IsBase64String(const char* text) {
    if (text == nullptr) return -1;
    return ValidationResult(text, std::strlen(text));
}

std::string Base64Encode(const unsigned char* data, size_t length) {
    if (length > UINT_MAX) return std::string();
    std::string text(CMyBase64::EncodedLength(length), '\0');
    unsigned int capacity = static_cast<unsigned int>(text.size());
    if (text.empty() || CMyBase64().Encode(data, static_cast<unsigned int>(length), &text[0], &capacity) < 0) {
        return std::string();
    }
    return text;
}
