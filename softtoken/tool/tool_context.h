// Command-line plumbing of softtoken-tool: parsed arguments, the state
// directory, and helpers shared by the commands.
#pragma once

#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "softtoken/common/token_store.h"

namespace softtoken::tool {

// A failure to report on stderr with exit status 1.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ToolArgs {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // "--name value", stored without the dashes
    std::set<std::string> flags;                 // options without value ("--clear")

    static ToolArgs Parse(const std::vector<std::string>& words);
};

class ToolContext {
public:
    ToolContext(ToolArgs args, TokenStore store, std::ostream& out)
        : args_(std::move(args)), store_(std::move(store)), out_(out) {}

    const ToolArgs& args() const { return args_; }
    const TokenStore& store() const { return store_; }
    std::ostream& out() { return out_; }

    bool Has(const std::string& option) const { return args_.options.count(option) != 0; }
    bool Flag(const std::string& flag) const { return args_.flags.count(flag) != 0; }
    std::string Option(const std::string& option, const std::string& fallback = "") const;
    std::string Required(const std::string& option) const;
    unsigned long long Number(const std::string& option, unsigned long long fallback, unsigned long long max) const;
    bool OnOff(const std::string& option) const;

    // --token N (default 1).
    int TokenNumber() const;
    Token LoadToken() const;  // the --token one; fails when it does not exist
    void SaveToken(const Token& token) const;

private:
    ToolArgs args_;
    TokenStore store_;
    std::ostream& out_;
};

std::vector<char> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);

}  // namespace softtoken::tool
