#include <gtest/gtest.h>

#include <cstdlib>

#include "device/DeviceP11Operation.h"
#include "facade/PKCSHandle.h"

namespace {

TEST(TokenSettings, TheEnvironmentReplacesAPathOnlyWhenNotEmpty) {
    setenv("TOKEN_HOST_MODULE", "/elsewhere/module.so", 1);
    setenv("TOKEN_HOST_CHOOSER", "", 1);
    TokenSettings settings = TokenSettingsFromEnvironment();
    EXPECT_EQ(settings.modulePath, "/elsewhere/module.so");
    EXPECT_EQ(settings.chooserProgram, kDefaultChooserPath);

    unsetenv("TOKEN_HOST_MODULE");
    setenv("TOKEN_HOST_CHOOSER", "/elsewhere/chooser", 1);
    settings = TokenSettingsFromEnvironment();
    EXPECT_EQ(settings.modulePath, kDefaultModulePath);
    EXPECT_EQ(settings.chooserProgram, "/elsewhere/chooser");
    unsetenv("TOKEN_HOST_CHOOSER");
}

}  // namespace
