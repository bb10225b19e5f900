#include "host/diagnosis.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "host/request_log.h"
#include "support/result_codes.h"

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

Json::Value CallAsJson(const ModuleCallFailure& call) {
    Json::Value object(Json::objectValue);
    object["function"] = call.function;
    object["result"] = call.result;
    return object;
}

// "what (C_X returned CKR_Y)", or just what when no call failed.
std::string WithCall(const std::string& what, const ModuleCallFailure& call) {
    return call.Empty() ? what : what + " (" + call.function + " returned " + call.result + ")";
}

// The failing call for programs, beside the fact a person reads it in.
void AddCall(ReportSection& section, const char* key, const ModuleCallFailure& call) {
    if (!call.Empty()) section.Add(key, "", CallAsJson(call));
}

std::string ListLookupText(const ListLookupFacts& facts) {
    switch (facts.lookup) {
    case ListLookup::NotTried:
        return "not looked up";
    case ListLookup::NotExported:
        return "not exported";
    case ListLookup::CallFailed:
        return "exported, failed: " + facts.result;
    case ListLookup::NoList:
        return "exported, returned no list";
    case ListLookup::Found:
        return "returned a list";
    }
    return "";
}

// The module's own words about itself, when it was asked.
void AddModuleInfo(ReportSection& section, const ModuleFacts& module) {
    if (module.infoResult.empty()) return;
    const bool read = module.infoResult == "CKR_OK";
    section.Add("info_result", "C_GetInfo", module.infoResult, !read);
    if (!read) return;
    section.Add("cryptoki_version", "cryptoki version", module.cryptokiVersion);
    section.Add("manufacturer", "manufacturer", module.manufacturer);
    section.Add("description", "description", module.description);
    section.Add("library_version", "library version", module.libraryVersion);
}

ReportSection ModuleSection(const TokenSettings& settings, const ModuleFacts& module) {
    ReportSection section{"module", "Key module"};
    section.Add("path", "path", settings.modulePath);
    section.Add("origin", "origin", OriginKey(settings.moduleOrigin), false,
                DescribeOrigin(settings.moduleOrigin, "TOKEN_HOST_MODULE_PATH", "TOKEN_HOST_MODULE"));
    section.Add("exists", "file exists", module.fileExists, !module.fileExists);
    if (module.fileExists) section.Add("readable", "readable", module.fileReadable, !module.fileReadable);
    section.Add("loaded", "loads", module.loaded, !module.loaded);
    if (!module.loadError.empty()) section.Add("load_error", "load error", module.loadError, true);
    if (!module.loaded) return section;
    section.Add("function_list", "C_GetFunctionList", ListLookupText(module.functionList),
                module.functionList.lookup != ListLookup::Found);
    section.Add("aux_function_list", "E_GetAuxFunctionList", ListLookupText(module.auxFunctionList),
                module.auxFunctionList.lookup != ListLookup::Found);
    if (!module.initializeResult.empty()) {
        const bool initialised =
            module.initializeResult == "CKR_OK" || module.initializeResult == "CKR_CRYPTOKI_ALREADY_INITIALIZED";
        section.Add("initialize", "C_Initialize", module.initializeResult, !initialised);
    }
    AddModuleInfo(section, module);
    return section;
}

ReportSection TokenEntry(const TokenFacts& token) {
    ReportSection entry{"", "slot " + std::to_string(token.slot)};
    entry.Add("slot", "", static_cast<Json::UInt64>(token.slot));
    const bool read = token.infoResult == "CKR_OK";
    entry.Add("token_info", "C_GetTokenInfo", token.infoResult, !read);
    if (!read) return entry;
    entry.Add("label", "label", token.label);
    entry.Add("model", "model", token.model);
    entry.Add("serial", "serial", token.serial);
    const bool locked =
        std::find(token.flags.begin(), token.flags.end(), "CKF_USER_PIN_LOCKED") != token.flags.end();
    entry.Add("flags", "flags", StringArray(token.flags), locked);
    return entry;
}

ReportSection SlotsSection(const KeyFacts& key) {
    ReportSection section{"slots", "Slots with a token"};
    if (key.slotListResult.empty()) {
        section.Add("slot_list", "C_GetSlotList", Json::Value(), false, "not asked (the module is not initialised)");
        return section;
    }
    section.Add("slot_list", "C_GetSlotList", key.slotListResult, key.slotListResult != "CKR_OK");
    section.Add("count", "slots with a token", static_cast<Json::UInt64>(key.tokens.size()), key.tokens.empty());
    section.entriesKey = "tokens";
    for (const TokenFacts& token : key.tokens) section.entries.push_back(TokenEntry(token));
    return section;
}

