// Message signing against the software token: what the key signs, what the
// SignedData carries, which certificate signs, and every failure code.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "signing_token.h"

namespace signing_checks {
namespace {

const char kUntouched[] = "untouched";

class MessageSigningTest : public SigningTokenTest {
protected:
    long Sign(const char* dn, const std::string& hashName, const std::string& filePath = "",
              const char* xml = "AB", const char* keyMsg = "C") {
        out_ = kUntouched;
        return d->GMUSBKeySign(dn, xml, keyMsg, hashName, filePath, out_);
    }
    Bytes Der() const { return Unbase64(out_); }

    std::string out_;
};

TEST_F(MessageSigningTest, RsaSignsTheDecimalTextWithEveryHashName) {
    const std::string pair = AddKey("rsa2048", "02", "/C=CN/O=Test Bank/CN=Alice Zhang");
    const Bytes cert = Certificate(pair);
    const struct {
        const char* name;
        int nid;
    } hashes[] = {{"", NID_sha1},         {"sha1", NID_sha1},     {"SHA256", NID_sha256},
                  {"Sha384", NID_sha384}, {"SHA512", NID_sha512}, {"sm3", NID_sm3}};
    for (const auto& hash : hashes) {
        SCOPED_TRACE(hash.name);
        ASSERT_EQ(Sign("CN=Alice Zhang,O=Test Bank,C=CN", hash.name), 0);
        const SignedData sd = Inspect(Der());
        ASSERT_TRUE(sd.parsed);
        EXPECT_EQ(sd.content, "110000000039210000000002AB220000000001C230000000000");
        EXPECT_EQ(sd.certificate, cert);
        EXPECT_EQ(sd.certificateCount, 1);
        EXPECT_EQ(sd.digestNid, hash.nid);
        EXPECT_TRUE(RsaVerifies(Der()));
    }
}

TEST_F(MessageSigningTest, BothKindsSignBothEncodingsWithAndWithoutFile) {
    const std::string file = Path("payload.bin");
    const std::string bytes("\x00\x01\xfe\xff binary payload\n", 20);
    WriteWholeFile(file, bytes);
    const struct {
        const char* type;
        const char* format;
    } keys[] = {{"rsa1024", "01"}, {"rsa1024", "02"}, {"sm2", "01"}, {"sm2", "02"}};
    for (const auto& key : keys) {
        SCOPED_TRACE(std::string(key.type) + " " + key.format);
        Run({"init"});
        const std::string pair = AddKey(key.type, key.format, "/C=CN/O=Test Bank/CN=Bob Li");
        const bool sm2 = std::string(key.type) == "sm2";
        const bool binary = std::string(key.format) == "01";
        for (const std::string& path : {std::string(), file}) {
            ASSERT_EQ(Sign("Bob Li", "", path, "<xml>pay 10</xml>", "key message"), 0);
            const SignedData sd = Inspect(Der());
            ASSERT_TRUE(sd.parsed);
            TextInput in{"<xml>pay 10</xml>", "key message", path, path.empty() ? "" : bytes};
            EXPECT_EQ(sd.content, ExpectedText(in, binary));
            EXPECT_EQ(sd.certificate, Certificate(pair));
            EXPECT_TRUE(sm2 ? Sm2Verifies(Der()) : RsaVerifies(Der()));
            // The checks themselves notice a content that was not signed.
            Bytes tampered = Der();
            const Bytes content(sd.content.begin(), sd.content.end());
            const auto at = std::search(tampered.begin(), tampered.end(), content.begin(), content.end());
            ASSERT_NE(at, tampered.end());
            *(at + 3) ^= 1;
            EXPECT_FALSE(sm2 ? Sm2Verifies(tampered) : RsaVerifies(tampered));
        }
    }
}

TEST_F(MessageSigningTest, Gb18030ModeConvertsTextsAndFileName) {
    const std::string file = Path("\xe6\x96\x87\xe4\xbb\xb6.txt");  // a Chinese file name
    WriteWholeFile(file, "contents");
    const std::string xml = "\xe6\x94\xaf\xe4\xbb\x98 100";
    const std::string keyMsg = "\xe4\xb8\xad";
    for (const char* type : {"rsa2048", "sm2"}) {
        SCOPED_TRACE(type);
        Run({"init"});
        AddKey(type, "01", "/C=CN/O=Test Bank/CN=Chen");
        ASSERT_EQ(d->SetCharset("GB18030", 7), 0);
        ASSERT_EQ(Sign("CN=Chen", "", file, xml.c_str(), keyMsg.c_str()), 0);
        const SignedData sd = Inspect(Der());
        TextInput in{Gb18030(xml), Gb18030(keyMsg), Gb18030(file), "contents"};
        EXPECT_EQ(Gb18030(keyMsg).size(), 2u);
        EXPECT_EQ(sd.content, ExpectedText(in, true));
        EXPECT_TRUE(std::string(type) == "sm2" ? Sm2Verifies(Der()) : RsaVerifies(Der()));
        ASSERT_EQ(d->SetCharset("UTF-8", 5), 0);
    }
}

TEST_F(MessageSigningTest, HashNamesAreJudgedBeforeTheMissingSigner) {
    AddKey("sm2", "02", "/C=CN/O=Test Bank/CN=Sun");
    EXPECT_EQ(Sign("CN=Sun", "sha256"), -352);
    EXPECT_EQ(out_, kUntouched);
    EXPECT_EQ(Sign("CN=Nobody", "MD5"), -352);
    EXPECT_EQ(Sign("CN=Nobody", ""), -304);

    Run({"init"});
    AddKey("rsa1024", "02", "/C=CN/O=Test Bank/CN=Sun");
    EXPECT_EQ(Sign("CN=Sun", "md5"), -352);
    EXPECT_EQ(Sign("CN=Sun", "SHA-256"), -352);
    EXPECT_EQ(Sign("CN=Sun", "sm3"), 0);
}

TEST_F(MessageSigningTest, ATokenWithoutCertificatesGives350) {
    Run({"add-key", "--type", "rsa1024", "--no-cert"});
    EXPECT_EQ(Sign("CN=Anyone", ""), -350);
    EXPECT_EQ(out_, kUntouched);
}

TEST_F(MessageSigningTest, TheFirstMatchingCertificateSigns) {
    const std::string first = AddKey("rsa1024", "02", "/C=CN/O=Test Bank/CN=Wang One");
    AddKey("sm2", "02", "/C=CN/O=Test Bank/CN=Wang Two");
    ASSERT_EQ(Sign("wang", "sha256"), 0);
    EXPECT_EQ(Inspect(Der()).certificate, Certificate(first));

    // The first match decides even when its key pair is broken.
    DeleteObject("public-key", first);
    EXPECT_EQ(Sign("wang", ""), -103);
}

TEST_F(MessageSigningTest, OnlyTheFirstTenCertificatesAreExamined) {
    const std::string other = AddKey("rsa1024", "02", "/C=CN/O=Test Bank/CN=Zhou");
    const Bytes der = Certificate(other);
    const std::string copy(der.begin(), der.end());
    for (int i = 0; i < 8; ++i) AddCertificate("copy-" + std::to_string(i), copy);
    AddKey("rsa1024", "02", "/C=CN/O=Test Bank/CN=Qian");  // tenth certificate
    EXPECT_EQ(Sign("CN=Qian", ""), 0);

    Run({"init"});
    AddKey("rsa1024", "02", "/C=CN/O=Test Bank/CN=Zhou");
    for (int i = 0; i < 9; ++i) AddCertificate("copy-" + std::to_string(i), copy);
    AddKey("rsa1024", "02", "/C=CN/O=Test Bank/CN=Qian");  // eleventh
    EXPECT_EQ(Sign("CN=Qian", ""), -304);
}

TEST_F(MessageSigningTest, ACertificateObjectThatDoesNotParseIsSkipped) {
    AddCertificate("junk", std::string("\x30\x82\x01\x00not a certificate", 21));
    EXPECT_EQ(Sign("CN=Li", ""), -304);
    EXPECT_EQ(out_, kUntouched);

    const std::string pair = AddKey("rsa1024", "02", "/C=CN/O=Test Bank/CN=Li");
    ASSERT_EQ(Sign("CN=Li", ""), 0);
    EXPECT_EQ(Inspect(Der()).certificate, Certificate(pair));
}

TEST_F(MessageSigningTest, MissingPrivateKeyGives103) {
    const std::string pair = AddKey("sm2", "01", "/C=CN/O=Test Bank/CN=Zhao");
    DeleteObject("private-key", pair);
    EXPECT_EQ(Sign("CN=Zhao", ""), -103);
}

TEST_F(MessageSigningTest, HolderAndTokenFailuresMapToCodes) {
    AddKey("rsa1024", "02", "/C=CN/O=Test Bank/CN=Ma");
    const struct {
        std::vector<std::string> setup;
        long code;
    } cases[] = {
        {{"queue", "cancel@login"}, -100}, {{"queue", "timeout@login"}, -105},
        {{"queue", "rv:0x05@login"}, -352}, {{"queue", "cancel@sign"}, -100},
        {{"queue", "timeout@sign"}, -105},  {{"queue", "rv:0x06@sign"}, -103},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup.back());
        Run(c.setup);
        EXPECT_EQ(Sign("CN=Ma", ""), c.code);
        if (c.code != 0) {
            EXPECT_EQ(out_, kUntouched);
        }
    }
    Run({"set-tries", "--tries", "4"});
    Run({"queue", "wrong-pin@login"});
    EXPECT_EQ(Sign("CN=Ma", ""), -203);
    Run({"set-tries", "--tries", "1"});
    Run({"queue", "wrong-pin@login"});
    EXPECT_EQ(Sign("CN=Ma", ""), -221);
    EXPECT_EQ(Sign("CN=Ma", ""), -221);  // locked from now on
}

TEST_F(MessageSigningTest, TextFormatOtherThan01Or02IsRefused) {
    AddKey("rsa1024", "02", "/C=CN/O=Test Bank/CN=Xu");
    ASSERT_EQ(d.module->GetFuncList(), 0);
    for (const std::string format : {"03", "0", "", "2"}) {
        SCOPED_TRACE(format);
        ScopedAttributeOverride patch(d.module->Functions(),
                                      {{CKA_VENDOR_TEXT_FORMAT, Bytes(format.begin(), format.end())}});
        EXPECT_EQ(Sign("CN=Xu", ""), -352);
    }
    // "02" followed by more bytes still says decimal.
    ScopedAttributeOverride patch(d.module->Functions(), {{CKA_VENDOR_TEXT_FORMAT, Bytes{'0', '2', 0}}});
    EXPECT_EQ(Sign("CN=Xu", ""), 0);
}

TEST_F(MessageSigningTest, Sm2PointOfAnotherLengthGives302) {
    AddKey("sm2", "02", "/C=CN/O=Test Bank/CN=He");
    ASSERT_EQ(d.module->GetFuncList(), 0);
    for (size_t length : {0, 33, 64, 66, 129}) {
        SCOPED_TRACE(length);
        Bytes point(length, 0x42);
        if (!point.empty()) point[0] = 0x04;
        ScopedAttributeOverride patch(d.module->Functions(), {{CKA_MODULUS, point}});
        EXPECT_EQ(Sign("CN=He", ""), -302);
    }
}

TEST_F(MessageSigningTest, UnusableFilesAreRefusedBeforeLogin) {
    AddKey("sm2", "02", "/C=CN/O=Test Bank/CN=Gao");
    const std::string fifo = Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Run({"queue", "cancel@login"});
    for (const std::string& path : {scratch_, fifo, std::string("/dev/null"), Path("missing.txt")}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Sign("CN=Gao", "", path), -302);
        EXPECT_EQ(out_, kUntouched);
    }
    // A file whose Base64 text cannot fit the record's eight-digit lengths.
    const std::string huge = Path("huge.bin");
    WriteWholeFile(huge, "");
    ASSERT_EQ(truncate(huge.c_str(), 75000000), 0);
    EXPECT_EQ(Sign("CN=Gao", "", huge), -304);
    // The holder was never asked: the queued cancel is still waiting.
    EXPECT_EQ(Sign("CN=Gao", ""), -100);
}

TEST_F(MessageSigningTest, NoTokenGivesTheTokenCheckCode) {
    Run({"unplug"});
    EXPECT_EQ(Sign("CN=Anyone", ""), -102);
    EXPECT_EQ(out_, kUntouched);
}

}  // namespace
}  // namespace signing_checks
