// Slots, tokens, sessions, object search and attribute reads.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <memory>

#include "token_test_support.h"

namespace {

class DemoTokenTest : public DemoTokenFixture {};

TEST(SoftTokenSetup, WithoutStateDirectoryNoTokenIsSeen) {
    unsetenv("SOFTTOKEN_DIR");
    LoadedModule module;
    CK_FUNCTION_LIST* f = module.p11();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 99;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    CK_TOKEN_INFO info;
    EXPECT_EQ(f->C_GetTokenInfo(1, &info), CKR_SLOT_ID_INVALID);
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_SLOT_ID_INVALID);
}

TEST(SoftTokenSetup, InitializeOncePerProcessAndNothingBefore) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    LoadedModule module;
    CK_FUNCTION_LIST* f = module.p11();
    CK_ULONG count = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    CK_INFO info;
    EXPECT_EQ(f->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(f->C_GetInfo(nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_OK);
}

TEST(SoftTokenSetup, SlotListCountsPluggedTokensWithTwoCallPattern) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init", "--token", "1"}).exitCode, 0);
    ASSERT_EQ(dir.Tool({"init", "--token", "2"}).exitCode, 0);
    ASSERT_EQ(dir.Tool({"init", "--token", "3", "--slot", "7"}).exitCode, 0);
    ASSERT_EQ(dir.Tool({"unplug", "--token", "2"}).exitCode, 0);
    LoadedModule module;
    CK_FUNCTION_LIST* f = module.p11();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);

    CK_ULONG count = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 2u);
    CK_SLOT_ID slots[4] = {0};
    CK_ULONG small = 1;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, slots, &small), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small, 2u);
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    EXPECT_EQ(slots[0], 1u);
    EXPECT_EQ(slots[1], 7u);
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, slots, nullptr), CKR_ARGUMENTS_BAD);

    CK_ULONG all = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &all), CKR_OK);
    EXPECT_EQ(all, 3u);
    CK_SLOT_INFO slotInfo;
    ASSERT_EQ(f->C_GetSlotInfo(2, &slotInfo), CKR_OK);
    EXPECT_EQ(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);
    CK_TOKEN_INFO tokenInfo;
    EXPECT_EQ(f->C_GetTokenInfo(2, &tokenInfo), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(f->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f->C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_SLOT_ID_INVALID);

    // The tool's changes reach the running module at its next call.
    ASSERT_EQ(dir.Tool({"plug", "--token", "2"}).exitCode, 0);
    ASSERT_EQ(dir.Tool({"set-slot", "--token", "1", "--slot", "0"}).exitCode, 0);
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, slots, &(count = 4)), CKR_OK);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(slots[0], 0u);
    EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
}

TEST(SoftTokenSetup, DamagedTokenFileHidesTheTokenOnly) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init", "--token", "1"}).exitCode, 0);
    ASSERT_EQ(dir.Tool({"init", "--token", "2"}).exitCode, 0);
    WriteFileBytes(dir.Path() + "/token1.json", ToBytes("{\"number\": 1, \"objects\": [{\"handle\": -3}]"));
    LoadedModule module;
    ASSERT_EQ(module.p11()->C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slots[4];
    CK_ULONG count = 4;
    ASSERT_EQ(module.p11()->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(slots[0], 2u);
    EXPECT_EQ(dir.Tool({"list", "--token", "1"}).exitCode, 1);
}

TEST(SoftTokenSetup, TokenInfoCarriesSerialAndLabelAndCanBeMadeToFail) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init", "--serial", "ABC", "--label", "Teller"}).exitCode, 0);
    LoadedModule module;
    CK_FUNCTION_LIST* f = module.p11();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_TOKEN_INFO info;
    ASSERT_EQ(f->C_GetTokenInfo(1, &info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.serialNumber), 16), "ABC             ");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 6), "Teller");
    EXPECT_EQ(f->C_GetTokenInfo(1, nullptr), CKR_ARGUMENTS_BAD);

    ASSERT_EQ(dir.Tool({"set", "--token-info", "fail"}).exitCode, 0);
    EXPECT_EQ(f->C_GetTokenInfo(1, &info), CKR_DEVICE_ERROR);
}

TEST(SoftTokenSetup, DefaultSerialIsTheDocumentedOne) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    LoadedModule module;
    ASSERT_EQ(module.p11()->C_Initialize(nullptr), CKR_OK);
    CK_TOKEN_INFO info;
    ASSERT_EQ(module.p11()->C_GetTokenInfo(1, &info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.serialNumber), 16), "0123456789AB    ");
}

