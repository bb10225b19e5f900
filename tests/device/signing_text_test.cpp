#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "device/signing_text.h"
#include "device/text_conversion.h"

namespace {

const std::string kZhong = "\xE4\xB8\xAD";      // U+4E2D in UTF-8
const std::string kZhongGb = "\xD6\xD0";        // the same in GB18030

std::string Base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(n);
    return out;
}

// Binary header: tag and the length as 8 bytes big-endian.
std::string BinHeader(unsigned char tag, uint64_t length) {
    std::string header(1, static_cast<char>(tag));
    for (int shift = 56; shift >= 0; shift -= 8) header += static_cast<char>((length >> shift) & 0xFF);
    return header;
}

std::string DecHeader(const char* tag, uint64_t length) {
    char text[13];
    std::snprintf(text, sizeof text, "%s%010llu", tag, static_cast<unsigned long long>(length));
    return text;
}

std::string Record(const std::string& name, const std::string& base64) {
    char lengths[33];
    std::snprintf(lengths, sizeof lengths, "00000000%08zu%08zu%08zu", name.size() + base64.size() + 16,
                  name.size() + base64.size() + 8, name.size());
    return lengths + name + base64;
}

class SigningTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "signtext_XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string& path : created_) std::remove(path.c_str());
        rmdir(dir_.c_str());
    }
    std::string Path(const std::string& name) {
        created_.push_back(dir_ + "/" + name);
        return created_.back();
    }
    std::string WriteFile(const std::string& name, const std::string& bytes) {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    long Full(const char* text, const char* key, const std::string& path, std::string& out, bool binary) {
        return MakeTLVSignFile(utf8_, text, key, path, out, binary);
    }
    long Prefix(const char* text, const char* key, const std::string& path, std::string& out, bool binary) {
        return MakePaddingTLVSignFile(utf8_, text, key, path.c_str(), out, binary);
    }

    bool utf8_ = true;  // the charset flag
    std::string dir_;
    std::vector<std::string> created_;
};

TEST_F(SigningTextTest, DecimalAndBinaryExamples) {
    std::string decimal;
    ASSERT_EQ(Full("AB", "C", "", decimal, false), 0);
    EXPECT_EQ(decimal, "110000000039210000000002AB220000000001C230000000000");

    std::string binary;
    ASSERT_EQ(Full("AB", "C", "", binary, true), 0);
    const std::string expected = std::string("\x11\0\0\0\0\0\0\0\x1E", 9) + std::string("\x21\0\0\0\0\0\0\0\x02", 9) +
                                 "AB" + std::string("\x23\0\0\0\0\0\0\0\0", 9) +
                                 std::string("\x22\0\0\0\0\0\0\0\x01", 9) + "C";
    EXPECT_EQ(binary, expected);

    std::string appended = "kept";
    ASSERT_EQ(Full("AB", "C", "", appended, false), 0);
    EXPECT_EQ(appended, "kept" + decimal);
}

TEST_F(SigningTextTest, PrefixWithoutFile) {
    std::string decimal, decimalPrefix, binary, binaryPrefix;
    ASSERT_EQ(Full("text", "key", "", decimal, false), 0);
    ASSERT_EQ(Prefix("text", "key", "", decimalPrefix, false), 0);
    EXPECT_EQ(decimalPrefix, decimal);
    ASSERT_EQ(Full("text", "key", "", binary, true), 0);
    ASSERT_EQ(Prefix("text", "key", "", binaryPrefix, true), 0);
    EXPECT_EQ(binaryPrefix + BinHeader(0x22, 3) + "key", binary);
}

TEST_F(SigningTextTest, FileRecords) {
    const std::string empty = WriteFile("empty", "");
    std::string out;
    ASSERT_EQ(Full("T", "K", empty, out, false), 0);
    const std::string record = Record(empty, "");
    EXPECT_EQ(out, DecHeader("11", 12 + 1 + 12 + 1 + 12 + record.size()) + DecHeader("21", 1) + "T" +
                       DecHeader("22", 1) + "K" + DecHeader("23", record.size()) + record);

    for (const auto& [size, base64Length] : {std::pair<size_t, size_t>{1, 4}, {3, 4}, {4, 8}}) {
        const std::string content(size, '\x9C');
        const std::string path = WriteFile("f" + std::to_string(size), content);
        std::string text;
        ASSERT_EQ(Full("T", "K", path, text, true), 0);
        ASSERT_EQ(Base64(content).size(), base64Length);
        const std::string fileField = BinHeader(0x23, 32 + path.size() + base64Length) + Record(path, Base64(content));
        EXPECT_EQ(text, BinHeader(0x11, 9 + 1 + fileField.size() + 9 + 1) + BinHeader(0x21, 1) + "T" + fileField +
                            BinHeader(0x22, 1) + "K");
    }
}

