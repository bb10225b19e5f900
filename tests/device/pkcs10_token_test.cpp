// The token steps of certificate requests against the software token:
// reading a new key's public part, the sign-info record and the PKCS#11
// signing path with its PIN answers.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/modules/recorded_device.h"
#include "device/p11_session.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Digest(const EVP_MD* md, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr);
    out.resize(length);
    return out;
}

class Pkcs10Token : public SoftTokenTest {
protected:
    void SetUp() override {
        SoftTokenTest::SetUp();
        Tool({"init"});
    }

    // A temporary key pair (no certificate); returns its key record.
    Bytes AddTemporaryKey(const std::string& type, std::string* pairIdOut = nullptr) {
        ToolResult result = dir.Tool({"add-key", "--type", type, "--no-cert"});
        EXPECT_EQ(result.exitCode, 0);
        std::string pairId = result.out.substr(0, result.out.find('\n'));
        if (pairIdOut) *pairIdOut = pairId;
        Bytes record(DeviceP11Operation::kKeyRecordSize, 0);
        std::copy(pairId.begin(), pairId.end(), record.begin());
        return record;
    }

    // RSA PKCS#1 v1.5 verification of a signature over a ready digest.
    bool VerifiesDigest(const std::string& pairId, const EVP_MD* md, const Bytes& digest, const Bytes& signature) {
        std::string path = dir.Path() + "/pub.pem";
        EXPECT_EQ(dir.Tool({"export", "--pair-id", pairId, "--what", "pubkey", "--out", path}).exitCode, 0);
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "r"), BIO_free);
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
            PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
        if (!key) return false;
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                        EVP_PKEY_CTX_free);
        return EVP_PKEY_verify_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
               EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1 &&
               EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    }

    long Sign(const std::string& hash, const Bytes& record, const Bytes& digest, Bytes& signature) {
        signature.assign(1024, 0);
        long length = 1024;
        long code = d->FGMSignPKCS10Info(hash, record.data(), digest.data(), static_cast<long>(digest.size()),
                                         signature.data(), &length);
        signature.resize(code == 0 ? static_cast<size_t>(length) : 0);
        return code;
    }

    RecordedDevice d;
};

TEST_F(Pkcs10Token, PublicKeyOfANewPair) {
    Bytes sm2 = AddTemporaryKey("sm2");
    Bytes rsa = AddTemporaryKey("rsa2048");
    ASSERT_TRUE(d->CheckToken());

    unsigned char key[256];
    unsigned long length = sizeof key;
    ASSERT_EQ(d->GetP10PublicKeyInfo(sm2.data(), key, &length), 0);
    EXPECT_EQ(length, 65u);
    EXPECT_EQ(key[0], 0x04);
    length = sizeof key;
    ASSERT_EQ(d->GetP10PublicKeyInfo(rsa.data(), key, &length), 0);
    EXPECT_EQ(length, 256u);
    EXPECT_GE(key[0], 0x80);
    EXPECT_EQ(PinnedSoftToken::Instance().OpenSessions(), 0UL);  // the lookup closes its session

    Bytes unknown(DeviceP11Operation::kKeyRecordSize, 0);
    std::string missing = "pair-00000000";
    std::copy(missing.begin(), missing.end(), unknown.begin());
    length = sizeof key;
    EXPECT_EQ(d->GetP10PublicKeyInfo(unknown.data(), key, &length), -300);
    // A modulus larger than the caller's buffer is not copied.
    length = 255;
    EXPECT_EQ(d->GetP10PublicKeyInfo(rsa.data(), key, &length), -300);
}

TEST_F(Pkcs10Token, SignInfoRecordOfOneAndTwoRequests) {
    Tool({"add-key", "--type", "sm2", "--no-cert"});  // index 0 taken, the request's key gets index 1
    Bytes records = AddTemporaryKey("sm2");
    Bytes rsa = AddTemporaryKey("rsa1024");
    records.insert(records.end(), rsa.begin(), rsa.end());
    Bytes data1(300, 0x31), data2(77, 0x32);

    unsigned char info[2048] = {};
    unsigned int length = 0;
    ASSERT_EQ(d->GetPKCS10SignInfo(1, records.data(), "SM3", data1.data(), data1.size(), "", nullptr, 0, info,
                                   &length),
              0);
    ASSERT_EQ(length, 36u);
    EXPECT_EQ(Bytes(info, info + 4), (Bytes{0x13, 0x02, 0x52, 0x20}));
    EXPECT_EQ(Bytes(info + 4, info + 36), Digest(EVP_sm3(), data1));

    ASSERT_EQ(d->GetPKCS10SignInfo(2, records.data(), "SM3", data1.data(), data1.size(), "SHA256", data2.data(),
                                   data2.size(), info, &length),
              0);
    ASSERT_EQ(length, 72u);
    EXPECT_EQ(Bytes(info + 36, info + 40), (Bytes{0x23, 0x02, 0xF2, 0x20}));
    EXPECT_EQ(Bytes(info + 40, info + 72), Digest(EVP_sha256(), data2));

    EXPECT_EQ(d->GetPKCS10SignInfo(3, records.data(), "SM3", data1.data(), data1.size(), "SM3", data1.data(),
                                   data1.size(), info, &length),
              -300);
    EXPECT_EQ(d->GetPKCS10SignInfo(1, records.data(), "sm3", data1.data(), data1.size(), "", nullptr, 0, info,
                                   &length),
              -300);
}

