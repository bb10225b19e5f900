// File signing against the software token: the module completes and signs
// the text, the host packs it into the output file, and a file that changes
// under the module never yields a reported success.
#include <sys/stat.h>

#include <cstddef>

#include "signing_token.h"

namespace signing_checks {
namespace {

const char kUntouched[] = "untouched";

// E_SignFileWithDisplay wrapped to change the signed file around the module's
// own read of it.
struct FileChanger {
    enum class When { before, after };
    static std::string& path() {
        static std::string p;
        return p;
    }
    static std::string& replacement() {
        static std::string r;
        return r;
    }
    static When& when() {
        static When w = When::after;
        return w;
    }
    static E_SignFileWithDisplay_t& real() {
        static E_SignFileWithDisplay_t r = nullptr;
        return r;
    }
    static CK_RV Call(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM* mechanism, const unsigned char* prefix,
                      const char* display, const char* file, unsigned char* signature, CK_ULONG* length,
                      CK_ULONG flag) {
        if (when() == When::before) WriteWholeFile(path(), replacement());
        const CK_RV rv = real()(s, key, mechanism, prefix, display, file, signature, length, flag);
        if (when() == When::after) WriteWholeFile(path(), replacement());
        return rv;
    }
};

class FileSigningTest : public SigningTokenTest {
protected:
    void SetUp() override {
        SigningTokenTest::SetUp();
        file_ = Path("contract.pdf");
        p7_ = Path("contract.p7");
        WriteWholeFile(file_, std::string("%PDF-1.4\x00\x01\x02 body\n", 17));
    }

    long SignFile(const char* dn, const char* hashName, const std::string& file, const std::string& p7,
                  const char* xml = "<xml>transfer</xml>", const char* keyMsg = "confirm 100") {
        out_ = kUntouched;
        return d->GMUSBKeySignFile(dn, hashName, xml, keyMsg, file.c_str(), p7.c_str(), out_);
    }

    // Address of an entry of the packed auxiliary list.
    void* AuxSlot(AuxEntry entry) {
        return reinterpret_cast<unsigned char*>(d.module->AuxFunctions()) + offsetof(AUX_FUNCTION_LIST, entries) +
               sizeof(void*) * entry;
    }

    bool OutputExists() const {
        struct stat st;
        return stat(p7_.c_str(), &st) == 0;
    }

