#include "host/browser_manifests.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <json/reader.h>
#include <json/value.h>

#include "support/file_descriptor.h"

// From the build (packaging/CMakeLists.txt): the host's name and the system
// folders it installs the manifests into (empty: none).
const char* const kNativeHostName = TH_NATIVE_HOST_NAME;

namespace {

const char* const kChromeSystemFolder = "/etc/opt/chrome/native-messaging-hosts";
const char* const kChromiumSystemFolder = "/etc/chromium/native-messaging-hosts";
const char* const kFirefoxSystemFolders[] = {"/usr/lib/mozilla/native-messaging-hosts",
                                             "/usr/lib64/mozilla/native-messaging-hosts"};

// The browser's own folders, then the build's when it chose another.
std::vector<std::string> SystemFolders(std::initializer_list<const char*> own, const char* configured) {
    std::vector<std::string> folders(own.begin(), own.end());
    if (*configured != '\0' && std::find(folders.begin(), folders.end(), configured) == folders.end()) {
        folders.emplace_back(configured);
    }
    return folders;
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string ManifestFile(const std::string& folder) { return folder + "/" + kNativeHostName + ".json"; }

// The whole file when it is a regular file of at most kMaxManifestSize
// bytes; otherwise the reason in problem.
bool ReadManifest(const std::string& file, std::string& text, std::string& problem) {
    const FileDescriptor fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat status {};
    if (fd.get() < 0 || fstat(fd.get(), &status) != 0) {
        problem = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = "not a regular file";
        return false;
    }
    if (static_cast<unsigned long long>(status.st_size) > kMaxManifestSize) {
        problem = "larger than " + std::to_string(kMaxManifestSize) + " bytes";
        return false;
    }
    text.clear();
    char block[8192];
    for (;;) {
        const ssize_t got = read(fd.get(), block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            problem = std::strerror(errno);
            return false;
        }
        if (got == 0) return true;
        // The file may grow while it is read.
        if (text.size() + static_cast<size_t>(got) > kMaxManifestSize) {
            problem = "larger than " + std::to_string(kMaxManifestSize) + " bytes";
            return false;
        }
        text.append(block, static_cast<size_t>(got));
    }
}

// The reader's message on one line, without its bullet.
std::string OneLine(const std::string& message) {
    std::string line;
    for (const char c : message) {
        const bool blank = c == ' ' || c == '\n' || c == '\t' || c == '\r';
        if (blank && (line.empty() || line.back() == ' ')) continue;
        line += blank ? ' ' : c;
    }
    if (line.rfind("* ", 0) == 0) line.erase(0, 2);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

// Strict JSON, as the browsers read it: no comments, nothing after the object.
bool ParseManifest(const std::string& text, Json::Value& manifest, std::string& problem) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = 100;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &manifest, &errors)) {
        problem = OneLine(errors);
        return false;
    }
    if (!manifest.isObject()) {
        problem = "not a JSON object";
        return false;
    }
    return true;
}

std::string TextMember(const Json::Value& manifest, const char* name) {
    const Json::Value& member = manifest[name];
    return member.isString() ? member.asString() : std::string();
}

void ExaminePath(ManifestFinding& finding, const HostIdentity& host) {
    finding.pathAbsolute = !finding.hostPath.empty() && finding.hostPath[0] == '/';
    if (!finding.pathAbsolute) return;
    struct stat status {};
    if (stat(finding.hostPath.c_str(), &status) != 0) return;
    finding.namesThisHost = host.known && status.st_dev == host.device && status.st_ino == host.inode;
    finding.executable = S_ISREG(status.st_mode) && access(finding.hostPath.c_str(), X_OK) == 0;
}

}  // namespace

ManifestRoots ManifestRootsOfThisUser() {
    ManifestRoots roots;
    roots.home = HomeFolder();
    const char* config = std::getenv("XDG_CONFIG_HOME");
    roots.configHome = config != nullptr && *config != '\0' ? config : roots.home + "/.config";
    roots.chromeSystem = SystemFolders({kChromeSystemFolder}, TH_CHROME_MANIFEST_DIR);
    roots.chromiumSystem = SystemFolders({kChromiumSystemFolder}, TH_CHROMIUM_MANIFEST_DIR);
    roots.firefoxSystem =
        SystemFolders({kFirefoxSystemFolders[0], kFirefoxSystemFolders[1]}, TH_FIREFOX_MANIFEST_DIR);
    return roots;
}

std::vector<ManifestPlace> ManifestPlaces(const ManifestRoots& roots) {
    std::vector<ManifestPlace> places;
    const auto add = [&places](Browser browser, const std::string& userFolder,
                               const std::vector<std::string>& systemFolders) {
        places.push_back({browser, true, ManifestFile(userFolder)});
        for (const std::string& folder : systemFolders) places.push_back({browser, false, ManifestFile(folder)});
    };
    add(Browser::Chrome, roots.configHome + "/google-chrome/NativeMessagingHosts", roots.chromeSystem);
    add(Browser::Chromium, roots.configHome + "/chromium/NativeMessagingHosts", roots.chromiumSystem);
    add(Browser::Firefox, roots.home + "/.mozilla/native-messaging-hosts", roots.firefoxSystem);
    return places;
}

HostIdentity IdentifyHost(const std::string& path) {
    HostIdentity host;
    host.path = path;
    struct stat status {};
    if (!path.empty() && stat(path.c_str(), &status) == 0) {
        host.device = status.st_dev;
        host.inode = status.st_ino;
        host.known = true;
    }
    return host;
}

bool ManifestFinding::StartsThisHost() const {
    return parses && nameMatches && namesThisHost && executable && type == "stdio" && !allowed.empty();
}

ManifestFinding ExamineManifest(const ManifestPlace& place, const HostIdentity& host) {
    ManifestFinding finding;
    finding.place = place;
    struct stat status {};
    if (stat(place.file.c_str(), &status) != 0) {
        const int error = errno;
        // A link to nothing counts as no file, as it does for the browser.
        finding.exists = error != ENOENT;
        if (finding.exists) finding.problem = std::strerror(error);
        return finding;
    }
    finding.exists = true;
    std::string text;
    Json::Value manifest;
    if (!ReadManifest(place.file, text, finding.problem) || !ParseManifest(text, manifest, finding.problem)) {
        return finding;
    }
    finding.parses = true;
    finding.name = TextMember(manifest, "name");
    finding.nameMatches = finding.name == kNativeHostName;
    finding.hostPath = TextMember(manifest, "path");
    ExaminePath(finding, host);
    finding.type = TextMember(manifest, "type");
    const Json::Value& allowed = manifest[AllowedMember(place.browser)];
    if (allowed.isArray()) {
        for (const Json::Value& entry : allowed) {
            if (entry.isString()) finding.allowed.push_back(entry.asString());
        }
    }
    return finding;
}

const char* AllowedMember(Browser browser) {
    return browser == Browser::Firefox ? "allowed_extensions" : "allowed_origins";
}

const char* BrowserName(Browser browser) {
    switch (browser) {
    case Browser::Chrome:
        return "Chrome";
    case Browser::Chromium:
        return "Chromium";
    case Browser::Firefox:
        return "Firefox";
    }
    return "";
}