// What the one-key rule's outcome means to a person.
std::string RuleText(const KeyFacts& key) {
    switch (key.code) {
    case rc::kSuccess:
        return "exactly one key, in slot " + std::to_string(key.slot);
    case rc::kModuleNotInstalled:
        return "the key's module cannot be loaded or initialised";
    case rc::kNoKey:
        return "no key is plugged in";
    case rc::kCannotConnect:
        return "the key cannot be connected (it sits in slot 0, or a slot, token or module call failed)";
    case rc::kSeveralKeys:
        return "several keys are plugged in; leave one";
    default:
        return "a failure";
    }
}

std::string KeyPairText(const CertificateFacts& certificate) {
    if (!certificate.hasPairId) return "none (no pair ID: no key of its own on the token)";
    if (certificate.publicKeyFound && certificate.privateKeyFound) return "public and private key found";
    if (certificate.publicKeyFound) return "public key only (a key may show the private one only after login)";
    if (certificate.privateKeyFound) return "private key only";
    return "not found";
}

ReportSection CertificateEntry(const CertificateFacts& certificate, size_t number) {
    ReportSection entry{"", "certificate " + std::to_string(number)};
    entry.Add("read", "read", certificate.read, !certificate.read,
              certificate.read ? "" : WithCall("no", certificate.readFailure));
    AddCall(entry, "read_failure", certificate.readFailure);
    if (!certificate.read) return entry;
    entry.Add("decoded", "X.509", certificate.decoded, !certificate.decoded);
    if (certificate.decoded) {
        entry.Add("subject", "subject", certificate.subject);
        entry.Add("issuer", "issuer", certificate.issuer);
        entry.Add("not_before", "not before", certificate.notBefore, certificate.notYetValid,
                  certificate.notYetValid ? certificate.notBefore + " (not yet valid)" : "");
        entry.Add("not_after", "not after", certificate.notAfter, certificate.expired,
                  certificate.expired ? certificate.notAfter + " (expired)" : "");
        entry.Add("not_yet_valid", "", certificate.notYetValid);
        entry.Add("expired", "", certificate.expired);
        entry.Add("key_type", "key type", certificate.keyType);
    }
    entry.Add("pair_id", "", certificate.hasPairId);
    entry.Add("public_key", "", certificate.publicKeyFound);
    entry.Add("private_key", "", certificate.privateKeyFound);
    entry.Add("key_pair", "key pair", KeyPairText(certificate));
    return entry;
}

void AddExtendedInfo(ReportSection& section, const KeyFacts& key) {
    if (key.extInfoCode == 0) {
        section.Add("ext_info", "extended information", key.extInfo);
    } else {
        section.Add("ext_info", "extended information", Json::Value(), true,
                    WithCall("none: GMGetAdminKeyInfo would answer " + std::to_string(key.extInfoCode),
                             key.extInfoFailure));
        section.Add("ext_info_code", "", static_cast<Json::Int64>(key.extInfoCode));
        AddCall(section, "ext_info_failure", key.extInfoFailure);
    }
    section.Add("ext_info_flag", "extended interface", key.extInfoFlag, false,
                key.extInfoFlag ? "yes (discovery saw the key answer E_GetTokenExtInfo)" : "no");
}

void AddCertificates(ReportSection& section, const KeyFacts& key) {
    if (!key.certificatesListed) {
        section.Add("certificates_listed", "certificates", false, true,
                    WithCall("cannot be listed", key.certificatesFailure));
        AddCall(section, "certificates_failure", key.certificatesFailure);
        return;
    }
    section.Add("certificates_listed", "", true);
    section.Add("certificate_count", "certificates", static_cast<Json::UInt64>(key.certificates.size()),
                key.certificates.empty());
    section.entriesKey = "certificates";
    for (size_t i = 0; i < key.certificates.size(); ++i) {
        section.entries.push_back(CertificateEntry(key.certificates[i], i + 1));
    }
}

ReportSection KeySection(const KeyFacts& key) {
    ReportSection section{"key", "Key"};
    const bool usable = key.code == rc::kSuccess;
    section.Add("code", "one-key rule", static_cast<Json::Int64>(key.code), !usable,
                WithCall(std::to_string(key.code) + ": " + RuleText(key), key.failedCall));
    AddCall(section, "failed_call", key.failedCall);
    if (!usable) return section;
    section.Add("slot", "slot", static_cast<Json::UInt64>(key.slot));
    AddExtendedInfo(section, key);
    AddCertificates(section, key);
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

DiagnosisReport Diagnose(const DiagnosisInput& input, const DeviceDiagnosis& device) {
    DiagnosisReport report;
    report.sections.push_back(HostSection(input));
    report.sections.push_back(ModuleSection(input.settings, device.module));
    report.sections.push_back(ChooserSection(input.settings));
    report.sections.push_back(LogSection(input.logSetting));
    report.sections.push_back(BrowsersSection(input));
    report.sections.push_back(SlotsSection(device.key));
    report.sections.push_back(KeySection(device.key));
    report.key = {true, device.key.code == rc::kSuccess, device.key.code};
    return report;
}
