// Fault injection and call counting.
#include <gtest/gtest.h>

#include <cstring>

#include "token_test_support.h"

namespace {

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(dir.Tool({"init"}).exitCode, 0); }

    void Plan(const std::string& call, const std::string& rv) {
        ASSERT_EQ(dir.Tool({"fault", "--call", call, "--rv", rv}).exitCode, 0);
    }

    SoftTokenDir dir;
};

TEST_F(FaultTest, TheChosenCallAnswersInsteadOfWorking) {
    Plan("2", "0x30");
    LoadedModule module;
    CK_FUNCTION_LIST* f = module.p11();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 77;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_DEVICE_ERROR);
    EXPECT_EQ(count, 77u);  // untouched
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(dir.Tool({"calls"}).out, "3\n");

    // The plan applies to every process, each counting from its own start.
    LoadedModule next;
    ASSERT_EQ(next.p11()->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(next.p11()->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_DEVICE_ERROR);
}

TEST_F(FaultTest, AFailedInitializeLeavesTheModuleUninitialised) {
    Plan("1", "0x5");
    LoadedModule module;
    CK_FUNCTION_LIST* f = module.p11();
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_GENERAL_ERROR);
    CK_ULONG count = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_OK);
}

TEST_F(FaultTest, AuxiliaryAndUnsupportedCallsAreCountedToo) {
    Plan("3", "0xA3");
    LoadedModule module;
    CK_FUNCTION_LIST* f = module.p11();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 4;
    EXPECT_EQ(f->C_GetMechanismList(1, nullptr, &count), CKR_FUNCTION_NOT_SUPPORTED);
    char version[100];
    EXPECT_EQ(module.Aux<E_GetModuleVersion_t>(AUX_GET_MODULE_VERSION)(version), CKR_VENDOR_INITCARD_TIMEOUT);
    EXPECT_EQ(dir.Tool({"calls"}).out, "3\n");

    ASSERT_EQ(dir.Tool({"fault", "--clear"}).exitCode, 0);
    LoadedModule next;
    ASSERT_EQ(next.p11()->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(next.p11()->C_GetMechanismList(1, nullptr, &count), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(next.Aux<E_GetModuleVersion_t>(AUX_GET_MODULE_VERSION)(version), CKR_OK);
}

// A whole signing run with a fault at each of its calls in turn: the
// planned call fails with the planned code and nothing else is disturbed.
TEST_F(FaultTest, EveryCallOfASigningRunCanBeMadeToFail) {
    InstallDemo(dir);
    auto run = [](LoadedModule& module) {
        std::vector<CK_RV> results;
        CK_FUNCTION_LIST* f = module.p11();
        results.push_back(f->C_Initialize(nullptr));
        CK_SESSION_HANDLE session = 0;
        results.push_back(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &session));
        Bytes pin = kPinPromptBlock;
        results.push_back(f->C_Login(session, CKU_USER, pin.data(), pin.size()));
        CK_ULONG privateClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE templ = UlongAttribute(CKA_CLASS, privateClass);
        results.push_back(f->C_FindObjectsInit(session, &templ, 1));
        CK_OBJECT_HANDLE key = 0;
        CK_ULONG found = 0;
        results.push_back(f->C_FindObjects(session, &key, 1, &found));
        results.push_back(f->C_FindObjectsFinal(session));
        CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
        results.push_back(f->C_SignInit(session, &mechanism, key));
        unsigned char data[3] = {1, 2, 3};
        unsigned char signature[1024];
        CK_ULONG length = sizeof signature;
        results.push_back(f->C_Sign(session, data, sizeof data, signature, &length));
        results.push_back(f->C_CloseSession(session));
        return results;
    };
    LoadedModule clean;
    std::vector<CK_RV> normal = run(clean);
    ASSERT_EQ(normal, std::vector<CK_RV>(normal.size(), CKR_OK));
    ASSERT_EQ(dir.Tool({"calls"}).out, std::to_string(normal.size()) + "\n");

    for (size_t call = 1; call <= normal.size(); ++call) {
        SCOPED_TRACE(call);
        Plan(std::to_string(call), "0x6");
        LoadedModule module;
        std::vector<CK_RV> results = run(module);
        EXPECT_EQ(results[call - 1], CKR_FUNCTION_FAILED);
    }
}

TEST_F(FaultTest, ToolValidatesThePlan) {
    EXPECT_EQ(dir.Tool({"fault", "--call", "0", "--rv", "0x30"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"fault", "--call", "2", "--rv", "thirty"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"fault", "--call", "2"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"fault", "--clear"}).exitCode, 0);
    EXPECT_EQ(dir.Tool({"calls"}).out, "0\n");
}

}  // namespace
