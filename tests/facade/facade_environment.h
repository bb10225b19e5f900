// The facade tests run in-process: the module path points nowhere and the
// chooser is a script in a private directory that each test rewrites.
#pragma once

#include <filesystem>
#include <string>

#include "device/DeviceP11Operation.h"
#include "facade/PKCSHandle.h"

// The chooser program the facade runs in these tests.
const std::filesystem::path& FakeChooserPath();

// A facade over a device layer whose module does not exist, running the fake
// chooser.
struct FacadeUnderTest {
    DeviceP11Operation device{"/nonexistent/token-module.so"};
    PKCS_Handle facade{device, FakeChooserPath().string()};
};

// Writes the fake chooser as a shell script with the given body.
void WriteFakeChooser(const std::string& body);