TEST_F(SigningTextTest, RecordCarriesTheWholePathAsGiven) {
    const std::string path = "/tmp/a.txt";
    std::ofstream(path) << "a";
    std::string out;
    const long rc = Full("T", "K", path, out, false);
    std::remove(path.c_str());
    ASSERT_EQ(rc, 0);
    EXPECT_NE(out.find("00000000000000300000002200000010/tmp/a.txtYQ=="), std::string::npos) << out;
}

TEST_F(SigningTextTest, PrefixPlusBase64CompletesTheText) {
    std::mt19937 rng(5);
    std::string content(700001, '\0');  // several read steps, and a remainder
    for (char& c : content) c = static_cast<char>(rng());
    const std::string path = WriteFile("big.bin", content);
    const std::string base64 = Base64(content);

    std::string binary, binaryPrefix;
    ASSERT_EQ(Full("<xml>", "pay 1.00", path, binary, true), 0);
    ASSERT_EQ(Prefix("<xml>", "pay 1.00", path, binaryPrefix, true), 0);
    EXPECT_EQ(binaryPrefix.substr(binaryPrefix.size() - path.size()), path);
    EXPECT_TRUE(binaryPrefix + base64 + BinHeader(0x22, 8) + "pay 1.00" == binary);

    std::string decimal, decimalPrefix;
    ASSERT_EQ(Full("<xml>", "pay 1.00", path, decimal, false), 0);
    ASSERT_EQ(Prefix("<xml>", "pay 1.00", path, decimalPrefix, false), 0);
    EXPECT_TRUE(decimalPrefix + base64 == decimal);
    EXPECT_EQ(decimal.substr(0, 12), DecHeader("11", decimal.size() - 12));
}

TEST_F(SigningTextTest, Gb18030Mode) {
    std::string utf8;
    ASSERT_EQ(Full("A", kZhong.c_str(), "", utf8, false), 0);
    EXPECT_NE(utf8.find(DecHeader("22", 3) + kZhong), std::string::npos);

    utf8_ = false;
    std::string gb;
    ASSERT_EQ(Full("A", kZhong.c_str(), "", gb, false), 0);
    EXPECT_EQ(gb, DecHeader("11", 12 + 1 + 12 + 2 + 12) + DecHeader("21", 1) + "A" + DecHeader("22", 2) + kZhongGb +
                      DecHeader("23", 0));

    // The file opens under its own name; the record carries the converted one.
    const std::string path = WriteFile(kZhong + ".txt", "abc");
    std::string prefix;
    ASSERT_EQ(Prefix("A", "K", path, prefix, true), 0);
    const std::string convertedName = dir_ + "/" + kZhongGb + ".txt";
    EXPECT_EQ(prefix.substr(prefix.size() - convertedName.size() - 8), Record(convertedName, "").substr(24));
}

TEST_F(SigningTextTest, Utf8ToGbkKeepsWhatCameBeforeAProblem) {
    const std::string broken = "AB\xFF" + kZhong;
    EXPECT_EQ(UTF8ToGBK(broken.c_str(), broken.size()), "AB");
    std::string many, expected;
    for (int i = 0; i < 50000; ++i) {  // beyond one conversion step
        many += kZhong;
        expected += kZhongGb;
    }
    EXPECT_EQ(UTF8ToGBK(many.c_str(), many.size()), expected);
}

TEST_F(SigningTextTest, UnreadableOrIrregularFilesGive302) {
    const std::string fifo = Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {Path("missing"), dir_, fifo, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        for (bool binary : {false, true}) {
            std::string out = "kept";
            EXPECT_EQ(Full("T", "K", path, out, binary), -302);
            EXPECT_EQ(Prefix("T", "K", path, out, binary), -302);
            EXPECT_EQ(out, "kept");
        }
    }
}

