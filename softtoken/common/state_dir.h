// The token's state directory: small files, each replaced atomically so that
// a reader (the module in a running host, or the tool) never sees half of one.
#pragma once

#include <optional>
#include <string>

namespace softtoken {

class StateDir {
public:
    explicit StateDir(std::string path) : path_(std::move(path)) {}

    // The directory named by SOFTTOKEN_DIR; nullopt when unset or empty.
    static std::optional<StateDir> FromEnvironment();

    const std::string& path() const { return path_; }
    std::string PathOf(const std::string& name) const { return path_ + "/" + name; }

    // False when the file is missing or unreadable.
    bool Read(const std::string& name, std::string& content) const;
    // Writes a sibling temporary file and renames it over the target.
    bool WriteAtomically(const std::string& name, const std::string& content) const;
    bool Exists(const std::string& name) const;
    bool Remove(const std::string& name) const;
    // Creates the directory itself when missing.
    bool Ensure() const;

private:
    std::string path_;
};

}  // namespace softtoken
