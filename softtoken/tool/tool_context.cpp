#include "softtoken/tool/tool_context.h"

#include <fstream>
#include <iterator>

namespace softtoken::tool {

namespace {
const std::set<std::string> kFlagOptions = {"clear", "no-cert"};
}

ToolArgs ToolArgs::Parse(const std::vector<std::string>& words) {
    ToolArgs args;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
            std::string name = word.substr(2);
            if (kFlagOptions.count(name)) {
                args.flags.insert(name);
                continue;
            }
            if (i + 1 >= words.size()) throw ToolError("option " + word + " needs a value");
            args.options[name] = words[++i];
        } else if (args.command.empty()) {
            args.command = word;
        } else {
            args.positional.push_back(word);
        }
    }
    return args;
}

std::string ToolContext::Option(const std::string& option, const std::string& fallback) const {
    auto it = args_.options.find(option);
    return it == args_.options.end() ? fallback : it->second;
}

std::string ToolContext::Required(const std::string& option) const {
    if (!Has(option)) throw ToolError("missing --" + option);
    return Option(option);
}

unsigned long long ToolContext::Number(const std::string& option, unsigned long long fallback,
                                       unsigned long long max) const {
    if (!Has(option)) return fallback;
    auto value = ParseNumber(Option(option));
    if (!value || *value > max) throw ToolError("bad value for --" + option + ": " + Option(option));
    return *value;
}

bool ToolContext::OnOff(const std::string& option) const {
    std::string value = Option(option);
    if (value == "on") return true;
    if (value == "off") return false;
    throw ToolError("--" + option + " takes on or off");
}

int ToolContext::TokenNumber() const {
    auto number = Number("token", 1, kMaxTokens);
    if (number < 1) throw ToolError("tokens are numbered 1 to " + std::to_string(kMaxTokens));
    return static_cast<int>(number);
}

Token ToolContext::LoadToken() const {
    int number = TokenNumber();
    auto token = store_.Load(number);
    if (!token) throw ToolError("token " + std::to_string(number) + " does not exist (softtoken-tool init)");
    return *token;
}

void ToolContext::SaveToken(const Token& token) const {
    if (!store_.Save(token)) throw ToolError("cannot write token " + std::to_string(token.number));
}

std::vector<char> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError("cannot read " + path);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw ToolError("cannot write " + path);
}

}  // namespace softtoken::tool
