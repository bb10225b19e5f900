// DER writing for everything we encode by hand (SignedData, certificate
// requests, public keys, the software token's structures): length fields in
// the shortest definite form, whole elements, unsigned INTEGERs; and reading
// the length of an element from its header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace der {

constexpr unsigned char kTagInteger = 0x02;
constexpr unsigned char kTagBitString = 0x03;
constexpr unsigned char kTagOctetString = 0x04;
constexpr unsigned char kTagSequence = 0x30;
constexpr unsigned char kTagSet = 0x31;
constexpr unsigned char kTagContext0 = 0xA0;

// Bytes of the length field for a content length: 1 below 128, else 1 + n.
int LengthFieldSize(uint64_t length);
// Bytes of a whole element holding contentLength bytes.
uint64_t ElementSize(uint64_t contentLength);

// Writers into a buffer the caller has measured: each writes at p and
// returns the position after what it wrote.
unsigned char* WriteHeader(unsigned char* p, unsigned char tag, uint64_t length);
unsigned char* Put(unsigned char* p, const unsigned char* bytes, size_t size);
unsigned char* Put(unsigned char* p, const std::vector<unsigned char>& bytes);

// A fixed run of bytes, such as a complete AlgorithmIdentifier.
struct View {
    const unsigned char* data;
    int size;
};
template <size_t N>
constexpr View MakeView(const unsigned char (&array)[N]) {
    return View{array, static_cast<int>(N)};
}
unsigned char* Put(unsigned char* p, const View& bytes);

// Writers that grow a vector.
void AppendLength(std::vector<unsigned char>& out, uint64_t length);
void AppendElement(std::vector<unsigned char>& out, unsigned char tag, const unsigned char* content, size_t length);
std::vector<unsigned char> Element(unsigned char tag, const std::vector<unsigned char>& content);
// INTEGER of an unsigned big-endian number in the shortest form: leading zero
// bytes dropped, one zero byte put back when the top bit is set (verifiers
// refuse anything longer). No bytes at all stand for 0.
void AppendUnsignedInteger(std::vector<unsigned char>& out, const unsigned char* bigEndian, size_t length);

// Total length (header and content) of the definite-length element at data,
// reading at most `available` bytes; nullopt when the length field is
// indefinite, longer than 4 bytes, or announces more than `available` holds.
// The tag is not looked at.
std::optional<size_t> ElementLength(const unsigned char* data, size_t available);

}  // namespace der
