// The frame reader and writer over real descriptors, with tiny read blocks so
// that frames straddle block boundaries.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include "common/host_process.h"
#include "host/framing.h"

namespace {

// A temporary file holding the given bytes, opened for reading.
class InputFile {
public:
    explicit InputFile(const std::string& bytes) : file_(std::tmpfile(), &std::fclose) {
        std::fwrite(bytes.data(), 1, bytes.size(), file_.get());
        std::fflush(file_.get());
        std::rewind(file_.get());
        lseek(fd(), 0, SEEK_SET);
    }
    int fd() const { return fileno(file_.get()); }

private:
    std::unique_ptr<FILE, int (*)(FILE*)> file_;
};

TEST(FrameReader, SplitsConsecutiveMessagesAcrossSmallBlocks) {
    const std::string big(1000, 'x');
    for (size_t blockSize : {1u, 3u, 7u, 4096u}) {
        InputFile input(std::string("\x02\x00\x00\x00{}", 6) + Frame(big) + Frame("[1]"));
        FrameReader reader(input.fd(), blockSize);
        InboundFrame first = reader.Next();
        EXPECT_EQ(first.kind, FrameKind::Message);
        EXPECT_EQ(first.body, "{}");
        EXPECT_EQ(reader.Next().body, big) << "block size " << blockSize;
        EXPECT_EQ(reader.Next().body, "[1]");
        EXPECT_EQ(reader.Next().kind, FrameKind::End);
        EXPECT_EQ(reader.Next().kind, FrameKind::End);
    }
}

TEST(FrameReader, InputEndingInsideAFrameIsTheEnd) {
    const std::string cases[] = {
        std::string("\x05\x00", 2),                  // inside the length
        std::string("\x05\x00\x00\x00" "ab", 6),     // inside the body
        std::string("\x00\x00\x00\x00" "junk", 8),  // an empty message, whatever follows
    };
    for (const std::string& bytes : cases) {
        InputFile input(Frame("{\"a\":1}") + bytes);
        FrameReader reader(input.fd(), 3);
        EXPECT_EQ(reader.Next().kind, FrameKind::Message);
        const InboundFrame last = reader.Next();
        EXPECT_EQ(last.kind, FrameKind::End);
        EXPECT_TRUE(last.body.empty());
    }
}

TEST(FrameReader, OverLongBodyIsSkippedAndTheNextMessageRead) {
    const std::string overLong(kMaxInboundLength + 1, ' ');
    InputFile input(LengthPrefix(kMaxInboundLength + 1) + overLong + Frame("{\"next\":1}"));
    FrameReader reader(input.fd());
    const InboundFrame skipped = reader.Next();
    EXPECT_EQ(skipped.kind, FrameKind::Discarded);
    EXPECT_TRUE(skipped.body.empty());
    EXPECT_EQ(reader.Next().body, "{\"next\":1}");
}

TEST(FrameReader, MessageOfExactlyTheBoundIsKept) {
    InputFile input(Frame(std::string(kMaxInboundLength, 'a')));
    FrameReader reader(input.fd());
    const InboundFrame frame = reader.Next();
    EXPECT_EQ(frame.kind, FrameKind::Message);
    EXPECT_EQ(frame.body.size(), kMaxInboundLength);
}

TEST(FrameReader, HugeAnnouncedLengthWithoutDataEndsWithoutHoldingIt) {
    InputFile input(LengthPrefix(0xFFFFFFFFu) + "short");
    FrameReader reader(input.fd());
    EXPECT_EQ(reader.Next().kind, FrameKind::End);
}

TEST(FrameWriter, FailedWriteBreaksTheWriter) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    std::signal(SIGPIPE, SIG_IGN);
    FrameWriter writer(fds[1]);
    EXPECT_FALSE(writer.Send("{}"));
    EXPECT_TRUE(writer.Broken());
    close(fds[1]);
}

}  // namespace
