#include <gtest/gtest.h>

#include <cstdlib>

#include "facade/PKCSHandle.h"

namespace {

TEST(TokenSettings, TheEnvironmentReplacesAPathOnlyWhenNotEmpty) {
    setenv("TOKEN_HOST_MODULE", "/elsewhere/module.so", 1);
    setenv("TOKEN_HOST_CHOOSER", "", 1);
    TokenSettings settings = TokenSettingsFromEnvironment();
    EXPECT_EQ(settings.modulePath, "/elsewhere/module.so");
    EXPECT_EQ(settings.moduleOrigin, PathOrigin::Environment);
    EXPECT_EQ(settings.chooserProgram, kInstalledChooserPath);
    EXPECT_NE(settings.chooserOrigin, PathOrigin::Environment);

    unsetenv("TOKEN_HOST_MODULE");
    setenv("TOKEN_HOST_CHOOSER", "/elsewhere/chooser", 1);
    settings = TokenSettingsFromEnvironment();
    EXPECT_EQ(settings.modulePath, kInstalledModulePath);
    EXPECT_NE(settings.moduleOrigin, PathOrigin::Environment);
    EXPECT_EQ(settings.chooserProgram, "/elsewhere/chooser");
    EXPECT_EQ(settings.chooserOrigin, PathOrigin::Environment);
    unsetenv("TOKEN_HOST_CHOOSER");
}

TEST(TokenSettings, APathChosenAtBuildTimeIsABuildOption) {
    const ChosenPath builtIn = ChoosePath(nullptr, "/opt/key/module.so", "/opt/key/module.so");
    EXPECT_EQ(builtIn.path, "/opt/key/module.so");
    EXPECT_EQ(builtIn.origin, PathOrigin::BuiltIn);
    const ChosenPath option = ChoosePath("", "/usr/lib/key/module.so", "/opt/key/module.so");
    EXPECT_EQ(option.path, "/usr/lib/key/module.so");
    EXPECT_EQ(option.origin, PathOrigin::BuildOption);
    const ChosenPath environment = ChoosePath("/tmp/module.so", "/usr/lib/key/module.so", "/opt/key/module.so");
    EXPECT_EQ(environment.path, "/tmp/module.so");
    EXPECT_EQ(environment.origin, PathOrigin::Environment);
}

}  // namespace
