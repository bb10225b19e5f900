// The chunked return of large signing results, driven in-process: requests
// come from a file, replies go to another.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include <json/json.h>
#include <openssl/evp.h>

#include "common/host_process.h"
#include "host/envelope.h"
#include "host/framing.h"
#include "host/handlers.h"
#include "support/base64_text.h"

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

File TempFileWith(const std::string& bytes) {
    File file(std::tmpfile(), &std::fclose);
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    std::fflush(file.get());
    lseek(fileno(file.get()), 0, SEEK_SET);
    return file;
}

struct Reply {
    std::string cmd;
    int tabId = 0;
    Json::Value text;
    bool lastData = false;
};

std::vector<Reply> ParseReplies(int fd) {
    std::string bytes;
    lseek(fd, 0, SEEK_SET);
    std::vector<char> block(1 << 16);
    ssize_t got;
    while ((got = read(fd, block.data(), block.size())) > 0) bytes.append(block.data(), static_cast<size_t>(got));
    std::vector<Reply> replies;
    size_t at = 0;
    while (at + 4 <= bytes.size()) {
        uint32_t length = 0;
        for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
        const std::string body = bytes.substr(at + 4, length);
        at += 4 + length;
        Json::Value envelope;
        EXPECT_TRUE(ParseRequest(body, envelope));
        EXPECT_EQ(body.back(), '\n');
        replies.push_back({envelope["cmd"].asString(), envelope["tabID"].asInt(), envelope["text"],
                           envelope["lastData"].asBool()});
    }
    EXPECT_EQ(at, bytes.size()) << "trailing partial frame";
    return replies;
}

// A recognisable result: position-dependent bytes, so misplaced pieces show.
std::string Result(size_t size) {
    std::string result(size, '\0');
    for (size_t i = 0; i < size; ++i) result[i] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+/"[(i * 7 + i / 1000) % 38];
    return result;
}

const std::string kMoreData = Frame(R"({"ZEKA":"GetMoreData","tabID":999})");
const std::string kNextRequest = Frame(R"({"ZEKA":"GetVersion","tabID":5})");

class Transfer {
public:
    explicit Transfer(const std::string& input)
        : in_(TempFileWith(input)), out_(TempFileWith("")), channel_(fileno(in_.get()), fileno(out_.get())) {}

    // The result as text, or as a Base64Text.
    template <typename Result>
    std::vector<Reply> Send(const Result& result) {
        Json::Value request;
        request["ZEKA"] = "GMUsbKeySign";
        request["tabID"] = 31;
        SendResultInPieces(channel_, "GMUsbKeySign", request, result);
        return ParseReplies(fileno(out_.get()));
    }
    HostChannel& channel() { return channel_; }
    std::string Written() {
        const int fd = fileno(out_.get());
        std::string bytes(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
        EXPECT_EQ(pread(fd, &bytes[0], bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        return bytes;
    }

private:
    File in_;
    File out_;
    HostChannel channel_;
};

void ExpectPieces(const std::vector<Reply>& replies, const std::vector<size_t>& sizes) {
    ASSERT_EQ(replies.size(), sizes.size());
    for (size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(replies[i].cmd, "GMUsbKeySign");
        EXPECT_EQ(replies[i].tabId, 31) << "pieces carry the starting request's tabID";
        ASSERT_TRUE(replies[i].text.isString());
        EXPECT_EQ(replies[i].text.asString().size(), sizes[i]) << "piece " << i;
        EXPECT_EQ(replies[i].lastData, i + 1 == replies.size());
    }
}

std::string Joined(const std::vector<Reply>& replies) {
    std::string joined;
    for (const Reply& reply : replies) joined += reply.text.asString();
    return joined;
}

TEST(ChunkedResult, OneByteBelowThePieceSizeGoesInOneReply) {
    Transfer transfer(kNextRequest);
    const std::string result = Result(kResultPieceSize - 1);
    const std::vector<Reply> replies = transfer.Send(result);
    ExpectPieces(replies, {kResultPieceSize - 1});
    EXPECT_EQ(Joined(replies), result);
    // Nothing was read: the next request is still there.
    EXPECT_EQ(transfer.channel().reader.Next().body, R"({"ZEKA":"GetVersion","tabID":5})");
}

TEST(ChunkedResult, ExactlyOnePieceIsFollowedByAnEmptyLastPiece) {
    Transfer transfer(kMoreData + kNextRequest);
    const std::string result = Result(kResultPieceSize);
    const std::vector<Reply> replies = transfer.Send(result);
    ExpectPieces(replies, {kResultPieceSize, 0});
    EXPECT_EQ(Joined(replies), result);
    EXPECT_FALSE(transfer.channel().endSeen);
    EXPECT_EQ(transfer.channel().reader.Next().body, R"({"ZEKA":"GetVersion","tabID":5})");
}

TEST(ChunkedResult, LargeResultIsSentInThreePieces) {
    Transfer transfer(kMoreData + kMoreData);
    const std::string result = Result(2500000);
    const std::vector<Reply> replies = transfer.Send(result);
    ExpectPieces(replies, {1047552, 1047552, 404896});
    EXPECT_EQ(Joined(replies), result);
}

TEST(ChunkedResult, TextsThatJsonEscapesArriveIntact) {
    Transfer transfer(kMoreData);
    std::string result = Result(kResultPieceSize + 10);
    // Escaped characters on both sides of the cut, and one in each piece.
    for (size_t at : {size_t(5), kResultPieceSize - 1, kResultPieceSize, kResultPieceSize + 7}) result[at] = '"';
    result[100] = '\\';
    result[kResultPieceSize + 2] = '\n';
    const std::vector<Reply> replies = transfer.Send(result);
    ExpectPieces(replies, {kResultPieceSize, 10});
    EXPECT_TRUE(Joined(replies) == result);
}

std::string Base64Of(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    text.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                                    reinterpret_cast<const unsigned char*>(bytes.data()),
                                                    static_cast<int>(bytes.size()))));
    return text;
}