TEST_F(Pkcs10Token, UnknownKeyLeavesKindAndNumberEmpty) {
    Bytes record(DeviceP11Operation::kKeyRecordSize, 0);
    Bytes data{1, 2, 3};
    unsigned char info[2048] = {};
    unsigned int length = 0;
    ASSERT_EQ(d->GetPKCS10SignInfo(1, record.data(), "SHA1", data.data(), data.size(), "", nullptr, 0, info, &length),
              0);
    ASSERT_EQ(length, 24u);
    EXPECT_EQ(Bytes(info, info + 4), (Bytes{0x00, 0x00, 0x12, 0x14}));
}

TEST_F(Pkcs10Token, PkcsElevenPathSignsTheGivenDigest) {
    std::string pairId;
    Bytes record = AddTemporaryKey("rsa1024", &pairId);
    ASSERT_TRUE(d->CheckToken());
    Bytes digest = Digest(EVP_sha256(), Bytes(50, 0x61));
    Bytes signature;
    ASSERT_EQ(Sign("SHA256", record, digest, signature), 0);
    EXPECT_EQ(signature.size(), 128u);
    EXPECT_TRUE(VerifiesDigest(pairId, EVP_sha256(), digest, signature));

    Bytes md5 = Digest(EVP_md5(), Bytes(5, 0x61));
    ASSERT_EQ(Sign("MD5", record, md5, signature), 0);
    EXPECT_TRUE(VerifiesDigest(pairId, EVP_md5(), md5, signature));

    // SM3 has no RSA mechanism on this path; a record of no key finds no private key.
    EXPECT_EQ(Sign("SM3", record, digest, signature), -103);
    EXPECT_EQ(d->GetLastError(), -103);
    Bytes unknown(DeviceP11Operation::kKeyRecordSize, 0);
    EXPECT_EQ(Sign("SHA256", unknown, digest, signature), -103);
}

TEST_F(Pkcs10Token, PkcsElevenPathMapsTheHoldersAnswer) {
    Bytes record = AddTemporaryKey("rsa1024");
    ASSERT_TRUE(d->CheckToken());
    Bytes digest = Digest(EVP_sha1(), Bytes(3, 0x61));
    Bytes signature;

    Tool({"queue", "cancel@login"});
    EXPECT_EQ(Sign("SHA1", record, digest, signature), -100);
    Tool({"queue", "timeout@login"});
    EXPECT_EQ(Sign("SHA1", record, digest, signature), -105);
    Tool({"queue", "rv:0x30@login"});
    EXPECT_EQ(Sign("SHA1", record, digest, signature), -352);
    Tool({"queue", "wrong-pin@login"});
    EXPECT_EQ(Sign("SHA1", record, digest, signature), -205);
    EXPECT_EQ(d->GetLastError(), -205);
    Tool({"set-tries", "--tries", "1"});
    Tool({"queue", "wrong-pin@login"});
    EXPECT_EQ(Sign("SHA1", record, digest, signature), -221);
    // A signing failure after the login.
    Tool({"set-tries", "--tries", "6"});
    Tool({"queue", "rv:0x5@sign"});
    EXPECT_EQ(Sign("SHA1", record, digest, signature), -103);
    EXPECT_EQ(Sign("SHA1", record, digest, signature), 0);
}

TEST_F(Pkcs10Token, PkcsElevenPathAcceptsATokenStillLoggedIn) {
    Bytes record = AddTemporaryKey("rsa1024");
    ASSERT_TRUE(d->CheckToken());
    P11Session outer;
    ASSERT_TRUE(d->OpenSession(outer));
    ASSERT_EQ(d->Functions()->C_Login(outer.handle(), CKU_USER, const_cast<unsigned char*>(kPinPromptBlock),
                                      sizeof kPinPromptBlock),
              CKR_OK);
    Tool({"queue", "cancel@login"});  // would be consulted only by a fresh login
    Bytes digest = Digest(EVP_sha384(), Bytes(3, 0x61));
    Bytes signature;
    EXPECT_EQ(Sign("SHA384", record, digest, signature), 0);
    EXPECT_EQ(signature.size(), 128u);
}

TEST_F(Pkcs10Token, TemporaryKeyValue) {
    char out[260] = {};
    EXPECT_EQ(d->GMGetTemKey(out, 43), -300);
    EXPECT_EQ(d->GetLastError(), -300);
    ASSERT_EQ(d->GMGetTemKey(out, 44), 0);
    EXPECT_EQ(std::strlen(out), 44u);

    std::string seed = std::string("0123456789AB    ") + "temp-key";
    Bytes expected = Digest(EVP_sha256(), Bytes(seed.begin(), seed.end()));
    unsigned char text[45] = {};
    EVP_EncodeBlock(text, expected.data(), static_cast<int>(expected.size()));
    EXPECT_STREQ(out, reinterpret_cast<char*>(text));
}

}  // namespace