TEST_F(DemoTokenTest, SearchMatchesEveryTemplateAttributeByteExactly) {
    CK_ULONG certificateClass = CKO_CERTIFICATE;
    auto certificates = module->Find(session, {UlongAttribute(CKA_CLASS, certificateClass)});
    ASSERT_EQ(certificates.size(), 2u);
    EXPECT_LT(certificates[0], certificates[1]);  // creation order: RSA pair first

    Bytes pairId = module->Attribute(session, certificates[0], CKA_VENDOR_PAIR_ID);
    ASSERT_GE(pairId.size(), 2u);
    EXPECT_EQ(pairId.back(), 0);
    EXPECT_EQ(std::string(pairId.begin(), pairId.begin() + 5), "pair-");

    CK_ULONG publicClass = CKO_PUBLIC_KEY;
    auto withZero = module->Find(session, {UlongAttribute(CKA_CLASS, publicClass), BytesAttribute(CKA_VENDOR_PAIR_ID, pairId)});
    EXPECT_EQ(withZero.size(), 1u);
    Bytes withoutZero(pairId.begin(), pairId.end() - 1);
    EXPECT_TRUE(module->Find(session, {BytesAttribute(CKA_VENDOR_PAIR_ID, withoutZero)}).empty());

    CK_ULONG sm2 = CKK_VENDOR_SM2;
    EXPECT_EQ(module->Find(session, {UlongAttribute(CKA_KEY_TYPE, sm2)}).size(), 2u);  // public and private
    EXPECT_EQ(module->Find(session, {}).size(), 6u);
}

