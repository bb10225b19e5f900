// --diagnose against a scratch tree: the browsers' manifests as they are
// found in practice, and the report written for a person and as JSON.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <json/json.h>

#include "host/browser_manifests.h"
#include "host/diagnosis.h"

namespace {

namespace fs = std::filesystem;

class ScratchTree {
public:
    ScratchTree() {
        std::string pattern = (fs::temp_directory_path() / "token-host-diagnosis.XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        fs::create_directories(root_ / "bin");
        host_ = WriteFile("bin/token-host", "#!/bin/sh\n", 0755);
    }
    ~ScratchTree() { fs::remove_all(root_); }

    fs::path WriteFile(const std::string& relative, const std::string& content, mode_t mode = 0644) const {
        const fs::path path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << content;
        chmod(path.c_str(), mode);
        return path;
    }

    // Roots whose every folder lies in the tree: one system folder per browser.
    ManifestRoots Roots() const {
        ManifestRoots roots;
        roots.home = (root_ / "home").string();
        roots.configHome = (root_ / "config").string();
        roots.chromeSystem = {(root_ / "etc/chrome").string()};
        roots.chromiumSystem = {(root_ / "etc/chromium").string()};
        roots.firefoxSystem = {(root_ / "lib/mozilla").string()};
        return roots;
    }

    std::string ChromiumUserManifest() const { return "config/chromium/NativeMessagingHosts/" + ManifestName(); }
    std::string ChromiumSystemManifest() const { return "etc/chromium/" + ManifestName(); }
    static std::string ManifestName() { return std::string(kNativeHostName) + ".json"; }

    const fs::path& Root() const { return root_; }
    const fs::path& Host() const { return host_; }

private:
    fs::path root_;
    fs::path host_;
};

std::string ChromiumManifest(const std::string& hostPath) {
    return std::string("{\"name\": \"") + kNativeHostName + "\", \"description\": \"d\", \"path\": \"" + hostPath +
           "\", \"type\": \"stdio\", \"allowed_origins\": [\"chrome-extension://abcdefghijklmnopabcdefghijklmnop/\"]}";
}

struct ManifestCase {
    const char* name;
    // The manifest's text, given the tree; empty: no manifest.
    std::string (*manifest)(const ScratchTree& tree);
    bool exists, parses, namesThisHost, executable, startsThisHost;
};

const ManifestCase kManifestCases[] = {
    {"Missing", [](const ScratchTree&) { return std::string(); }, false, false, false, false, false},
    {"MalformedJson",
     [](const ScratchTree& tree) { return ChromiumManifest(tree.Host().string()) + ",}"; }, true, false, false,
     false, false},
    {"PointingElsewhere",
     [](const ScratchTree& tree) {
         return ChromiumManifest(tree.WriteFile("bin/other-host", "#!/bin/sh\n", 0755).string());
     },
     true, true, false, true, false},
    {"PointingAtANonExecutable",
     [](const ScratchTree& tree) {
         chmod(tree.Host().c_str(), 0644);
         return ChromiumManifest(tree.Host().string());
     },
     true, true, true, false, false},
    {"GoodThroughALink",
     [](const ScratchTree& tree) {
         const fs::path link = tree.Root() / "bin/linked-host";
         fs::create_symlink(tree.Host(), link);
         return ChromiumManifest(link.string());
     },
     true, true, true, true, true},
};

class BrowserManifest : public ::testing::TestWithParam<ManifestCase> {};

TEST_P(BrowserManifest, FindingSaysWhetherItStartsThisHost) {
    const ManifestCase& c = GetParam();
    ScratchTree tree;
    const std::string text = c.manifest(tree);
    if (!text.empty()) tree.WriteFile(tree.ChromiumUserManifest(), text);
    const ManifestPlace place{Browser::Chromium, true, (tree.Root() / tree.ChromiumUserManifest()).string()};
    const ManifestFinding finding = ExamineManifest(place, IdentifyHost(tree.Host().string()));
    EXPECT_EQ(finding.exists, c.exists);
    EXPECT_EQ(finding.parses, c.parses);
    EXPECT_EQ(finding.problem.empty(), c.parses || !c.exists) << finding.problem;
    EXPECT_EQ(finding.namesThisHost, c.namesThisHost);
    EXPECT_EQ(finding.executable, c.executable);
    EXPECT_EQ(finding.StartsThisHost(), c.startsThisHost);
    if (c.parses) {
        EXPECT_TRUE(finding.nameMatches);
        EXPECT_EQ(finding.type, "stdio");
        EXPECT_EQ(finding.allowed, std::vector<std::string>{"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"});
    }
}

INSTANTIATE_TEST_SUITE_P(, BrowserManifest, ::testing::ValuesIn(kManifestCases),
                         [](const ::testing::TestParamInfo<ManifestCase>& info) { return info.param.name; });

TEST(ManifestPlaces, EachBrowserLooksInItsOwnFoldersTheUsersFirst) {
    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    setenv("HOME", "/home/person", 1);
    setenv("XDG_CONFIG_HOME", "/elsewhere/config", 1);
    const ManifestRoots roots = ManifestRootsOfThisUser();
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(ManifestRootsOfThisUser().configHome, "/home/person/.config");
    setenv("HOME", savedHome.c_str(), 1);

    const std::string name = std::string("/") + kNativeHostName + ".json";
    std::vector<std::string> chromium, firefox;
    for (const ManifestPlace& place : ManifestPlaces(roots)) {
        if (place.browser == Browser::Chromium) chromium.push_back(place.file);
        if (place.browser == Browser::Firefox) firefox.push_back(place.file);
    }
    ASSERT_GE(chromium.size(), 2u);
    EXPECT_EQ(chromium[0], "/elsewhere/config/chromium/NativeMessagingHosts" + name);
    EXPECT_EQ(chromium[1], "/etc/chromium/native-messaging-hosts" + name);
    ASSERT_GE(firefox.size(), 3u);
    EXPECT_EQ(firefox[0], "/home/person/.mozilla/native-messaging-hosts" + name);  // never under XDG_CONFIG_HOME
    EXPECT_EQ(firefox[1], "/usr/lib/mozilla/native-messaging-hosts" + name);
    EXPECT_EQ(firefox[2], "/usr/lib64/mozilla/native-messaging-hosts" + name);
}

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors;
    return value;
}

// What the device layer finds when the module is not there.
DeviceDiagnosis ModuleMissing() {
    DeviceDiagnosis device;
    device.module.loadError = "/opt/key/module.so: cannot open shared object file: No such file or directory";
    device.key.code = -101;
    return device;
}

// A good system manifest for Chromium shadowed by a broken one of the user's,
// and a good one for Firefox.
class DiagnosisReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.WriteFile(tree_.ChromiumSystemManifest(), ChromiumManifest(tree_.Host().string()));
        tree_.WriteFile(tree_.ChromiumUserManifest(), "{\"name\": \"com.tokenhost.native\",");
        tree_.WriteFile("home/.mozilla/native-messaging-hosts/" + ScratchTree::ManifestName(),
                        std::string("{\"name\": \"") + kNativeHostName + "\", \"path\": \"" + tree_.Host().string() +
                            "\", \"type\": \"stdio\", \"allowed_extensions\": [\"bank@bank.example\"]}");
        input_.settings = {"/opt/key/module.so", "/nonexistent/chooser", PathOrigin::Environment,
                           PathOrigin::BuiltIn};
        input_.hostVersion = "1.2.3";
        input_.host = IdentifyHost(tree_.Host().string());
        input_.manifestRoots = tree_.Roots();
    }

    ScratchTree tree_;
    DiagnosisInput input_;
};

