// The token steps of certificate requests against the software token:
// reading a new key's public part, the sign-info record, the PKCS#11 signing
// path on a token still logged in, and the temporary key value.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/modules/recorded_device.h"
#include "device/p11_session.h"
#include "device/pkcs10.h"

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
    Bytes AddTemporaryKey(const std::string& type) {
        ToolResult result = dir.Tool({"add-key", "--type", type, "--no-cert"});
        EXPECT_EQ(result.exitCode, 0);
        std::string pairId = result.out.substr(0, result.out.find('\n'));
        Bytes record(kKeyRecordSize, 0);
        std::copy(pairId.begin(), pairId.end(), record.begin());
        return record;
    }

    long Sign(const SelectedToken& token, const std::string& hash, const Bytes& record, const Bytes& digest,
              Bytes& signature) {
        signature.assign(1024, 0);
        long length = 1024;
        long code = FGMSignPKCS10Info(token, hash, record.data(), digest.data(), static_cast<long>(digest.size()),
                                      signature.data(), &length);
        signature.resize(code == 0 ? static_cast<size_t>(length) : 0);
        return code;
    }

    RecordedDevice d;
};

TEST_F(Pkcs10Token, PublicKeyOfANewPair) {
    Bytes sm2 = AddTemporaryKey("sm2");
    Bytes rsa = AddTemporaryKey("rsa2048");
    SelectedToken token;
    ASSERT_EQ(d.module->CheckToken(token), 0);

    unsigned char key[256];
    unsigned long length = sizeof key;
    ASSERT_EQ(GetP10PublicKeyInfo(token, sm2.data(), key, &length), 0);
    EXPECT_EQ(length, 65u);
    EXPECT_EQ(key[0], 0x04);
    length = sizeof key;
    ASSERT_EQ(GetP10PublicKeyInfo(token, rsa.data(), key, &length), 0);
    EXPECT_EQ(length, 256u);
    EXPECT_GE(key[0], 0x80);
    EXPECT_EQ(PinnedSoftToken::Instance().OpenSessions(), 0UL);  // the lookup closes its session

    Bytes unknown(kKeyRecordSize, 0);
    std::string missing = "pair-00000000";
    std::copy(missing.begin(), missing.end(), unknown.begin());
    length = sizeof key;
    EXPECT_EQ(GetP10PublicKeyInfo(token, unknown.data(), key, &length), -300);
    // A modulus larger than the caller's buffer is not copied.
    length = 255;
    EXPECT_EQ(GetP10PublicKeyInfo(token, rsa.data(), key, &length), -300);
}

TEST_F(Pkcs10Token, SignInfoRecordOfOneAndTwoRequests) {
    Tool({"add-key", "--type", "sm2", "--no-cert"});  // index 0 taken, the request's key gets index 1
    Bytes records = AddTemporaryKey("sm2");
    Bytes rsa = AddTemporaryKey("rsa1024");
    records.insert(records.end(), rsa.begin(), rsa.end());
    Bytes data1(300, 0x31), data2(77, 0x32);

    unsigned char info[2048] = {};
    unsigned int length = 0;
    SelectedToken token;
    ASSERT_EQ(GetPKCS10SignInfo(*d.module, token, 1, records.data(), "SM3", data1.data(), data1.size(), "", nullptr, 0,
                                info, &length),
              0);
    ASSERT_EQ(length, 36u);
    EXPECT_EQ(Bytes(info, info + 4), (Bytes{0x13, 0x02, 0x52, 0x20}));
    EXPECT_EQ(Bytes(info + 4, info + 36), Digest(EVP_sm3(), data1));

    ASSERT_EQ(GetPKCS10SignInfo(*d.module, token, 2, records.data(), "SM3", data1.data(), data1.size(), "SHA256",
                                data2.data(), data2.size(), info, &length),
              0);
    ASSERT_EQ(length, 72u);
    EXPECT_EQ(Bytes(info + 36, info + 40), (Bytes{0x23, 0x02, 0xF2, 0x20}));
    EXPECT_EQ(Bytes(info + 40, info + 72), Digest(EVP_sha256(), data2));

    EXPECT_EQ(GetPKCS10SignInfo(*d.module, token, 3, records.data(), "SM3", data1.data(), data1.size(), "SM3",
                                data1.data(), data1.size(), info, &length),
              -300);
    EXPECT_EQ(GetPKCS10SignInfo(*d.module, token, 1, records.data(), "sm3", data1.data(), data1.size(), "", nullptr, 0,
                                info, &length),
              -300);
}

TEST_F(Pkcs10Token, PkcsElevenPathAcceptsATokenStillLoggedIn) {
    Bytes record = AddTemporaryKey("rsa1024");
    SelectedToken token;
    ASSERT_EQ(d.module->CheckToken(token), 0);
    P11Session outer;
    ASSERT_TRUE(token.OpenSession(outer));
    ASSERT_EQ(token.functions->C_Login(outer.handle(), CKU_USER, const_cast<unsigned char*>(kPinPromptBlock),
                                       sizeof kPinPromptBlock),
              CKR_OK);
    Tool({"queue", "cancel@login"});  // would be consulted only by a fresh login
    Bytes digest = Digest(EVP_sha384(), Bytes(3, 0x61));
    Bytes signature;
    EXPECT_EQ(Sign(token, "SHA384", record, digest, signature), 0);
    EXPECT_EQ(signature.size(), 128u);
}

TEST_F(Pkcs10Token, TemporaryKeyValue) {
    char out[260] = {};
    EXPECT_EQ(d->GMGetTemKey(out, 43), -300);
    ASSERT_EQ(d->GMGetTemKey(out, 44), 0);
    EXPECT_EQ(std::strlen(out), 44u);

    std::string seed = std::string("0123456789AB    ") + "temp-key";
    Bytes expected = Digest(EVP_sha256(), Bytes(seed.begin(), seed.end()));
    unsigned char text[45] = {};
    EVP_EncodeBlock(text, expected.data(), static_cast<int>(expected.size()));
    EXPECT_STREQ(out, reinterpret_cast<char*>(text));
}

}  // namespace
