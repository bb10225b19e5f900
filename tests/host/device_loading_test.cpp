// The host loads its device layer, and the crypto library with it, when a
// command first needs the token: starting and answering "GetVersion" do not.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include <json/json.h>

#include "common/host_process.h"

namespace {

namespace fs = std::filesystem;

HostProcess::Options WithModule(const std::string& module) {
    HostProcess::Options options;
    options.env["TOKEN_HOST_MODULE"] = module;
    options.env["TOKEN_HOST_CHOOSER"] = "/nonexistent/chooser";
    return options;
}

// The "text" of the next reply.
Json::Value NextText(HostProcess& host) {
    const std::optional<std::string> body = host.ReadFrame();
    if (!body) return Json::Value("no reply");
    Json::Value reply;
    Json::CharReaderBuilder builder;
    std::istringstream in(*body);
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(builder, in, &reply, &errors)) << *body;
    return reply["text"];
}

std::string MappedFiles(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    return std::string(std::istreambuf_iterator<char>(maps), {});
}

TEST(DeviceLayer, IsLoadedByTheFirstCommandThatNeedsTheToken) {
    HostProcess host(WithModule("/nonexistent/token-module.so"));
    ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"GetVersion","tabID":1})"));
    EXPECT_EQ(NextText(host), "1.0.21.1015");
    std::string maps = MappedFiles(host.Pid());
    EXPECT_EQ(maps.find("libcrypto"), std::string::npos) << maps;
    EXPECT_EQ(maps.find("token-host-device"), std::string::npos) << maps;

    ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"GetMediaID","tabID":2})"));
    EXPECT_EQ(NextText(host), -101);  // the module, not the device layer, is missing
    maps = MappedFiles(host.Pid());
    EXPECT_NE(maps.find("libcrypto"), std::string::npos) << maps;
    ASSERT_TRUE(host.SendEnd());
    EXPECT_EQ(host.ExitCode(), 0);
}

TEST(DeviceLayer, WithoutItTheTokenCommandsAnswer101AndTheHostServesOn) {
    std::string pattern = "/tmp/token-host-alone.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const fs::path alone = dir / "token-host";
    fs::copy_file(TOKEN_HOST_BINARY, alone);

    HostProcess::Options options = WithModule(SOFTTOKEN_MODULE);
    options.binary = alone.string();
    options.stderrFile = (dir / "stderr.txt").string();
    HostProcess host(options);
    for (int tabId : {1, 3}) {
        ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"GetMediaID","tabID":)" + std::to_string(tabId) + "}"));
        EXPECT_EQ(NextText(host), -101);
        ASSERT_TRUE(host.SendMessage(R"({"ZEKA":"GetVersion","tabID":)" + std::to_string(tabId + 1) + "}"));
        EXPECT_EQ(NextText(host), "1.0.21.1015");
    }
    ASSERT_TRUE(host.SendEnd());
    EXPECT_EQ(host.ExitCode(), 0);
    std::ifstream in(dir / "stderr.txt");
    const std::string errors(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(errors.find("cannot load the device layer"), std::string::npos) << errors;

    options.args = {"--diagnose"};
    HostProcess diagnosis(options);
    const std::string report = diagnosis.ReadUntilClosed();
    EXPECT_NE(report.find("load error:  cannot load the device layer"), std::string::npos) << report;
    EXPECT_EQ(diagnosis.ExitCode(), 1);
    fs::remove_all(dir);
}

}  // namespace
