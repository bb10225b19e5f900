// Base64 text from the browser ("Base64SerRand", certificate bundles) and
// from the host's own encoder: decoding any text stays inside the buffers it
// is given, and encoding then decoding gives the bytes back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/MyBase64.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// Output buffers of exactly the announced size, so a write one past the end
// is caught by the address sanitizer.
std::unique_ptr<char[]> ExactBuffer(unsigned int size) { return std::unique_ptr<char[]>(new char[size ? size : 1]); }

void DecodeText(const std::string& text) {
    CMyBase64 codec;
    unsigned int needed = 0;
    const int queried = codec.Decode(text.c_str(), nullptr, &needed);
    if (queried < 0) return;
    Check(static_cast<unsigned int>(queried) == needed);
    if (needed == 0) return;
    // One byte short must be refused without writing.
    unsigned int shortCapacity = needed - 1;
    if (shortCapacity > 0) {
        auto small = ExactBuffer(shortCapacity);
        Check(codec.Decode(text.c_str(), small.get(), &shortCapacity) == -1);
    }
    unsigned int capacity = needed;
    auto out = ExactBuffer(capacity);
    Check(codec.Decode(text.c_str(), out.get(), &capacity) == queried);
    Check(capacity == needed);
}

void RoundTrip(const uint8_t* data, size_t size) {
    CMyBase64 codec;
    unsigned int textLength = 0;
    const int encoded = codec.Encode(data, static_cast<unsigned int>(size), nullptr, &textLength);
    Check(encoded >= 0 && static_cast<size_t>(encoded) == (size + 2) / 3 * 4);
    std::vector<char> text(textLength + 1, '\0');
    unsigned int capacity = textLength;
    if (textLength > 0) Check(codec.Encode(data, static_cast<unsigned int>(size), text.data(), &capacity) == encoded);
    if (size == 0) return;
    unsigned int decodedLength = 0;
    Check(codec.Decode(text.data(), nullptr, &decodedLength) == static_cast<int>(size));
    auto decoded = ExactBuffer(decodedLength);
    Check(codec.Decode(text.data(), decoded.get(), &decodedLength) == static_cast<int>(size));
    Check(std::memcmp(decoded.get(), data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // As a C string the text ends at its first zero byte, like the JSON text does.
    const std::string text(reinterpret_cast<const char*>(data), size);
    DecodeText(text.c_str());
    RoundTrip(data, size);
    return 0;
}
