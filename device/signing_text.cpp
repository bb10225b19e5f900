#include "device/signing_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "device/text_conversion.h"
#include "support/Gener_Func.h"
#include "support/MyBase64.h"
#include "support/file_descriptor.h"
#include "support/result_codes.h"

namespace {


constexpr uint64_t kMaxEightDigits = 99999999;
constexpr uint64_t kMaxTenDigits = INT32_MAX;  // "%010d" of a signed 32-bit value
constexpr uint64_t kMaxBinaryLength = UINT32_MAX;
constexpr uint64_t kMaxTextLength = uint64_t(1) << 31;  // exclusive

constexpr size_t kBinaryHeader = 9;
constexpr size_t kDecimalHeader = 12;
// Fixed part of the file record: marker and the lengths L1, L2, L3.
constexpr uint64_t kRecordFixed = 32;
// Bytes read per step while encoding a file; a multiple of 3 so that the
// Base64 texts of the steps join seamlessly.
constexpr size_t kReadStep = 3 * 64 * 1024;

enum Tag : unsigned char { kTagRecord = 0x11, kTagText = 0x21, kTagKey = 0x22, kTagFile = 0x23 };

// Opens a file to be signed without blocking on FIFOs or devices.
int OpenForSigning(const std::string& path) { return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

// Only regular files are signed; anything else would block or never end.
bool RegularFileSize(int fd, uint64_t& size) {
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

// Reads exactly length bytes, retrying short reads; false at an early end.
bool ReadExactly(int fd, unsigned char* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t n = read(fd, buffer + got, length - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

uint64_t Base64Length(uint64_t size) { return (size + 2) / 3 * 4; }

// What goes into one signing text, and the lengths its headers state.
struct SigningText {
    std::string_view text;     // "XmlMsg", converted for the key
    std::string_view key;      // "KeyMsg", converted for the key
    std::string_view name;     // the file path as it stands in the record
    bool hasFile = false;
    uint64_t fileSize = 0;
    uint64_t base64Length = 0;
    bool binary = false;

    size_t HeaderSize() const { return binary ? kBinaryHeader : kDecimalHeader; }
    uint64_t RecordLength() const { return hasFile ? kRecordFixed + name.size() + base64Length : 0; }
    uint64_t FileL1() const { return name.size() + base64Length + 16; }
    uint64_t OuterLength() const { return 3 * HeaderSize() + text.size() + key.size() + RecordLength(); }

    // Every length must fit the field that carries it.
    bool LengthsFit() const {
        if (text.size() >= kMaxTextLength || key.size() >= kMaxTextLength || name.size() >= kMaxTextLength) {
            return false;
        }
        if (hasFile && FileL1() > kMaxEightDigits) return false;
        return OuterLength() <= (binary ? kMaxBinaryLength : kMaxTenDigits);
    }
};

void AppendHeader(std::string& out, Tag tag, uint64_t length, bool binary) {
    if (binary) {
        unsigned char header[kBinaryHeader] = {tag};
        TransLength(header + 1, length);
        out.append(reinterpret_cast<const char*>(header), sizeof header);
    } else {
        // The tags read the same in hex as the decimal form's two digits.
        char header[kDecimalHeader + 1];
        std::snprintf(header, sizeof header, "%02X%010d", static_cast<unsigned>(tag), static_cast<int>(length));
        out.append(header, kDecimalHeader);
    }
}

void AppendField(std::string& out, Tag tag, std::string_view value, bool binary) {
    AppendHeader(out, tag, value.size(), binary);
    out.append(value);
}

// The file record up to and including the name.
void AppendRecordHead(std::string& out, const SigningText& st) {
    char lengths[8 * 4 + 1];
    std::snprintf(lengths, sizeof lengths, "00000000%08d%08d%08d", static_cast<int>(st.FileL1()),
                  static_cast<int>(st.FileL1() - 8), static_cast<int>(st.name.size()));
    out.append(lengths, 8 * 4);
    out.append(st.name);
}

// Encodes the file's bytes straight into out, reading it once in steps.
// The file is taken at the size measured when it was opened.
long AppendFileBase64(std::string& out, int fd, const SigningText& st) {
    size_t position = out.size();
    out.resize(position + st.base64Length);
    std::vector<unsigned char> step(static_cast<size_t>(std::min<uint64_t>(kReadStep, st.fileSize)));
    CMyBase64 base64;
    for (uint64_t left = st.fileSize; left != 0;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(kReadStep, left));
        if (!ReadExactly(fd, step.data(), piece)) return rc::kReadFailed;  // unreadable, or shrunk since
        unsigned int capacity = static_cast<unsigned int>(Base64Length(piece));
        if (base64.Encode(step.data(), static_cast<unsigned int>(piece), &out[position], &capacity) < 0) {
            return rc::kEncodeFailed;
        }
        position += capacity;
        left -= piece;
    }
    return 0;
}

// Appends the signing text; prefixOnly stops where the file's Base64 begins
// and leaves out the binary key-message field: the token module appends both.
long AppendSigningText(std::string& out, const SigningText& st, int fd, bool prefixOnly) {
    const bool binary = st.binary;
    AppendHeader(out, kTagRecord, st.OuterLength(), binary);
    AppendField(out, kTagText, st.text, binary);
    if (!binary) AppendField(out, kTagKey, st.key, binary);
    AppendHeader(out, kTagFile, st.RecordLength(), binary);
    if (st.hasFile) {
        AppendRecordHead(out, st);
        if (!prefixOnly) {
            const long rc = AppendFileBase64(out, fd, st);
            if (rc != 0) return rc;
        }
    }
    if (binary && !prefixOnly) AppendField(out, kTagKey, st.key, binary);
    return 0;
}

// The texts as the key receives them: unchanged for UTF-8, else in GB18030.
// Converted forms live here; the views in `parts` point at them or at the
// caller's own strings.
struct PreparedTexts {
    PreparedTexts() = default;
    PreparedTexts(const PreparedTexts&) = delete;
    PreparedTexts& operator=(const PreparedTexts&) = delete;

    std::string convertedText, convertedKey, convertedName;
    SigningText parts;
};

void PrepareTexts(bool utf8, const char* xmlMsg, const char* keyMsg, std::string_view path, PreparedTexts& texts) {
    const std::string_view text = xmlMsg ? std::string_view(xmlMsg) : std::string_view();
    const std::string_view key = keyMsg ? std::string_view(keyMsg) : std::string_view();
    if (utf8) {
        texts.parts.text = text;
        texts.parts.key = key;
        texts.parts.name = path;
        return;
    }
    texts.convertedText = UTF8ToGBK(text.data(), text.size());
    texts.convertedKey = UTF8ToGBK(key.data(), key.size());
    texts.convertedName = UTF8ToGBK(path.data(), path.size());
    texts.parts.text = texts.convertedText;
    texts.parts.key = texts.convertedKey;
    texts.parts.name = texts.convertedName;
}

bool TooLong(const char* text) { return text != nullptr && strnlen(text, kMaxTextLength) >= kMaxTextLength; }

// Shared by both builders: opens the named file (the unconverted path),
// checks every length against its field and appends the text, or nothing.
// The output's capacity is reserved once: what capacityFor asks for the
// position where the text will end, and at least that position.
long BuildSigningText(bool utf8, const char* xmlMsg, const char* keyMsg, const std::string& path, bool binary,
                      bool prefixOnly, const CapacityFor& capacityFor, std::string& out) {
    // Refused before conversion, which would otherwise copy them.
    if (TooLong(xmlMsg) || TooLong(keyMsg) || path.size() >= kMaxTextLength) return rc::kBadParameter;
    const size_t start = out.size();
    try {
        PreparedTexts texts;
        PrepareTexts(utf8, xmlMsg, keyMsg, path, texts);
        SigningText& st = texts.parts;
        st.binary = binary;

        const FileDescriptor file(path.empty() ? -1 : OpenForSigning(path));
        if (!path.empty()) {
            if (!RegularFileSize(file.get(), st.fileSize)) return rc::kReadFailed;
            st.hasFile = true;
            st.base64Length = Base64Length(st.fileSize);
        }
        if (!st.LengthsFit()) return rc::kBadParameter;

        const size_t textEnd = start + st.HeaderSize() + st.OuterLength();
        out.reserve(capacityFor ? std::max(textEnd, capacityFor(textEnd)) : textEnd);
        const long rc = AppendSigningText(out, st, file.get(), prefixOnly);
        if (rc != 0) out.resize(start);
        return rc;
    } catch (const std::bad_alloc&) {
        out.resize(start);
        return rc::kEncodeFailed;
    }
}

}  // namespace

long MakeTLVSignFile(bool utf8, const char* xmlMsg, const char* keyMsg, const std::string& filePath, std::string& out,
                     bool binary) {
    return BuildSigningText(utf8, xmlMsg, keyMsg, filePath, binary, false, nullptr, out);
}

long MakeTLVSignFileWithRoom(bool utf8, const char* xmlMsg, const char* keyMsg, const std::string& filePath,
                             std::string& out, bool binary, const CapacityFor& capacityFor) {
    return BuildSigningText(utf8, xmlMsg, keyMsg, filePath, binary, false, capacityFor, out);
}

long MakePaddingTLVSignFile(bool utf8, const char* xmlMsg, const char* keyMsg, const char* filePath, std::string& out,
                            bool binary) {
    return BuildSigningText(utf8, xmlMsg, keyMsg, filePath ? filePath : "", binary, true, nullptr, out);
}