// A sparse file of the given size: its length is known without any data.
std::string SparseFile(const std::string& path, off_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, size), 0);
    close(fd);
    return path;
}

TEST_F(SigningTextTest, FileRecordLengthsMustFitEightDigits) {
    const std::string path = Path("sparse.bin");
    // Largest Base64 length that keeps L1 = name + Base64 + 16 within 99,999,999.
    const uint64_t base64 = (99999999 - 16 - path.size()) / 4 * 4;
    const off_t fits = static_cast<off_t>(base64 / 4 * 3);
    SparseFile(path, fits);
    std::string out;
    ASSERT_EQ(Prefix("T", "K", path, out, false), 0);
    char l1[9];
    std::snprintf(l1, sizeof l1, "%08llu", static_cast<unsigned long long>(path.size() + base64 + 16));
    EXPECT_NE(out.find(std::string("00000000") + l1), std::string::npos);

    SparseFile(path, fits + 1);
    for (bool binary : {false, true}) {
        std::string kept = "kept";
        EXPECT_EQ(Prefix("T", "K", path, kept, binary), -304);
        EXPECT_EQ(Full("T", "K", path, kept, binary), -304);
        EXPECT_EQ(kept, "kept");
    }
}

// A text of `length` 'a' characters and a terminating zero, mapped from one
// small shared buffer over and over, so it takes address space, not memory.
class HugeText {
public:
    explicit HugeText(size_t length) {
        const size_t chunks = (length + 1 + kChunk - 1) / kChunk;
        size_ = chunks * kChunk;
        const int fd = memfd_create("huge-text", 0);
        if (fd < 0) return;
        if (ftruncate(fd, kChunk) == 0 && Build(fd, length, chunks)) base_ = region_;
        close(fd);
    }
    ~HugeText() {
        if (region_ != MAP_FAILED) munmap(region_, size_);
    }
    const char* get() const { return base_; }

private:
    bool Build(int fd, size_t length, size_t chunks) {
        void* fill = mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (fill == MAP_FAILED) return false;
        std::memset(fill, 'a', kChunk);
        munmap(fill, kChunk);
        void* region = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (region == MAP_FAILED) return false;
        region_ = static_cast<char*>(region);
        for (size_t i = 0; i + 1 < chunks; ++i) {
            if (mmap(region_ + i * kChunk, kChunk, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) return false;
        }
        void* last = mmap(region_ + (chunks - 1) * kChunk, kChunk, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (last == MAP_FAILED) return false;
        std::memset(last, 'a', length - (chunks - 1) * kChunk);  // the rest stays zero
        return true;
    }

    static constexpr size_t kChunk = size_t(1) << 20;
    char* region_ = static_cast<char*>(MAP_FAILED);
    char* base_ = nullptr;
    size_t size_ = 0;
};

TEST_F(SigningTextTest, TextsThatOutgrowTheirFieldsGive304) {
    const size_t kTwoGiB = size_t(1) << 31;
    HugeText huge(kTwoGiB);
    ASSERT_NE(huge.get(), nullptr);
    const char* longest = huge.get() + 1;  // 2^31 - 1 characters
    for (bool binary : {false, true}) {
        SCOPED_TRACE(binary);
        std::string out = "kept";
        EXPECT_EQ(Full(huge.get(), "K", "", out, binary), -304);
        EXPECT_EQ(Full("T", huge.get(), "", out, binary), -304);
        EXPECT_EQ(Prefix(huge.get(), "K", "", out, binary), -304);
        // Each text fits its own field, but the outer length would not.
        EXPECT_EQ(Full(longest, longest, "", out, binary), -304);
        EXPECT_EQ(Prefix(longest, longest, "", out, binary), -304);
        EXPECT_EQ(out, "kept");
    }
    // Ten decimal digits hold a signed 32-bit value only.
    std::string out = "kept";
    EXPECT_EQ(Full(longest, "K", "", out, false), -304);
    utf8_ = false;
    EXPECT_EQ(Full(huge.get(), "K", "", out, false), -304);
    EXPECT_EQ(out, "kept");
}

}  // namespace
