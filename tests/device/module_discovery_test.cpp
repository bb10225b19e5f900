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
    EXPECT_EQ(d.module->GetFuncList(), -101);
    EXPECT_EQ(d.module->Init(), -101);
    unsigned int count = 7;
    CK_SLOT_ID slot = 9;
    EXPECT_EQ(d.module->GetTokenCount(&count, &slot), -101);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(slot, 0u);
    SelectedToken token;
    EXPECT_EQ(d.module->CheckToken(token), -101);
    EXPECT_EQ(token.slot, 0u);
    EXPECT_TRUE(d.waits.empty());
}

TEST(ModuleLoading, UnresolvedSymbolsRefuseTheModule) {
    // Bound immediately, a module that needs a missing function never loads.
    RecordedDevice d(MODULE_UNRESOLVED);
    EXPECT_EQ(d.module->GetFuncList(), -101);
    SelectedToken token;
    EXPECT_EQ(d.module->CheckToken(token), -101);
}

TEST(ModuleLoading, ModuleWithoutAuxiliaryListIsRefused) {
    RecordedDevice d(MODULE_NO_AUX);
    EXPECT_EQ(d.module->GetFuncList(), -300);
    EXPECT_EQ(d.module->Functions(), nullptr);
    EXPECT_EQ(d.module->AuxFunctions(), nullptr);
    EXPECT_EQ(d.module->GetTokenCount(nullptr), -101);
    SelectedToken token;
    EXPECT_EQ(d.module->CheckToken(token), -101);
    // Operations that only load the module report the loading failure itself.
    char info[1025] = {};
    int length = 1024;
    EXPECT_EQ(d->getClientInfo(info, &length), -300);
    EXPECT_EQ(d->setIPType(1), -300);
}

TEST(ModuleLoading, ClearForgetsTheModuleAndUsesGbkAfterwards) {
    RecordedDevice d;
    ModuleConnection& module = *d.module;
    EXPECT_EQ(module.GetCharsetFlag(), 1);
    EXPECT_TRUE(module.GetExtInfoFlag());
    ASSERT_EQ(module.GetFuncList(), 0);
    ASSERT_NE(module.Functions(), nullptr);
    EXPECT_EQ(module.Clear(), 0);
    EXPECT_EQ(module.GetCharsetFlag(), 0);
    EXPECT_EQ(module.Functions(), nullptr);
    EXPECT_EQ(module.AuxFunctions(), nullptr);
    EXPECT_EQ(module.GetFuncList(), 0);  // and loads again on demand
}

// A private copy of the module is a module this process has never initialised.
TEST(ModuleLoading, FailedLoadIsRetriedAndOnlyTheFirstInitialisePauses) {
    SoftTokenDir dir;
    ASSERT_EQ(dir.Tool({"init"}).exitCode, 0);
    const std::filesystem::path copy = std::filesystem::path(dir.Path()) / "libcopy.so";
    RecordedDevice d(copy.string());

    SelectedToken token;
    EXPECT_EQ(d.module->CheckToken(token), -101);
    std::filesystem::copy_file(SoftTokenDir::ModulePath(), copy);
    EXPECT_EQ(d.module->CheckToken(token), 0);
    EXPECT_EQ(d.waits, Waits{3});
    EXPECT_EQ(d.module->CheckToken(token), 0);
    EXPECT_EQ(d.module->Init(), 0);
    EXPECT_EQ(d.waits, Waits{3});
}

