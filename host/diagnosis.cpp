#include "host/diagnosis.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "host/request_log.h"

namespace {

const char* OriginKey(PathOrigin origin) {
    switch (origin) {
    case PathOrigin::BuiltIn:
        return "built-in";
    case PathOrigin::BuildOption:
        return "build-option";
    case PathOrigin::Environment:
        return "environment";
    }
    return "";
}

std::string ThisProgram() {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

bool IsExecutableFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}

Json::Value StringArray(const std::vector<std::string>& items) {
    Json::Value array(Json::arrayValue);
    for (const std::string& item : items) array.append(item);
    return array;
}

ReportSection HostSection(const DiagnosisInput& input) {
    ReportSection section{"host", "Host"};
    section.Add("version", "version", input.hostVersion);
    if (input.host.known) {
        section.Add("path", "path", input.host.path);
    } else {
        section.Add("path", "path", Json::Value(), true, "unknown (/proc/self/exe cannot be read)");
    }
    return section;
}

ReportSection ModuleSection(const TokenSettings& settings) {
    ReportSection section{"module", "Key module"};
    section.Add("path", "path", settings.modulePath);
    section.Add("origin", "origin", OriginKey(settings.moduleOrigin), false,
                DescribeOrigin(settings.moduleOrigin, "TOKEN_HOST_MODULE_PATH", "TOKEN_HOST_MODULE"));
    return section;
}

ReportSection ChooserSection(const TokenSettings& settings) {
    ReportSection section{"chooser", "File chooser"};
    section.Add("path", "path", settings.chooserProgram);
    section.Add("origin", "origin", OriginKey(settings.chooserOrigin), false,
                DescribeOrigin(settings.chooserOrigin, "TOKEN_HOST_CHOOSER_PATH", "TOKEN_HOST_CHOOSER"));
    const bool executable = IsExecutableFile(settings.chooserProgram);
    section.Add("executable", "executable", executable, !executable);
    return section;
}

ReportSection LogSection(const std::optional<std::string>& setting) {
    ReportSection section{"log", "Request log (TOKEN_HOST_LOG)"};
    const LogTargetState state = AssessLogTarget(setting ? setting->c_str() : nullptr);
    section.Add("set", "set", state.set);
    if (state.set) {
        section.Add("file", "file", *setting);
        section.Add("usable", "usable", state.usable, !state.usable);
    }
    section.Add("state", "state", state.state);
    return section;
}

void AddPathFacts(ReportSection& entry, const ManifestFinding& finding) {
    if (!finding.pathAbsolute) {
        entry.Add("path", "path", finding.hostPath, true,
                  (finding.hostPath.empty() ? std::string("(none)") : finding.hostPath) + " (must be absolute)");
    } else {
        entry.Add("path", "path", finding.hostPath, !finding.namesThisHost);
    }
    entry.Add("path_is_this_host", "path is this host", finding.namesThisHost, !finding.namesThisHost);
    entry.Add("path_executable", "path executable", finding.executable, !finding.executable);
}

ReportSection ManifestEntry(const ManifestFinding& finding) {
    ReportSection entry{"", finding.place.forUser ? "for this user" : "system-wide"};
    entry.Add("scope", "", finding.place.forUser ? "user" : "system");
    entry.Add("file", "file", finding.place.file);
    entry.Add("exists", "exists", finding.exists);
    if (!finding.exists) return entry;
    if (!finding.parses) {
        entry.Add("parses", "parses", false, true);
        entry.Add("error", "error", finding.problem, true);
        return entry;
    }
    entry.Add("parses", "parses", true);
    entry.Add("name", "name", finding.name, !finding.nameMatches);
    AddPathFacts(entry, finding);
    entry.Add("type", "type", finding.type, finding.type != "stdio");
    entry.Add(AllowedMember(finding.place.browser), AllowedMember(finding.place.browser),
              StringArray(finding.allowed), finding.allowed.empty());
    entry.Add("starts_this_host", "starts this host", finding.StartsThisHost(), !finding.StartsThisHost());
    return entry;
}

// The manifest a browser goes by: Chrome and Chromium take the first file
// that exists, the user's before the system's; Firefox passes over files it
// cannot read as a manifest for this host.
const ManifestFinding* ManifestInUse(const std::vector<ManifestFinding>& findings) {
    for (const ManifestFinding& finding : findings) {
        if (!finding.exists) continue;
        if (finding.place.browser != Browser::Firefox) return &finding;
        if (finding.parses && finding.nameMatches && !finding.allowed.empty()) return &finding;
    }
    return nullptr;
}

bool StartsThisHost(const std::vector<ManifestFinding>& findings) {
    const ManifestFinding* inUse = ManifestInUse(findings);
    return inUse != nullptr && inUse->StartsThisHost();
}

ReportSection BrowserEntry(Browser browser, const std::vector<ManifestFinding>& findings) {
    ReportSection entry{"", BrowserName(browser)};
    entry.Add("browser", "", BrowserName(browser));
    const ManifestFinding* inUse = ManifestInUse(findings);
    const bool anyManifest =
        std::any_of(findings.begin(), findings.end(), [](const ManifestFinding& finding) { return finding.exists; });
    const bool starts = StartsThisHost(findings);
    // A browser without a manifest for the host is no fault in itself.
    entry.Add("starts_this_host", "starts this host", starts, anyManifest && !starts);
    entry.Add("manifest_in_use", "manifest in use", inUse ? Json::Value(inUse->place.file) : Json::Value(), false,
              inUse ? "" : "(none)");
    entry.entriesKey = "manifests";
    for (const ManifestFinding& finding : findings) entry.entries.push_back(ManifestEntry(finding));
    return entry;
}

ReportSection BrowsersSection(const DiagnosisInput& input) {
    ReportSection section{"browsers", "Browsers"};
    section.Add("native_host_name", "host name", kNativeHostName);
    std::vector<ReportSection> browsers;
    bool anyStarts = false;
    const std::vector<ManifestPlace> places = ManifestPlaces(input.manifestRoots);
    for (const Browser browser : {Browser::Chrome, Browser::Chromium, Browser::Firefox}) {
        std::vector<ManifestFinding> findings;
        for (const ManifestPlace& place : places) {
            if (place.browser == browser) findings.push_back(ExamineManifest(place, input.host));
        }
        browsers.push_back(BrowserEntry(browser, findings));
        anyStarts = anyStarts || StartsThisHost(findings);
    }
    section.Add("any_browser_starts_this_host", "some browser starts this host", anyStarts, !anyStarts);
    section.entriesKey = "per_browser";
    section.entries = std::move(browsers);
    return section;
}

// Stands in until the device layer can be asked: see Diagnose.
ReportSection KeySectionNotExamined() {
    ReportSection section{"key", "Key"};
    section.Add("examined", "examined", false, false, "no (not examined by this version)");
    return section;
}

}  // namespace

std::string DescribeOrigin(PathOrigin origin, const char* buildOption, const char* environmentVariable) {
    switch (origin) {
    case PathOrigin::BuiltIn:
        return "built-in default";
    case PathOrigin::BuildOption:
        return std::string("build option ") + buildOption;
    case PathOrigin::Environment:
        return std::string("environment variable ") + environmentVariable;
    }
    return "";
}

DiagnosisInput DiagnosisInputOfThisProcess(const TokenSettings& settings, std::string hostVersion) {
    DiagnosisInput input;
    input.settings = settings;
    input.hostVersion = std::move(hostVersion);
    input.host = IdentifyHost(ThisProgram());
    if (const char* log = std::getenv("TOKEN_HOST_LOG")) input.logSetting = log;
    input.manifestRoots = ManifestRootsOfThisUser();
    return input;
}

DiagnosisReport Diagnose(const DiagnosisInput& input) {
    DiagnosisReport report;
    report.sections.push_back(HostSection(input));
    report.sections.push_back(ModuleSection(input.settings));
    report.sections.push_back(ChooserSection(input.settings));
    report.sections.push_back(LogSection(input.logSetting));
    report.sections.push_back(BrowsersSection(input));
    report.sections.push_back(KeySectionNotExamined());
    return report;
}
