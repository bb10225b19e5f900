#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "device/DeviceP11Operation.h"

namespace {

// A device layer whose waits are recorded instead of slept.
struct RecordedDevice {
    explicit RecordedDevice(const std::string& path) : device(std::make_unique<DeviceP11Operation>(path)) {
        device->SetSleeper([this](unsigned int seconds) { waits.push_back(seconds); });
    }
    std::unique_ptr<DeviceP11Operation> device;
    std::vector<unsigned int> waits;
};

TEST(ModuleLoading, MissingModuleIsNotInstalledEverywhere) {
    RecordedDevice d("/nonexistent/libtoken.so");
    EXPECT_EQ(d.device->GetFuncList(), -101);
    EXPECT_EQ(d.device->Init(), -101);
    unsigned int count = 7;
    EXPECT_EQ(d.device->GetTokenCount(&count), -101);
    EXPECT_EQ(count, 7u);
    EXPECT_FALSE(d.device->CheckToken());
    EXPECT_EQ(d.device->GetLastError(), -101);
    EXPECT_EQ(d.device->GetSlot(), 0u);
    EXPECT_TRUE(d.waits.empty());
}

TEST(ModuleLoading, UnresolvedSymbolsRefuseTheModule) {
    // Bound immediately, a module that needs a missing function never loads.
    RecordedDevice d(MODULE_UNRESOLVED);
    EXPECT_EQ(d.device->GetFuncList(), -101);
    EXPECT_EQ(d.device->RunTokenRule(), -101);
}

TEST(ModuleLoading, ModuleWithoutAuxiliaryListIsRefused) {
    RecordedDevice d(MODULE_NO_AUX);
    EXPECT_EQ(d.device->GetFuncList(), -300);
    EXPECT_EQ(d.device->Functions(), nullptr);
    EXPECT_EQ(d.device->AuxFunctions(), nullptr);
    EXPECT_EQ(d.device->GetTokenCount(nullptr), -101);
    EXPECT_FALSE(d.device->CheckToken());
    EXPECT_EQ(d.device->GetLastError(), -101);
    // Operations that only load the module report the loading failure itself.
    char info[1025] = {};
    int length = 1024;
    EXPECT_EQ(d.device->getClientInfo(info, &length), -300);
    EXPECT_EQ(d.device->setIPType(1), -300);
}

TEST(ModuleLoading, ClearForgetsTheModuleAndUsesGbkAfterwards) {
    RecordedDevice d(MODULE_NO_AUX);
    EXPECT_EQ(d.device->GetCharsetFlag(), 1);
    EXPECT_TRUE(d.device->GetExtInfoFlag());
    EXPECT_EQ(d.device->Clear(), 0);
    EXPECT_EQ(d.device->GetCharsetFlag(), 0);
    EXPECT_EQ(d.device->Functions(), nullptr);
}

TEST(LoginMapping, FixedCodesNeedNoModule) {
    RecordedDevice d("/nonexistent/libtoken.so");
    DeviceP11Operation& device = *d.device;
    EXPECT_EQ(device.MapLoginResult(CKR_OK, -352), 0);
    EXPECT_EQ(device.MapLoginResult(CKR_USER_ALREADY_LOGGED_IN, -352), 0);
    EXPECT_EQ(device.MapLoginResult(CKR_CANCEL, -352), -100);
    EXPECT_EQ(device.MapLoginResult(CKR_PIN_EXPIRED, -352), -105);
    EXPECT_EQ(device.MapLoginResult(CKR_VENDOR_USER_TIMEOUT, -352), -105);
    EXPECT_EQ(device.MapLoginResult(CKR_PIN_LOCKED, -352), -221);
    EXPECT_EQ(device.MapLoginResult(CKR_DEVICE_ERROR, -352), -352);
    EXPECT_EQ(device.MapLoginResult(CKR_GENERAL_ERROR, -404), -404);
    // Without E_GetPinInfo nothing says tries are left.
    EXPECT_EQ(device.MapLoginResult(CKR_PIN_INCORRECT, -352), -221);
}

}  // namespace