TEST(LoginMapping, FixedCodesNeedNoModule) {
    const SelectedToken d;  // no module
    EXPECT_EQ(d.MapLoginResult(CKR_OK, -352), 0);
    EXPECT_EQ(d.MapLoginResult(CKR_USER_ALREADY_LOGGED_IN, -352), 0);
    EXPECT_EQ(d.MapLoginResult(CKR_CANCEL, -352), -100);
    EXPECT_EQ(d.MapLoginResult(CKR_PIN_EXPIRED, -352), -105);
    EXPECT_EQ(d.MapLoginResult(CKR_VENDOR_USER_TIMEOUT, -352), -105);
    EXPECT_EQ(d.MapLoginResult(CKR_PIN_LOCKED, -352), -221);
    EXPECT_EQ(d.MapLoginResult(CKR_DEVICE_ERROR, -352), -352);
    EXPECT_EQ(d.MapLoginResult(CKR_GENERAL_ERROR, -404), -404);
    // Without E_GetPinInfo nothing says tries are left.
    EXPECT_EQ(d.MapLoginResult(CKR_PIN_INCORRECT, -352), -221);
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
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(d.module->GetTokenCount(&count, &slot), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(slot, 1u);
    SelectedToken token;
    EXPECT_EQ(d.module->CheckToken(token), 0);
    EXPECT_EQ(token.slot, 1u);
    EXPECT_EQ(token.functions, d.module->Functions());
    EXPECT_EQ(token.aux, d.module->AuxFunctions());
    EXPECT_TRUE(d.module->GetExtInfoFlag());
    EXPECT_TRUE(d.waits.empty());
}

TEST_F(Discovery, ExtendedInfoFlagFollowsTheToken) {
    SelectedToken token;
    Tool({"set", "--ext-info", "off"});
    ASSERT_EQ(d.module->CheckToken(token), 0);
    EXPECT_FALSE(d.module->GetExtInfoFlag());
    Tool({"set", "--ext-info", "on"});
    ASSERT_EQ(d.module->CheckToken(token), 0);
    EXPECT_TRUE(d.module->GetExtInfoFlag());
}

TEST_F(Discovery, NoTokenAfterFiveWaits) {
    Tool({"unplug"});
    unsigned int count = 9;
    CK_SLOT_ID slot = 9;
    EXPECT_EQ(d.module->GetTokenCount(&count, &slot), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(d.waits, kFiveWaits);
    SelectedToken token;
    EXPECT_EQ(d.module->CheckToken(token), -102);
    EXPECT_EQ(token.slot, 0u);
}

TEST_F(Discovery, TokenPluggedInWhileWaitingIsUsed) {
    Tool({"unplug"});
    d.onWait = [this](size_t waitNumber) {
        if (waitNumber == 2) Tool({"plug"});
    };
    SelectedToken token;
    EXPECT_EQ(d.module->CheckToken(token), 0);
    EXPECT_EQ(d.waits, (Waits{1, 1}));
    EXPECT_EQ(token.slot, 1u);
}

TEST_F(Discovery, TokenPluggedInAgainIsFoundByTheNextCommand) {
    SelectedToken token;
    ASSERT_EQ(d.module->CheckToken(token), 0);
    Tool({"unplug"});
    EXPECT_EQ(d.module->CheckToken(token), -102);
    EXPECT_EQ(token.slot, 0u);  // selection never outlives a failed discovery
    Tool({"plug"});
    EXPECT_EQ(d.module->CheckToken(token), 0);
    EXPECT_EQ(token.slot, 1u);
}

TEST_F(Discovery, SeveralTokensAreRefusedWithoutWaiting) {
    Tool({"init", "--token", "2"});
    unsigned int count = 0;
    CK_SLOT_ID slot = 9;
    EXPECT_EQ(d.module->GetTokenCount(&count, &slot), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(slot, 0u);
    SelectedToken token;
    EXPECT_EQ(d.module->CheckToken(token), -104);
    EXPECT_TRUE(d.waits.empty());
}

TEST_F(Discovery, TokenInSlotZeroCannotBeConnected) {
    Tool({"set-slot", "--slot", "0"});
    unsigned int count = 0;
    EXPECT_EQ(d.module->GetTokenCount(&count), 0);
    EXPECT_EQ(count, 1u);
    SelectedToken token;
    EXPECT_EQ(d.module->CheckToken(token), -103);
}

TEST_F(Discovery, TokenWithoutInformationIsNotCounted) {
    Tool({"set", "--token-info", "fail"});
    unsigned int count = 9;
    EXPECT_EQ(d.module->GetTokenCount(&count), 0);
    EXPECT_EQ(count, 0u);
    SelectedToken token;
    EXPECT_EQ(d.module->CheckToken(token), -102);
    EXPECT_TRUE(d.waits.empty());  // the slot list did show a token
}

TEST_F(Discovery, SessionIsClosedWhenItsGuardGoes) {
    SelectedToken token;
    ASSERT_EQ(d.module->CheckToken(token), 0);
    {
        P11Session session;
        ASSERT_TRUE(token.OpenSession(session));
        EXPECT_EQ(PinnedSoftToken::Instance().OpenSessions(), 1UL);
    }
    EXPECT_EQ(PinnedSoftToken::Instance().OpenSessions(), 0UL);
    Tool({"unplug"});
    P11Session session;
    EXPECT_FALSE(token.OpenSession(session));
}

TEST_F(Discovery, WrongPinIsReportedWithTheTriesLeft) {
    Tool({"set-tries", "--tries", "5"});
    SelectedToken token;
    ASSERT_EQ(d.module->CheckToken(token), 0);
    EXPECT_EQ(token.MapLoginResult(CKR_PIN_INCORRECT, -352), -205);
    EXPECT_EQ(token.MapLoginResult(CKR_PIN_INVALID, -352), -205);
    Tool({"set-tries", "--tries", "0"});
    EXPECT_EQ(token.MapLoginResult(CKR_PIN_INCORRECT, -352), -221);
}

}  // namespace
