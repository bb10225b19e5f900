// Login, digests and signatures, checked with OpenSSL.
#include <gtest/gtest.h>

#include <memory>

#include "token_test_support.h"

namespace {

class SigningTest : public DemoTokenFixture {
protected:
    void SetUp() override {
        DemoTokenFixture::SetUp();
        if (HasFatalFailure()) return;
        rsaPrivate = module->KeyAt(session, CKO_PRIVATE_KEY, CKK_RSA, 0);
        sm2Private = module->KeyAt(session, CKO_PRIVATE_KEY, CKK_VENDOR_SM2, 0);
        CK_OBJECT_HANDLE rsaPublic = module->KeyAt(session, CKO_PUBLIC_KEY, CKK_RSA, 0);
        modulus = module->Attribute(session, rsaPublic, CKA_MODULUS);
        exponent = module->Attribute(session, rsaPublic, CKA_PUBLIC_EXPONENT);
        point = module->Attribute(session, module->KeyAt(session, CKO_PUBLIC_KEY, CKK_VENDOR_SM2, 0), CKA_MODULUS);
        ASSERT_NE(rsaPrivate, 0u);
        ASSERT_NE(sm2Private, 0u);
    }

    CK_OBJECT_HANDLE rsaPrivate = 0;
    CK_OBJECT_HANDLE sm2Private = 0;
    Bytes modulus, exponent, point;
    const Bytes message = ToBytes("110000000039210000000002AB220000000001C230000000000");
};

TEST_F(SigningTest, LoginTakesThePromptBlockOnce) {
    Bytes wrong = kPinPromptBlock;
    wrong[5] = 'x';
    EXPECT_EQ(f->C_Login(session, CKU_USER, wrong.data(), wrong.size()), CKR_PIN_INVALID);
    Bytes shortBlock(kPinPromptBlock.begin(), kPinPromptBlock.end() - 1);
    EXPECT_EQ(f->C_Login(session, CKU_USER, shortBlock.data(), shortBlock.size()), CKR_PIN_INVALID);
    EXPECT_EQ(f->C_Login(session, CKU_USER, nullptr, 11), CKR_ARGUMENTS_BAD);
    Bytes pin = kPinPromptBlock;
    EXPECT_EQ(f->C_Login(session, CKU_SO, pin.data(), pin.size()), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(module->Login(session), CKR_OK);
    EXPECT_EQ(module->Login(session), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(f->C_Logout(session), CKR_OK);
    EXPECT_EQ(f->C_Logout(session), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(SigningTest, LoginEndsWithTheLastSessionOfTheToken) {
    CK_SESSION_HANDLE second = 0;
    ASSERT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &second), CKR_OK);
    ASSERT_EQ(module->Login(session), CKR_OK);
    EXPECT_EQ(module->Login(second), CKR_USER_ALREADY_LOGGED_IN);  // shared by the process's sessions
    ASSERT_EQ(f->C_CloseSession(session), CKR_OK);
    EXPECT_EQ(module->Login(second), CKR_USER_ALREADY_LOGGED_IN);
    ASSERT_EQ(f->C_CloseSession(second), CKR_OK);
    ASSERT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    EXPECT_EQ(module->Login(session), CKR_OK);
}

TEST_F(SigningTest, RsaSignsEveryHashWithPkcs1) {
    ASSERT_EQ(module->Login(session), CKR_OK);
    struct Case {
        CK_MECHANISM_TYPE mechanism;
        const char* digest;
    };
    for (const Case& c : {Case{CKM_MD5_RSA_PKCS, "MD5"}, Case{CKM_SHA1_RSA_PKCS, "SHA1"},
                          Case{CKM_SHA256_RSA_PKCS, "SHA256"}, Case{CKM_SHA384_RSA_PKCS, "SHA384"},
                          Case{CKM_SHA512_RSA_PKCS, "SHA512"}}) {
        SCOPED_TRACE(c.digest);
        Bytes signature;
        ASSERT_EQ(module->Sign(session, c.mechanism, rsaPrivate, message, signature), CKR_OK);
        EXPECT_EQ(signature.size(), 256u);
        EXPECT_TRUE(VerifyRsaPkcs1(modulus, exponent, c.digest, HashWith(c.digest, message), signature));
    }
    Bytes signature;
    ASSERT_EQ(module->Sign(session, CKM_VENDOR_SM2_SM3, rsaPrivate, message, signature), CKR_OK);
    EXPECT_EQ(RecoverRsaPkcs1(modulus, exponent, signature), Sm3DigestInfo(HashWith("SM3", message)));
}

TEST_F(SigningTest, Sm2SignsZAndMessageWithSm3) {
    ASSERT_EQ(module->Login(session), CKR_OK);
    Bytes data = Sm2Z(point);
    data.insert(data.end(), message.begin(), message.end());
    Bytes signature;
    ASSERT_EQ(module->Sign(session, CKM_VENDOR_SM2_SM3, sm2Private, data, signature), CKR_OK);
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_TRUE(VerifySm2Raw(point, HashWith("SM3", data), signature));
    EXPECT_TRUE(VerifySm2Message(point, message, signature));
}

TEST_F(SigningTest, SignFollowsTheLengthAndStateRules) {
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    Bytes data = message;
    Bytes signature(512);
    CK_ULONG length = 0;
    EXPECT_EQ(f->C_Sign(session, data.data(), data.size(), signature.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(f->C_SignInit(session, &mechanism, rsaPrivate), CKR_OK);
    EXPECT_EQ(f->C_SignInit(session, &mechanism, rsaPrivate), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(f->C_Sign(session, data.data(), data.size(), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 256u);
    length = 255;
    EXPECT_EQ(f->C_Sign(session, data.data(), data.size(), signature.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 256u);
    // Without login the operation ends.
    EXPECT_EQ(f->C_Sign(session, data.data(), data.size(), signature.data(), &length), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(f->C_Sign(session, data.data(), data.size(), signature.data(), &length), CKR_OPERATION_NOT_INITIALIZED);

    ASSERT_EQ(module->Login(session), CKR_OK);
    ASSERT_EQ(f->C_SignInit(session, &mechanism, rsaPrivate), CKR_OK);
    EXPECT_EQ(f->C_Sign(session, nullptr, 5, signature.data(), &length), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(f->C_SignInit(session, &mechanism, rsaPrivate), CKR_OK);
    EXPECT_EQ(f->C_Sign(session, data.data(), data.size(), signature.data(), nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(SigningTest, SignInitRejectsUnsuitableKeysAndMechanisms) {
    CK_MECHANISM rsaMechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_MECHANISM unknown{CKM_RSA_PKCS, nullptr, 0};
    CK_OBJECT_HANDLE rsaPublic = module->KeyAt(session, CKO_PUBLIC_KEY, CKK_RSA, 0);
    EXPECT_EQ(f->C_SignInit(session, &rsaMechanism, sm2Private), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(f->C_SignInit(session, &unknown, rsaPrivate), CKR_MECHANISM_INVALID);
    EXPECT_EQ(f->C_SignInit(session, &rsaMechanism, rsaPublic), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(f->C_SignInit(session, &rsaMechanism, 0x7777), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(f->C_SignInit(session, nullptr, rsaPrivate), CKR_ARGUMENTS_BAD);
}

TEST_F(SigningTest, Sm2DataMustHoldTheZValue) {
    ASSERT_EQ(module->Login(session), CKR_OK);
    Bytes signature;
    EXPECT_EQ(module->Sign(session, CKM_VENDOR_SM2_SM3, sm2Private, Bytes(31, 1), signature), CKR_DATA_LEN_RANGE);
}

TEST_F(SigningTest, TemporaryKeySignsTheGivenDigest) {
    ToolResult added = dir.Tool({"add-key", "--type", "rsa1024", "--no-cert"});
    ASSERT_EQ(added.exitCode, 0);
    CK_OBJECT_HANDLE temporary = module->KeyAt(session, CKO_PRIVATE_KEY, CKK_RSA, 1);
    CK_OBJECT_HANDLE temporaryPublic = module->KeyAt(session, CKO_PUBLIC_KEY, CKK_RSA, 1);
    ASSERT_NE(temporary, 0u);
    Bytes pairId = module->Attribute(session, temporary, CKA_VENDOR_PAIR_ID);
    EXPECT_EQ(std::string(pairId.begin(), pairId.end() - 1), LastLine(added.out));
    ASSERT_EQ(module->Login(session), CKR_OK);

    Bytes digest = HashWith("SHA256", message);
    Bytes signature;
    ASSERT_EQ(module->Sign(session, CKM_SHA256_RSA_PKCS, temporary, digest, signature), CKR_OK);
    EXPECT_EQ(signature.size(), 128u);
    EXPECT_TRUE(VerifyRsaPkcs1(module->Attribute(session, temporaryPublic, CKA_MODULUS),
                               module->Attribute(session, temporaryPublic, CKA_PUBLIC_EXPONENT), "SHA256", digest,
                               signature));
    EXPECT_EQ(module->Sign(session, CKM_SHA256_RSA_PKCS, temporary, message, signature), CKR_DATA_LEN_RANGE);
}

TEST_F(SigningTest, DigestsMatchOpenSsl) {
    struct Case {
        CK_MECHANISM_TYPE mechanism;
        const char* digest;
    };
    for (const Case& c : {Case{CKM_MD5, "MD5"}, Case{CKM_SHA_1, "SHA1"}, Case{CKM_SHA256, "SHA256"},
                          Case{CKM_SHA384, "SHA384"}, Case{CKM_SHA512, "SHA512"}, Case{CKM_VENDOR_SM3, "SM3"}}) {
        SCOPED_TRACE(c.digest);
        CK_MECHANISM mechanism{c.mechanism, nullptr, 0};
        ASSERT_EQ(f->C_DigestInit(session, &mechanism), CKR_OK);
        Bytes data = message;
        CK_ULONG length = 0;
        ASSERT_EQ(f->C_Digest(session, data.data(), data.size(), nullptr, &length), CKR_OK);
        Bytes digest(length);
        CK_ULONG small = length - 1;
        EXPECT_EQ(f->C_Digest(session, data.data(), data.size(), digest.data(), &small), CKR_BUFFER_TOO_SMALL);
        ASSERT_EQ(f->C_Digest(session, data.data(), data.size(), digest.data(), &length), CKR_OK);
        EXPECT_EQ(digest, HashWith(c.digest, message));
    }
    CK_MECHANISM unknown{CKM_SHA224, nullptr, 0};
    EXPECT_EQ(f->C_DigestInit(session, &unknown), CKR_MECHANISM_INVALID);
}

TEST_F(SigningTest, RandomFillsTheBuffer) {
    Bytes first(64, 0), second(64, 0);
    ASSERT_EQ(f->C_GenerateRandom(session, first.data(), first.size()), CKR_OK);
    ASSERT_EQ(f->C_GenerateRandom(session, second.data(), second.size()), CKR_OK);
    EXPECT_NE(first, second);
    EXPECT_EQ(f->C_GenerateRandom(session, nullptr, 4), CKR_ARGUMENTS_BAD);
}

}  // namespace