TEST_F(DemoTokenTest, SearchHonoursMaxCountAndOperationState) {
    CK_OBJECT_HANDLE handles[6];
    CK_ULONG count = 0;
    EXPECT_EQ(f->C_FindObjects(session, handles, 1, &count), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(f->C_FindObjectsInit(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(f->C_FindObjectsInit(session, nullptr, 0), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(f->C_FindObjects(session, handles, 4, &count), CKR_OK);
    EXPECT_EQ(count, 4u);
    ASSERT_EQ(f->C_FindObjects(session, handles, 4, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(f->C_FindObjects(session, handles, 4, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(f->C_FindObjects(session, handles, 4, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_FindObjects(session, nullptr, 4, &count), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
    EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OPERATION_NOT_INITIALIZED);

    CK_ATTRIBUTE broken{CKA_LABEL, nullptr, 5};
    EXPECT_EQ(f->C_FindObjectsInit(session, &broken, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_FindObjectsInit(session, nullptr, 1), CKR_ARGUMENTS_BAD);
}

TEST_F(DemoTokenTest, AttributeReadsFollowTheStandardRules) {
    CK_OBJECT_HANDLE rsaPublic = module->KeyAt(session, CKO_PUBLIC_KEY, CKK_RSA, 0);
    ASSERT_NE(rsaPublic, 0u);

    CK_ATTRIBUTE modulus{CKA_MODULUS, nullptr, 0};
    ASSERT_EQ(f->C_GetAttributeValue(session, rsaPublic, &modulus, 1), CKR_OK);
    EXPECT_EQ(modulus.ulValueLen, 256u);
    Bytes small(255);
    modulus.pValue = small.data();
    modulus.ulValueLen = small.size();
    EXPECT_EQ(f->C_GetAttributeValue(session, rsaPublic, &modulus, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(modulus.ulValueLen, CK_UNAVAILABLE_INFORMATION);

    // Every entry is filled even when one of them fails.
    Bytes format(2);
    CK_ATTRIBUTE mixed[2] = {{CKA_SUBJECT, nullptr, 0}, {CKA_VENDOR_TEXT_FORMAT, format.data(), 2}};
    EXPECT_EQ(f->C_GetAttributeValue(session, rsaPublic, mixed, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(mixed[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(std::string(format.begin(), format.end()), "02");

    CK_OBJECT_HANDLE rsaPrivate = module->KeyAt(session, CKO_PRIVATE_KEY, CKK_RSA, 0);
    CK_ATTRIBUTE secret{CKA_PRIVATE_EXPONENT, nullptr, 0};
    EXPECT_EQ(f->C_GetAttributeValue(session, rsaPrivate, &secret, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(secret.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(module->Attribute(session, rsaPrivate, CKA_SENSITIVE), Bytes{CK_TRUE});

    Bytes point = module->Attribute(session, module->KeyAt(session, CKO_PUBLIC_KEY, CKK_VENDOR_SM2, 0), CKA_MODULUS);
    ASSERT_EQ(point.size(), 65u);
    EXPECT_EQ(point[0], 0x04);

    EXPECT_EQ(f->C_GetAttributeValue(session, 0xDEAD, &secret, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(f->C_GetAttributeValue(session, rsaPublic, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_GetAttributeValue(0xBAD, rsaPublic, &secret, 1), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(DemoTokenTest, CertificateAttributesDescribeItsValue) {
    CK_ULONG certificateClass = CKO_CERTIFICATE;
    auto certificates = module->Find(session, {UlongAttribute(CKA_CLASS, certificateClass)});
    ASSERT_EQ(certificates.size(), 2u);
    Bytes der = module->Attribute(session, certificates[1], CKA_VALUE);
    const unsigned char* cursor = der.data();
    X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
    ASSERT_NE(certificate, nullptr);
    unsigned char* subject = nullptr;
    int subjectLength = i2d_X509_NAME(X509_get_subject_name(certificate), &subject);
    EXPECT_EQ(module->Attribute(session, certificates[1], CKA_SUBJECT), Bytes(subject, subject + subjectLength));
    OPENSSL_free(subject);
    char line[256];
    X509_NAME_oneline(X509_get_subject_name(certificate), line, sizeof line);
    EXPECT_STREQ(line, "/C=CN/O=Demo Bank/CN=Demo SM2 User");
    X509_free(certificate);
    CK_ULONG type = 0;
    CK_ATTRIBUTE typeAttribute{CKA_CERTIFICATE_TYPE, &type, sizeof type};
    ASSERT_EQ(f->C_GetAttributeValue(session, certificates[1], &typeAttribute, 1), CKR_OK);
    EXPECT_EQ(type, CKC_X_509);
}

TEST_F(DemoTokenTest, DestroyedObjectsStayGoneForTheNextProcess) {
    CK_ULONG certificateClass = CKO_CERTIFICATE;
    auto certificates = module->Find(session, {UlongAttribute(CKA_CLASS, certificateClass)});
    ASSERT_EQ(certificates.size(), 2u);
    EXPECT_EQ(f->C_DestroyObject(session, certificates[0]), CKR_OK);
    EXPECT_EQ(f->C_DestroyObject(session, certificates[0]), CKR_OBJECT_HANDLE_INVALID);

    LoadedModule next;
    CK_SESSION_HANDLE nextSession = 0;
    ASSERT_EQ(next.InitializeAndOpen(nextSession), CKR_OK);
    auto remaining = next.Find(nextSession, {UlongAttribute(CKA_CLASS, certificateClass)});
    ASSERT_EQ(remaining.size(), 1u);
    EXPECT_EQ(remaining[0], certificates[1]);  // handles are stable across loads
}

TEST_F(DemoTokenTest, UnpluggedTokenEndsItsSessions) {
    ASSERT_EQ(dir.Tool({"unplug"}).exitCode, 0);
    CK_ATTRIBUTE attribute{CKA_CLASS, nullptr, 0};
    EXPECT_EQ(f->C_FindObjectsInit(session, &attribute, 0), CKR_DEVICE_REMOVED);
    EXPECT_EQ(f->C_CloseSession(session), CKR_OK);
}

TEST_F(DemoTokenTest, SessionsAreCountedInProcessAndInTheDirectory) {
    EXPECT_EQ(module->OpenSessionCount(), 1u);
    CK_SESSION_HANDLE second = 0;
    ASSERT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &second), CKR_OK);
    EXPECT_NE(second, session);
    EXPECT_EQ(module->OpenSessionCount(), 2u);
    EXPECT_EQ(dir.Tool({"sessions"}).out, "2\n");
    EXPECT_EQ(f->C_CloseSession(second), CKR_OK);
    EXPECT_EQ(f->C_CloseSession(second), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(dir.Tool({"sessions"}).out, "1\n");
    ASSERT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &second), CKR_OK);
    EXPECT_EQ(f->C_CloseAllSessions(1), CKR_OK);
    EXPECT_EQ(module->OpenSessionCount(), 0u);
    EXPECT_EQ(dir.Tool({"sessions"}).out, "0\n");

    // A new process starts from 0 whatever the last one left open.
    ASSERT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &second), CKR_OK);
    LoadedModule next;
    ASSERT_EQ(next.p11()->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(dir.Tool({"sessions"}).out, "0\n");
}

TEST_F(DemoTokenTest, OpenSessionRejectsBadArguments) {
    CK_SESSION_HANDLE other = 0;
    EXPECT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_OpenSession(1, CKF_RW_SESSION, nullptr, nullptr, &other), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(f->C_CloseAllSessions(42), CKR_SLOT_ID_INVALID);
}

TEST_F(DemoTokenTest, UnsupportedFunctionsSaySo) {
    CK_MECHANISM_TYPE mechanisms[4];
    CK_ULONG count = 4;
    EXPECT_EQ(f->C_GetMechanismList(1, mechanisms, &count), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(f->C_GenerateKeyPair(session, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr),
              CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(f->C_SeedRandom(session, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
}

}  // namespace
