#include "softtoken/common/state_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace softtoken {

std::optional<StateDir> StateDir::FromEnvironment() {
    const char* dir = std::getenv("SOFTTOKEN_DIR");
    if (!dir || !*dir) return std::nullopt;
    return StateDir(dir);
}

bool StateDir::Read(const std::string& name, std::string& content) const {
    std::ifstream in(PathOf(name), std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return false;
    content = buffer.str();
    return true;
}

bool StateDir::WriteAtomically(const std::string& name, const std::string& content) const {
    // The pid keeps two processes writing the same file from sharing a temporary.
    std::string temporary = PathOf("." + name + ".tmp." + std::to_string(getpid()));
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.flush();
        if (!out) {
            out.close();
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), PathOf(name).c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool StateDir::Exists(const std::string& name) const {
    struct stat info {};
    return stat(PathOf(name).c_str(), &info) == 0;
}

bool StateDir::Remove(const std::string& name) const {
    return std::remove(PathOf(name).c_str()) == 0 || errno == ENOENT;
}

bool StateDir::Ensure() const {
    struct stat info {};
    if (stat(path_.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    return mkdir(path_.c_str(), 0700) == 0;
}

}  // namespace softtoken
