#include "support/base64_text.h"

#include <algorithm>
#include <utility>

#include "support/MyBase64.h"

namespace {

constexpr size_t kGroupBytes = 3;
constexpr size_t kGroupChars = 4;
// Groups encoded per call, well inside the codec's int lengths.
constexpr size_t kGroupsPerStep = size_t(1) << 20;

}  // namespace

Base64Text::Base64Text(std::string bytes, size_t start)
    : bytes_(std::move(bytes)), start_(std::min(start, bytes_.size())) {}

size_t Base64Text::size() const { return CMyBase64::EncodedLength(ByteCount()); }

const unsigned char* Base64Text::Bytes() const {
    return reinterpret_cast<const unsigned char*>(bytes_.data()) + start_;
}

void Base64Text::CopyText(size_t offset, size_t length, std::string& out) const {
    const size_t total = size();
    offset = std::min(offset, total);
    length = std::min(length, total - offset);
    // Whole groups around the range: each group of 4 characters comes from
    // its own 3 bytes, so any part of the text can be made on its own.
    const size_t firstGroup = offset / kGroupChars;
    const size_t endGroup = (offset + length + kGroupChars - 1) / kGroupChars;
    out.resize((endGroup - firstGroup) * kGroupChars);
    CMyBase64 base64;
    for (size_t group = firstGroup; group < endGroup; group += kGroupsPerStep) {
        const size_t stepEnd = std::min(endGroup, group + kGroupsPerStep);
        const size_t byteBegin = group * kGroupBytes;
        const size_t byteEnd = std::min(stepEnd * kGroupBytes, ByteCount());
        unsigned int capacity = static_cast<unsigned int>((stepEnd - group) * kGroupChars);
        base64.Encode(Bytes() + byteBegin, static_cast<unsigned int>(byteEnd - byteBegin),
                      &out[(group - firstGroup) * kGroupChars], &capacity);
    }
    out.erase(0, offset - firstGroup * kGroupChars);
    out.resize(length);
}

std::string Base64Text::Whole() const {
    std::string text;
    CopyText(0, size(), text);
    return text;
}
