// Shared by the device layer's token tests: a device layer whose waits are
// recorded instead of slept, and the software token pinned in the process.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/softtoken_fixture.h"
#include "device/DeviceP11Operation.h"
#include "device/module_connection.h"

// The device's operations through ->, its module connection through module.
struct RecordedDevice {
    explicit RecordedDevice(const std::string& path = SoftTokenDir::ModulePath()) {
        auto connection = std::make_unique<ModuleConnection>(path, [this](unsigned int seconds) {
            waits.push_back(seconds);
            if (onWait) onWait(waits.size());
        });
        module = connection.get();
        device = std::make_unique<DeviceP11Operation>(std::move(connection));
    }
    DeviceP11Operation* operator->() const { return device.get(); }

    // The token the token check selects now (a default one when it fails).
    SelectedToken Token() const {
        SelectedToken token;
        module->CheckToken(token);
        return token;
    }

    std::vector<unsigned int> waits;
    std::function<void(size_t waitNumber)> onWait;  // runs during each recorded wait
    ModuleConnection* module = nullptr;             // owned by the device
    std::unique_ptr<DeviceP11Operation> device;
};

// Keeps the software token loaded and initialised for the whole test
// program, as a long-running host would: device layers built on it afterwards
// meet an initialised module and never pause. Also reads the module's count
// of sessions this process left open.
class PinnedSoftToken {
public:
    static PinnedSoftToken& Instance() {
        static PinnedSoftToken pinned;
        return pinned;
    }
    unsigned long OpenSessions() const { return openSessionCount_ ? openSessionCount_() : ~0UL; }

private:
    PinnedSoftToken() : module_(dlopen(SoftTokenDir::ModulePath().c_str(), RTLD_NOW)) {
        if (!module_) return;
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module_, "C_GetFunctionList"));
        CK_FUNCTION_LIST_PTR list = nullptr;
        if (getList && getList(&list) == CKR_OK && list) list->C_Initialize(nullptr);
        openSessionCount_ = reinterpret_cast<unsigned long (*)()>(dlsym(module_, "SoftToken_OpenSessionCount"));
    }
    void* module_;  // never closed: the module stays for the life of the process
    unsigned long (*openSessionCount_)() = nullptr;
};

// One software token directory per test; every test must leave no session open.
class SoftTokenTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(PinnedSoftToken::Instance().OpenSessions(), 0UL); }
    void TearDown() override { EXPECT_EQ(PinnedSoftToken::Instance().OpenSessions(), 0UL); }

    void Tool(std::vector<std::string> args) {
        ToolResult result = dir.Tool(std::move(args));
        ASSERT_EQ(result.exitCode, 0) << result.out;
    }
    std::string Show(const std::string& token = "1") { return dir.Tool({"show", "--token", token}).out; }

    SoftTokenDir dir;
};
