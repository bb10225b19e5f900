#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "device/modules/recorded_device.h"
#include "device/p11_session.h"

namespace {

using Waits = std::vector<unsigned int>;
const Waits kFiveWaits{1, 1, 1, 1, 1};

TEST(ModuleLoading, MissingModuleIsNotInstalledEverywhere) {
    RecordedDevice d("/nonexistent/libtoken.so");
    EXPECT_EQ(d->GetFuncList(), -101);
    EXPECT_EQ(d->Init(), -101);
    unsigned int count = 7;
    EXPECT_EQ(d->GetTokenCount(&count), -101);
    EXPECT_EQ(count, 7u);
    EXPECT_FALSE(d->CheckToken());
    EXPECT_EQ(d->GetLastError(), -101);
    EXPECT_EQ(d->GetSlot(), 0u);
    EXPECT_TRUE(d.waits.empty());
}

TEST(ModuleLoading, UnresolvedSymbolsRefuseTheModule) {
    // Bound immediately, a module that needs a missing function never loads.
    RecordedDevice d(MODULE_UNRESOLVED);
    EXPECT_EQ(d->GetFuncList(), -101);
    EXPECT_EQ(d->RunTokenRule(), -101);
}

TEST(ModuleLoading, ModuleWithoutAuxiliaryListIsRefused) {
    RecordedDevice d(MODULE_NO_AUX);
    EXPECT_EQ(d->GetFuncList(), -300);
    EXPECT_EQ(d->Functions(), nullptr);
    EXPECT_EQ(d->AuxFunctions(), nullptr);
    EXPECT_EQ(d->GetTokenCount(nullptr), -101);
    EXPECT_FALSE(d->CheckToken());
    EXPECT_EQ(d->GetLastError(), -101);
    // Operations that only load the module report the loading failure itself.
    char info[1025] = {};
    int length = 1024;
    EXPECT_EQ(d->getClientInfo(info, &length), -300);
    EXPECT_EQ(d->setIPType(1), -300);
}

TEST(ModuleLoading, ClearForgetsTheModuleAndUsesGbkAfterwards) {
    RecordedDevice d;
    EXPECT_EQ(d->GetCharsetFlag(), 1);
    EXPECT_TRUE(d->GetExtInfoFlag());
    ASSERT_EQ(d->GetFuncList(), 0);
    ASSERT_NE(d->Functions(), nullptr);
    EXPECT_EQ(d->Clear(), 0);
    EXPECT_EQ(d->GetCharsetFlag(), 0);
    EXPECT_EQ(d->Functions(), nullptr);
    EXPECT_EQ(d->AuxFunctions(), nullptr);
    EXPECT_EQ(d->GetFuncList(), 0);  // and loads again on demand
}

// A private copy of the module is a module this process has never initialised.
TEST(ModuleLoading, FailedLoadIsRetriedAndOnlyTheFirstInitialisePauses) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    const std::filesystem::path copy = std::filesystem::path(dir.Path()) / "libcopy.so";
    RecordedDevice d(copy.string());

    EXPECT_EQ(d->RunTokenRule(), -101);
    std::filesystem::copy_file(SoftTokenDir::ModulePath(), copy);
    EXPECT_EQ(d->RunTokenRule(), 0);
    EXPECT_EQ(d.waits, Waits{3});
    EXPECT_EQ(d->RunTokenRule(), 0);
    EXPECT_EQ(d->Init(), 0);
    EXPECT_EQ(d.waits, Waits{3});
}

TEST(LoginMapping, FixedCodesNeedNoModule) {
    RecordedDevice d("/nonexistent/libtoken.so");
    EXPECT_EQ(d->MapLoginResult(CKR_OK, -352), 0);
    EXPECT_EQ(d->MapLoginResult(CKR_USER_ALREADY_LOGGED_IN, -352), 0);
    EXPECT_EQ(d->MapLoginResult(CKR_CANCEL, -352), -100);
    EXPECT_EQ(d->MapLoginResult(CKR_PIN_EXPIRED, -352), -105);
    EXPECT_EQ(d->MapLoginResult(CKR_VENDOR_USER_TIMEOUT, -352), -105);
    EXPECT_EQ(d->MapLoginResult(CKR_PIN_LOCKED, -352), -221);
    EXPECT_EQ(d->MapLoginResult(CKR_DEVICE_ERROR, -352), -352);
    EXPECT_EQ(d->MapLoginResult(CKR_GENERAL_ERROR, -404), -404);
    // Without E_GetPinInfo nothing says tries are left.
    EXPECT_EQ(d->MapLoginResult(CKR_PIN_INCORRECT, -352), -221);
}