TEST_F(DiagnosisReportTest, TextAndJsonHoldTheSameFacts) {
    const DiagnosisReport report = Diagnose(input_, ModuleMissing());
    EXPECT_EQ(report.ExitStatus(), 1);

    const std::string text = ReportAsText(report);
    EXPECT_NE(text.find(" environment variable TOKEN_HOST_MODULE\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n! executable: no"), std::string::npos) << text;  // the chooser
    EXPECT_NE(text.find("\n!   starts this host: no"), std::string::npos) << text;  // Chromium
    EXPECT_NE(text.find("\n!     parses: no"), std::string::npos) << text;
    EXPECT_NE(text.find("allowed_extensions: bank@bank.example"), std::string::npos) << text;
    EXPECT_NE(text.find("Verdict: no usable key found"), std::string::npos) << text;

    const Json::Value json = ParseJson(ReportAsJson(report));
    EXPECT_EQ(json["host"]["version"], "1.2.3");
    EXPECT_EQ(json["module"]["path"], "/opt/key/module.so");
    EXPECT_EQ(json["module"]["origin"], "environment");
    EXPECT_EQ(json["chooser"]["origin"], "built-in");
    EXPECT_EQ(json["log"]["set"], false);
    EXPECT_EQ(json["module"]["exists"], false);
    EXPECT_EQ(json["key"]["code"], -101);
    EXPECT_EQ(json["verdict"]["usable_key"], false);
    EXPECT_EQ(json["exit_status"], 1);
    const Json::Value& browsers = json["browsers"]["per_browser"];
    ASSERT_EQ(browsers.size(), 3u);
    const Json::Value& chromium = browsers[1];
    EXPECT_EQ(chromium["browser"], "Chromium");
    EXPECT_EQ(chromium["starts_this_host"], false) << "the user's broken manifest comes first";
    EXPECT_EQ(chromium["manifest_in_use"], (tree_.Root() / tree_.ChromiumUserManifest()).string());
    EXPECT_EQ(chromium["manifests"][0]["parses"], false);
    EXPECT_TRUE(chromium["manifests"][0]["error"].isString());
    EXPECT_EQ(chromium["manifests"][1]["starts_this_host"], true);
    const Json::Value& firefox = browsers[2];
    EXPECT_EQ(firefox["starts_this_host"], true);
    EXPECT_EQ(firefox["manifests"][0]["allowed_extensions"][0], "bank@bank.example");
    EXPECT_EQ(json["browsers"]["any_browser_starts_this_host"], true);
}

TEST_F(DiagnosisReportTest, ValuesCannotForgeLinesOfTheText) {
    input_.settings.modulePath = "/opt/key\n! executable: yes";
    const std::string text = ReportAsText(Diagnose(input_, ModuleMissing()));
    EXPECT_NE(text.find("/opt/key\\x0A! executable: yes"), std::string::npos) << text;
}

}  // namespace
