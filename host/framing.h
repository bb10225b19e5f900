// Native-message framing on file descriptors: a 4-byte little-endian length
// followed by exactly that many bytes of JSON text, in both directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Inbound bodies longer than this are skipped without being held in memory.
constexpr uint32_t kMaxInboundLength = 64u * 1024u * 1024u;

enum class FrameKind {
    Message,    // a complete body
    End,        // length 0, end of input, or input ending inside a frame
    Discarded,  // an over-long body, consumed and dropped
};

struct InboundFrame {
    FrameKind kind = FrameKind::End;
    std::string body;
};

// Reads frames from a descriptor in blocks. Once the input has ended every
// further call reports End.
class FrameReader {
public:
    explicit FrameReader(int fd, size_t blockSize = 64 * 1024);
    InboundFrame Next();
    int Descriptor() const { return fd_; }

private:
    bool ReadExact(size_t count, std::string* out);
    bool Refill();

    int fd_;
    std::vector<char> block_;
    size_t begin_ = 0;
    size_t end_ = 0;
    bool ended_ = false;
};

// Writes whole frames to a descriptor. After a failed write (the reader has
// gone away) it refuses every further frame.
class FrameWriter {
public:
    explicit FrameWriter(int fd) : fd_(fd) {}
    bool Send(const std::string& text);
    // One frame whose body is the parts joined, written without joining
    // them: large bodies go out from where they lie.
    bool SendParts(std::initializer_list<std::string_view> parts);
    bool Broken() const { return broken_; }

private:
    int fd_;
    bool broken_ = false;
};

// The message stream of one host: where requests come from and replies go.
struct HostChannel {
    HostChannel(int inFd, int outFd) : reader(inFd), writer(outFd) {}
    FrameReader reader;
    FrameWriter writer;
    // Set when the end of the stream was met while a command was still
    // running (the chunked transfer reads messages itself, and the chooser
    // watches for the browser going away).
    bool endSeen = false;
    bool Finished() const { return endSeen || writer.Broken(); }
};

// Where the browser's stream is: in from one descriptor, out to another.
struct ChannelDescriptors {
    int in;
    int out;
};

// Moves the browser's stream off standard input and output onto private
// close-on-exec descriptors, so that only frames ever reach it: whatever the
// token module or a child writes to standard output lands where standard
// error goes, and standard input reads as /dev/null. Call once at start,
// before anything writes, loads the module or starts a child.
ChannelDescriptors ClaimStandardChannel();

// The next inbound body on the channel; empty at the end. Over-long bodies
// are skipped without a reply.
std::string ReciveData(HostChannel& channel);

// Writes one framed reply on the channel.
void sendData(HostChannel& channel, const std::string& text);

// The 4-byte little-endian length prefix for a body of the given size.
std::string EncodeLength(uint32_t length);