class Discovery : public SoftTokenTest {
protected:
    void SetUp() override {
        SoftTokenTest::SetUp();
        Tool({"init"});
    }
    RecordedDevice d;
};

TEST_F(Discovery, SingleTokenIsSelectedAtOnce) {
    unsigned int count = 0;
    EXPECT_EQ(d->GetTokenCount(&count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(d->GetSlot(), 1u);
    EXPECT_TRUE(d->CheckToken());
    EXPECT_EQ(d->GetLastError(), 0);
    EXPECT_TRUE(d->GetExtInfoFlag());
    EXPECT_TRUE(d.waits.empty());
}

TEST_F(Discovery, ExtendedInfoFlagFollowsTheToken) {
    Tool({"set", "--ext-info", "off"});
    ASSERT_TRUE(d->CheckToken());
    EXPECT_FALSE(d->GetExtInfoFlag());
    Tool({"set", "--ext-info", "on"});
    ASSERT_TRUE(d->CheckToken());
    EXPECT_TRUE(d->GetExtInfoFlag());
}

TEST_F(Discovery, NoTokenAfterFiveWaits) {
    Tool({"unplug"});
    unsigned int count = 9;
    EXPECT_EQ(d->GetTokenCount(&count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(d.waits, kFiveWaits);
    EXPECT_FALSE(d->CheckToken());
    EXPECT_EQ(d->GetLastError(), -102);
    EXPECT_EQ(d->GetSlot(), 0u);
}

TEST_F(Discovery, TokenPluggedInWhileWaitingIsUsed) {
    Tool({"unplug"});
    d.onWait = [this](size_t waitNumber) {
        if (waitNumber == 2) Tool({"plug"});
    };
    EXPECT_TRUE(d->CheckToken());
    EXPECT_EQ(d.waits, (Waits{1, 1}));
    EXPECT_EQ(d->GetSlot(), 1u);
}

TEST_F(Discovery, TokenPluggedInAgainIsFoundByTheNextCommand) {
    ASSERT_TRUE(d->CheckToken());
    Tool({"unplug"});
    EXPECT_EQ(d->RunTokenRule(), -102);
    EXPECT_EQ(d->GetSlot(), 0u);  // selection never outlives a failed discovery
    Tool({"plug"});
    EXPECT_EQ(d->RunTokenRule(), 0);
    EXPECT_EQ(d->GetSlot(), 1u);
}

TEST_F(Discovery, SeveralTokensAreRefusedWithoutWaiting) {
    Tool({"init", "--token", "2"});
    unsigned int count = 0;
    EXPECT_EQ(d->GetTokenCount(&count), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(d->GetSlot(), 0u);
    EXPECT_EQ(d->RunTokenRule(), -104);
    EXPECT_TRUE(d.waits.empty());
}

TEST_F(Discovery, TokenInSlotZeroCannotBeConnected) {
    Tool({"set-slot", "--slot", "0"});
    unsigned int count = 0;
    EXPECT_EQ(d->GetTokenCount(&count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_FALSE(d->CheckToken());
    EXPECT_EQ(d->GetLastError(), -103);
}

TEST_F(Discovery, TokenWithoutInformationIsNotCounted) {
    Tool({"set", "--token-info", "fail"});
    unsigned int count = 9;
    EXPECT_EQ(d->GetTokenCount(&count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(d->RunTokenRule(), -102);
    EXPECT_TRUE(d.waits.empty());  // the slot list did show a token
}

TEST_F(Discovery, SessionIsClosedWhenItsGuardGoes) {
    ASSERT_TRUE(d->CheckToken());
    {
        P11Session session;
        ASSERT_TRUE(d->OpenSession(session));
        EXPECT_EQ(PinnedSoftToken::Instance().OpenSessions(), 1UL);
    }
    EXPECT_EQ(PinnedSoftToken::Instance().OpenSessions(), 0UL);
    Tool({"unplug"});
    P11Session session;
    EXPECT_FALSE(d->OpenSession(session));
}

TEST_F(Discovery, WrongPinIsReportedWithTheTriesLeft) {
    Tool({"set-tries", "--tries", "5"});
    ASSERT_TRUE(d->CheckToken());
    EXPECT_EQ(d->MapLoginResult(CKR_PIN_INCORRECT, -352), -205);
    EXPECT_EQ(d->MapLoginResult(CKR_PIN_INVALID, -352), -205);
    Tool({"set-tries", "--tries", "0"});
    EXPECT_EQ(d->MapLoginResult(CKR_PIN_INCORRECT, -352), -221);
}

}  // namespace
