// The browsers' native-messaging manifests for this host: where Chrome,
// Chromium and Firefox look for them, and what the one found in a folder
// says about starting this host.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// The host's name in the manifests, as the build installs them.
extern const char* const kNativeHostName;

// Manifests larger than this are not read.
constexpr size_t kMaxManifestSize = 1 << 20;

enum class Browser { Chrome, Chromium, Firefox };

// The folders the browsers read, system-wide and for one user, given apart
// so that tests can point them at a scratch tree.
struct ManifestRoots {
    std::string home;        // the user's home folder (Firefox: ~/.mozilla)
    std::string configHome;  // XDG_CONFIG_HOME, or ~/.config (Chrome, Chromium)
    std::vector<std::string> chromeSystem;
    std::vector<std::string> chromiumSystem;
    std::vector<std::string> firefoxSystem;
};

// This user's roots (HOME, XDG_CONFIG_HOME as packaging/install-user.sh
// reads them) and the system folders: the browsers' own, and those the build
// was configured to install into.
ManifestRoots ManifestRootsOfThisUser();

struct ManifestPlace {
    Browser browser;
    bool forUser;  // else system-wide
    std::string file;
};

// Every place a manifest for this host may lie, grouped by browser, the
// user's before the system's: the order in which the browsers look.
std::vector<ManifestPlace> ManifestPlaces(const ManifestRoots& roots);

// This program, as stat() sees it: manifests name it if they name the same
// file, however spelled and through whatever links.
struct HostIdentity {
    std::string path;  // /proc/self/exe resolved
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
};
HostIdentity IdentifyHost(const std::string& path);

// What one manifest file says. Fields past the first failure keep their
// defaults.
struct ManifestFinding {
    ManifestPlace place;
    bool exists = false;
    std::string problem;  // why it cannot be read or parsed; empty when it can
    bool parses = false;
    std::string name;
    bool nameMatches = false;
    std::string hostPath;  // "path"
    bool pathAbsolute = false;
    bool namesThisHost = false;
    bool executable = false;
    std::string type;
    std::vector<std::string> allowed;  // "allowed_origins" or "allowed_extensions"
    // Whether this manifest lets the browser start this host for at least
    // one extension.
    bool StartsThisHost() const;
};

ManifestFinding ExamineManifest(const ManifestPlace& place, const HostIdentity& host);

// The member listing who may start the host: "allowed_extensions" for
// Firefox, "allowed_origins" for the others.
const char* AllowedMember(Browser browser);
const char* BrowserName(Browser browser);
