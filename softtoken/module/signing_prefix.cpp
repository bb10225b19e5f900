#include "softtoken/module/signing_prefix.h"

#include <cstdint>
#include <cstring>

namespace softtoken {

namespace {

// Bounds well above anything a browser request carries.
constexpr uint64_t kMaxTextLength = 16u << 20;
constexpr uint64_t kMaxNameLength = 16u << 10;
constexpr uint64_t kMaxFileRecordLength = 99999999;  // what its 8-digit lengths can describe

constexpr size_t kDecimalHeaderLength = 12;
constexpr size_t kBinaryHeaderLength = 9;
constexpr size_t kRecordHeadLength = 32;

// Walks the prefix; every read is preceded by the check that allows it.
class PrefixReader {
public:
    explicit PrefixReader(const unsigned char* start) : cursor_(start) {}

    const unsigned char* cursor() const { return cursor_; }
    void Skip(size_t count) { cursor_ += count; }

    bool Literal(const char* text) {
        size_t length = std::strlen(text);
        for (size_t i = 0; i < length; ++i) {
            if (cursor_[i] != static_cast<unsigned char>(text[i])) return false;  // stops at the first difference
        }
        cursor_ += length;
        return true;
    }

    std::optional<uint64_t> Digits(size_t count) {
        uint64_t value = 0;
        for (size_t i = 0; i < count; ++i) {
            if (cursor_[i] < '0' || cursor_[i] > '9') return std::nullopt;
            value = value * 10 + (cursor_[i] - '0');
        }
        cursor_ += count;
        return value;
    }

    // A binary header: the tag, then an 8-byte big-endian length whose high
    // four bytes are zero.
    std::optional<uint64_t> BinaryHeader(unsigned char tag) {
        if (cursor_[0] != tag) return std::nullopt;
        for (size_t i = 1; i <= 4; ++i) {
            if (cursor_[i] != 0) return std::nullopt;
        }
        uint64_t value = 0;
        for (size_t i = 5; i < kBinaryHeaderLength; ++i) value = value << 8 | cursor_[i];
        cursor_ += kBinaryHeaderLength;
        return value;
    }

    std::optional<uint64_t> DecimalHeader(const char* tag) {
        if (!Literal(tag)) return std::nullopt;
        return Digits(10);
    }

private:
    const unsigned char* cursor_;
};

// The file record up to its name; its length fields must agree with each
// other and with the length of the field holding it.
bool SkipFileRecordHead(PrefixReader& reader, uint64_t fieldLength) {
    if (fieldLength < kRecordHeadLength || fieldLength > kRecordHeadLength + kMaxFileRecordLength) return false;
    if (!reader.Literal("00000000")) return false;
    auto l1 = reader.Digits(8);
    auto l2 = l1 ? reader.Digits(8) : std::nullopt;
    auto l3 = l2 ? reader.Digits(8) : std::nullopt;
    if (!l3 || *l3 > kMaxNameLength || *l1 != *l2 + 8 || *l2 < *l3 + 8) return false;
    uint64_t base64Length = *l2 - 8 - *l3;
    if (base64Length % 4 != 0 || fieldLength != kRecordHeadLength + *l3 + base64Length) return false;
    reader.Skip(static_cast<size_t>(*l3));
    return true;
}

std::optional<size_t> MeasureDecimal(PrefixReader& reader) {
    const unsigned char* start = reader.cursor();
    auto outer = reader.DecimalHeader("11");
    auto text = outer ? reader.DecimalHeader("21") : std::nullopt;
    if (!text || *text > kMaxTextLength) return std::nullopt;
    reader.Skip(static_cast<size_t>(*text));
    auto keyMessage = reader.DecimalHeader("22");
    if (!keyMessage || *keyMessage > kMaxTextLength) return std::nullopt;
    reader.Skip(static_cast<size_t>(*keyMessage));
    auto file = reader.DecimalHeader("23");
    if (!file) return std::nullopt;
    if (*outer != 3 * kDecimalHeaderLength + *text + *keyMessage + *file) return std::nullopt;
    if (*file != 0 && !SkipFileRecordHead(reader, *file)) return std::nullopt;
    return static_cast<size_t>(reader.cursor() - start);
}

std::optional<size_t> MeasureBinary(PrefixReader& reader, size_t displayLength) {
    const unsigned char* start = reader.cursor();
    auto outer = reader.BinaryHeader(0x11);
    auto text = outer ? reader.BinaryHeader(0x21) : std::nullopt;
    if (!text || *text > kMaxTextLength) return std::nullopt;
    reader.Skip(static_cast<size_t>(*text));
    auto file = reader.BinaryHeader(0x23);
    if (!file) return std::nullopt;
    // The outer length already counts the key-message field the module appends.
    if (*outer != 3 * kBinaryHeaderLength + *text + *file + displayLength) return std::nullopt;
    if (*file != 0 && !SkipFileRecordHead(reader, *file)) return std::nullopt;
    return static_cast<size_t>(reader.cursor() - start);
}

}  // namespace

std::optional<SigningPrefix> MeasureSigningPrefix(const unsigned char* prefix, size_t zLength, size_t displayLength) {
    if (!prefix || displayLength > kMaxTextLength) return std::nullopt;
    PrefixReader reader(prefix + zLength);
    const unsigned char* text = reader.cursor();
    SigningPrefix result;
    std::optional<size_t> textLength;
    if (text[0] == 0x11) {
        result.binary = true;
        textLength = MeasureBinary(reader, displayLength);
    } else if (text[0] == '1' && text[1] == '1') {
        textLength = MeasureDecimal(reader);
    }
    if (!textLength) return std::nullopt;
    result.length = zLength + *textLength;
    return result;
}

}  // namespace softtoken
