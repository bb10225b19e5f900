#include "host/framing.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "support/file_descriptor.h"

namespace {

constexpr size_t kLengthPrefixSize = 4;

uint32_t DecodeLength(const std::string& prefix) {
    uint32_t length = 0;
    for (size_t i = 0; i < kLengthPrefixSize; ++i) {
        length |= static_cast<uint32_t>(static_cast<unsigned char>(prefix[i])) << (8 * i);
    }
    return length;
}

// A close-on-exec duplicate above the standard descriptors, so that
// repointing those never touches it; -1 when fd is not open.
int PrivateCopy(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1); }

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }

// /dev/null above the standard descriptors; the first descriptor open
// returns may be one of them, and is closed again before they are repointed.
int OpenNullDevice() {
    const FileDescriptor opened(open("/dev/null", O_RDWR | O_CLOEXEC));
    return PrivateCopy(opened.get());
}

// Makes target an inheritable duplicate of source; closed when that fails,
// which still keeps it off the channel.
void Repoint(int target, int source) {
    if (source < 0 || dup2(source, target) < 0) close(target);
}

}  // namespace

ChannelDescriptors ClaimStandardChannel() {
    // Copied first: while a standard descriptor is closed, the next open
    // would take its number, and /dev/null would pass for the channel.
    const ChannelDescriptors channel{PrivateCopy(STDIN_FILENO), PrivateCopy(STDOUT_FILENO)};
    const FileDescriptor nullDevice(OpenNullDevice());
    // A closed standard error would be the first descriptor the module
    // opens, and its diagnostics would land in that file.
    if (!IsOpen(STDERR_FILENO)) Repoint(STDERR_FILENO, nullDevice.get());
    Repoint(STDOUT_FILENO, STDERR_FILENO);
    Repoint(STDIN_FILENO, nullDevice.get());
    // Unbuffered, so that a module's printf reaches standard error at once,
    // in order with its other diagnostics, and is not lost if it crashes.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return channel;
}

std::string EncodeLength(uint32_t length) {
    std::string prefix(kLengthPrefixSize, '\0');
    for (size_t i = 0; i < kLengthPrefixSize; ++i) prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return prefix;
}

FrameReader::FrameReader(int fd, size_t blockSize) : fd_(fd), block_(std::max<size_t>(blockSize, 1)) {}

bool FrameReader::Refill() {
    if (ended_) return false;
    for (;;) {
        const ssize_t got = read(fd_, block_.data(), block_.size());
        if (got > 0) {
            begin_ = 0;
            end_ = static_cast<size_t>(got);
            return true;
        }
        if (got < 0 && errno == EINTR) continue;
        // End of input and read errors both end the stream for good.
        ended_ = true;
        return false;
    }
}

// Takes count bytes, appending them to out unless out is null (skipping).
// False when the input ends first.
bool FrameReader::ReadExact(size_t count, std::string* out) {
    while (count > 0) {
        if (begin_ == end_ && !Refill()) return false;
        const size_t take = std::min(count, end_ - begin_);
        if (out) out->append(block_.data() + begin_, take);
        begin_ += take;
        count -= take;
    }
    return true;
}

InboundFrame FrameReader::Next() {
    InboundFrame frame;
    std::string prefix;
    if (!ReadExact(kLengthPrefixSize, &prefix)) return frame;
    const uint32_t length = DecodeLength(prefix);
    if (length == 0) return frame;
    if (length > kMaxInboundLength) {
        if (ReadExact(length, nullptr)) frame.kind = FrameKind::Discarded;
        return frame;
    }
    // Reserved whole, so that a large body is not copied again each time it
    // outgrows its buffer. The bound keeps the reservation sane, and memory
    // pages are only taken as data arrive: a lying prefix still costs nothing.
    frame.body.reserve(length);
    if (!ReadExact(length, &frame.body)) {
        frame.body.clear();
        return frame;
    }
    frame.kind = FrameKind::Message;
    return frame;
}

bool FrameWriter::Send(const std::string& text) { return SendParts({text}); }

bool FrameWriter::SendParts(std::initializer_list<std::string_view> parts) {
    constexpr size_t kMaxParts = 8;
    size_t total = 0;
    for (std::string_view part : parts) total += part.size();
    if (broken_ || total > UINT32_MAX || parts.size() > kMaxParts) return false;
    const std::string prefix = EncodeLength(static_cast<uint32_t>(total));

    iovec vectors[kMaxParts + 1];
    int count = 0;
    vectors[count++] = {const_cast<char*>(prefix.data()), prefix.size()};
    for (std::string_view part : parts) {
        if (!part.empty()) vectors[count++] = {const_cast<char*>(part.data()), part.size()};
    }
    // Short writes leave the vectors where the descriptor stopped taking.
    for (iovec* next = vectors; count > 0;) {
        const ssize_t put = writev(fd_, next, count);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            broken_ = true;
            return false;
        }
        size_t done = static_cast<size_t>(put);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return true;
}

std::string ReciveData(HostChannel& channel) {
    for (;;) {
        InboundFrame frame = channel.reader.Next();
        if (frame.kind == FrameKind::Discarded) continue;
        return std::move(frame.body);
    }
}

void sendData(HostChannel& channel, const std::string& text) { channel.writer.Send(text); }