// Each piece of a text made as it is sent comes from 785,664 bytes: whatever
// the length of those bytes, the replies are the whole text's, byte for byte.
TEST(ChunkedResult, TextMadePieceByPieceGoesOutAsTheWholeText) {
    constexpr size_t kBytesPerPiece = kResultPieceSize / 4 * 3;
    for (size_t size : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(4), kBytesPerPiece - 4,
                        kBytesPerPiece - 3, kBytesPerPiece - 2, kBytesPerPiece - 1, kBytesPerPiece, kBytesPerPiece + 1,
                        2 * kBytesPerPiece - 1, 2 * kBytesPerPiece, 2 * kBytesPerPiece + 2}) {
        const std::string bytes = Result(size);
        const std::string input = kMoreData + kMoreData + kMoreData + kNextRequest;
        Transfer whole(input);
        Transfer made(input);
        whole.Send(Base64Of(bytes));
        made.Send(Base64Text(bytes, 0));
        EXPECT_TRUE(made.Written() == whole.Written()) << size << " bytes";
        EXPECT_EQ(made.channel().reader.Next().body, whole.channel().reader.Next().body) << size << " bytes";
    }
}

TEST(ChunkedResult, AnyOtherMessageClosesTheTransferWithoutBeingServed) {
    const std::string interruptions[] = {
        kNextRequest,
        Frame("not json"),
        Frame("[\"GetMoreData\"]"),
        Frame(R"({"ZEKA":"getmoredata"})"),
        Frame(R"({"ZEKA":{"x":1}})"),
        LengthPrefix(kMaxInboundLength + 1) + std::string(kMaxInboundLength + 1, ' '),
    };
    for (const std::string& interruption : interruptions) {
        Transfer transfer(kMoreData + interruption + Frame(R"({"after":1})"));
        const std::vector<Reply> replies = transfer.Send(Result(2500000));
        ASSERT_EQ(replies.size(), 3u);
        EXPECT_FALSE(replies[0].lastData);
        EXPECT_FALSE(replies[1].lastData);
        EXPECT_TRUE(replies[2].lastData);
        EXPECT_EQ(replies[2].tabId, 31);
        ASSERT_TRUE(replies[2].text.isInt());
        EXPECT_EQ(replies[2].text.asInt(), kTransferAbandoned);
        EXPECT_FALSE(transfer.channel().endSeen);
        EXPECT_EQ(transfer.channel().reader.Next().body, R"({"after":1})");
    }
}

TEST(ChunkedResult, EndOfInputOrEmptyMessageClosesTheTransferAndEndsTheHost) {
    const std::string endings[] = {"", LengthPrefix(0) + kNextRequest, std::string("\x10\x00", 2)};
    for (const std::string& ending : endings) {
        Transfer transfer(ending);
        const std::vector<Reply> replies = transfer.Send(Result(kResultPieceSize));
        ASSERT_EQ(replies.size(), 2u);
        EXPECT_FALSE(replies[0].lastData);
        EXPECT_TRUE(replies[1].lastData);
        EXPECT_EQ(replies[1].text, Json::Value(static_cast<Json::Int>(kTransferAbandoned)));
        EXPECT_TRUE(transfer.channel().endSeen);
        EXPECT_TRUE(transfer.channel().Finished());
    }
}

}  // namespace
