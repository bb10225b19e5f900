// The Base64 text of bytes that stay binary until a part of the text is asked
// for. A signing result's text is a third larger than its DER and goes out in
// pieces anyway, so only the piece on its way needs to exist as text.
#pragma once

#include <cstddef>
#include <string>

class Base64Text {
public:
    Base64Text() = default;
    // The text of bytes[start, end); the bytes before start are released with
    // the rest but never read.
    Base64Text(std::string bytes, size_t start);

    // Length of the whole text.
    size_t size() const;
    bool empty() const { return size() == 0; }
    // Replaces out with the text from offset on, at most length characters
    // (fewer at the end, none beyond it).
    void CopyText(size_t offset, size_t length, std::string& out) const;
    std::string Whole() const;

private:
    const unsigned char* Bytes() const;
    size_t ByteCount() const { return bytes_.size() - start_; }

    std::string bytes_;
    size_t start_ = 0;
};