    std::string file_;
    std::string p7_;
    std::string out_;
};

TEST_F(FileSigningTest, BothKindsAndEncodingsWriteAVerifyingSignedData) {
    const struct {
        const char* type;
        const char* format;
        const char* hash;
        int nid;
    } keys[] = {{"rsa2048", "01", "sha256", NID_sha256},
                {"rsa1024", "02", "", NID_sha1},
                {"rsa1024", "02", "SM3", NID_sm3},
                {"sm2", "01", "", NID_sm3},
                {"sm2", "02", "sm3", NID_sm3}};
    for (const auto& key : keys) {
        SCOPED_TRACE(std::string(key.type) + " " + key.format + " " + key.hash);
        Run({"init"});
        const std::string pair = AddKey(key.type, key.format, "/C=CN/O=Test Bank/CN=Lin Feng");
        const bool sm2 = std::string(key.type) == "sm2";
        for (const std::string& file : {file_, std::string()}) {
            std::remove(p7_.c_str());
            ASSERT_EQ(SignFile("CN=Lin Feng", key.hash, file, p7_), 0);
            EXPECT_EQ(out_, kUntouched);  // the text went to the file only
            const std::string text = ReadWholeFile(p7_);
            EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
            const Bytes der = Unbase64(text);
            const SignedData sd = Inspect(der);
            ASSERT_TRUE(sd.parsed);
            TextInput in{"<xml>transfer</xml>", "confirm 100", file, file.empty() ? "" : ReadWholeFile(file_)};
            EXPECT_EQ(sd.content, ExpectedText(in, std::string(key.format) == "01"));
            EXPECT_EQ(sd.certificate, Certificate(pair));
            EXPECT_EQ(sd.digestNid, key.nid);
            EXPECT_TRUE(sm2 ? Sm2Verifies(der) : RsaVerifies(der));
        }
    }
}

TEST_F(FileSigningTest, Gb18030ModeShowsTheConvertedKeyMessage) {
    // In the binary encoding the module appends the display text itself: the
    // signature verifies only if it carries the converted bytes.
    const std::string keyMsg = "\xe7\xa1\xae\xe8\xae\xa4 100";
    for (const char* type : {"rsa1024", "sm2"}) {
        SCOPED_TRACE(type);
        Run({"init"});
        AddKey(type, "01", "/C=CN/O=Test Bank/CN=Lin Feng");
        ASSERT_EQ(d->SetCharset("GB18030", 7), 0);
        ASSERT_EQ(SignFile("CN=Lin Feng", "", file_, p7_, "<xml/>", keyMsg.c_str()), 0);
        const Bytes der = Unbase64(ReadWholeFile(p7_));
        TextInput in{"<xml/>", Gb18030(keyMsg), Gb18030(file_), ReadWholeFile(file_)};
        EXPECT_EQ(Inspect(der).content, ExpectedText(in, true));
        EXPECT_TRUE(std::string(type) == "sm2" ? Sm2Verifies(der) : RsaVerifies(der));
        ASSERT_EQ(d->SetCharset("UTF-8", 5), 0);
    }
}

TEST_F(FileSigningTest, AnEmptyOutputPathReturnsTheTextInstead) {
    AddKey("sm2", "02", "/C=CN/O=Test Bank/CN=Lin Feng");
    ASSERT_EQ(SignFile("Lin", "", file_, ""), 0);
    EXPECT_FALSE(OutputExists());
    EXPECT_TRUE(Sm2Verifies(Unbase64(out_)));
}

TEST_F(FileSigningTest, AnOutputFileThatCannotBeCreatedGives409) {
    AddKey("rsa1024", "02", "/C=CN/O=Test Bank/CN=Lin Feng");
    const std::string p7 = Path("no-such-dir/out.p7");
    EXPECT_EQ(SignFile("Lin", "", file_, p7), -409);
    EXPECT_EQ(out_, kUntouched);
    EXPECT_EQ(SignFile("Lin", "", file_, scratch_), -409);  // a directory
}

TEST_F(FileSigningTest, ALinkAtTheOutputNameIsReplacedNotWrittenThrough) {
    AddKey("sm2", "02", "/C=CN/O=Test Bank/CN=Lin Feng");
    const std::string target = Path("target.p7");
    for (const bool targetExists : {true, false}) {
        SCOPED_TRACE(targetExists ? "link to a file" : "dangling link");
        std::remove(p7_.c_str());
        std::remove(target.c_str());
        if (targetExists) WriteWholeFile(target, "the link's target");
        ASSERT_EQ(symlink(target.c_str(), p7_.c_str()), 0);
        ASSERT_EQ(SignFile("Lin", "", file_, p7_), 0);
        struct stat info {};
        ASSERT_EQ(lstat(p7_.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_TRUE(Sm2Verifies(Unbase64(ReadWholeFile(p7_))));
        EXPECT_EQ(ReadWholeFile(target), targetExists ? "the link's target" : "");
        EXPECT_EQ(access(target.c_str(), F_OK) == 0, targetExists);
    }
}

TEST_F(FileSigningTest, AnOutputNamingTheDocumentGives304BeforeTheTokenIsAsked) {
    AddKey("sm2", "02", "/C=CN/O=Test Bank/CN=Lin Feng");
    const std::string document = ReadWholeFile(file_);
    const std::string hardLink = Path("hard-link.pdf");
    const std::string softLink = Path("soft-link.pdf");
    ASSERT_EQ(link(file_.c_str(), hardLink.c_str()), 0);
    ASSERT_EQ(symlink(file_.c_str(), softLink.c_str()), 0);
    const std::string calls = Run({"calls"});
    for (const std::string& p7 : {file_, scratch_ + "/./contract.pdf", scratch_ + "/../" +
                                  std::filesystem::path(scratch_).filename().string() + "/contract.pdf",
                                  hardLink, softLink}) {
        SCOPED_TRACE(p7);
        EXPECT_EQ(SignFile("Lin", "", file_, p7), -304);
        EXPECT_EQ(ReadWholeFile(file_), document);
    }
    EXPECT_EQ(Run({"calls"}), calls);
}

TEST_F(FileSigningTest, PromptFailuresWriteNothing) {
    AddKey("rsa1024", "01", "/C=CN/O=Test Bank/CN=Lin Feng");
    const struct {
        const char* action;
        long code;
    } cases[] = {{"cancel@signfile", -100}, {"timeout@signfile", -105}, {"rv:0x06@signfile", -103},
                 {"cancel@login", -100},    {"timeout@login", -105},    {"rv:0x05@login", -352}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        Run({"queue", c.action});
        EXPECT_EQ(SignFile("Lin", "", file_, p7_), c.code);
        EXPECT_FALSE(OutputExists());
        EXPECT_EQ(out_, kUntouched);
    }
    Run({"set-tries", "--tries", "4"});
    Run({"queue", "wrong-pin@login"});
    EXPECT_EQ(SignFile("Lin", "", file_, p7_), -203);
}

TEST_F(FileSigningTest, SelectionAndHashFailures) {
    AddKey("sm2", "02", "/C=CN/O=Test Bank/CN=Lin Feng");
    EXPECT_EQ(SignFile("CN=Lin Feng", "SHA1", file_, p7_), -352);
    EXPECT_EQ(SignFile("CN=Nobody", "", file_, p7_), -304);
    EXPECT_EQ(SignFile("CN=Nobody", "md5", file_, p7_), -352);  // judged by the RSA rows
    EXPECT_FALSE(OutputExists());
}

TEST_F(FileSigningTest, UnusableFilesAreRefusedBeforeLogin) {
    AddKey("sm2", "01", "/C=CN/O=Test Bank/CN=Lin Feng");
    const std::string fifo = Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Run({"queue", "cancel@login"});
    for (const std::string& path : {scratch_, fifo, std::string("/dev/zero"), Path("missing.pdf")}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(SignFile("Lin", "", path, p7_), -302);
    }
    const std::string huge = Path("huge.bin");
    WriteWholeFile(huge, "");
    ASSERT_EQ(truncate(huge.c_str(), 75000000), 0);
    EXPECT_EQ(SignFile("Lin", "", huge, p7_), -304);
    EXPECT_FALSE(OutputExists());
    EXPECT_EQ(SignFile("Lin", "", file_, p7_), -100);  // the holder is asked only now
}

TEST_F(FileSigningTest, AFileThatChangesUnderTheModuleIsNeverReportedSigned) {
    const std::string original = ReadWholeFile(file_);
    std::string sameSize = original;
    sameSize[0] ^= 0x20;
    const struct {
        FileChanger::When when;
        std::string replacement;
        long code;
        const char* what;
    } cases[] = {{FileChanger::When::after, original + "appended", -302, "grows after the module read it"},
                 {FileChanger::When::after, original.substr(0, 3), -302, "shrinks after the module read it"},
                 {FileChanger::When::after, sameSize, -302, "same size, other bytes, after the module read it"},
                 {FileChanger::When::before, original + "appended", -302, "grows before the module reads it"},
                 // Module and host both see the new bytes: a consistent signature of the file as it is now.
                 {FileChanger::When::before, sameSize, 0, "same size, other bytes, before the module reads it"}};
    for (const char* type : {"rsa1024", "sm2"}) {
        for (const char* format : {"01", "02"}) {
            Run({"init"});
            AddKey(type, format, "/C=CN/O=Test Bank/CN=Lin Feng");
            ASSERT_EQ(d.module->GetFuncList(), 0);
            for (const auto& c : cases) {
                SCOPED_TRACE(std::string(type) + " " + format + ": " + c.what);
                WriteWholeFile(file_, original);
                std::remove(p7_.c_str());
                FileChanger::path() = file_;
                FileChanger::replacement() = c.replacement;
                FileChanger::when() = c.when;
                ScopedSlotPatch patch(AuxSlot(AUX_SIGN_FILE_WITH_DISPLAY),
                                      reinterpret_cast<void*>(&FileChanger::Call));
                FileChanger::real() = reinterpret_cast<E_SignFileWithDisplay_t>(patch.original());
                ASSERT_EQ(SignFile("Lin", "", file_, p7_), c.code);
                if (c.code != 0) {
                    EXPECT_FALSE(OutputExists());
                    continue;
                }
                const Bytes der = Unbase64(ReadWholeFile(p7_));
                TextInput in{"<xml>transfer</xml>", "confirm 100", file_, c.replacement};
                EXPECT_EQ(Inspect(der).content, ExpectedText(in, std::string(format) == "01"));
                EXPECT_TRUE(std::string(type) == "sm2" ? Sm2Verifies(der) : RsaVerifies(der));
            }
        }
    }
}

}  // namespace
}  // namespace signing_checks
