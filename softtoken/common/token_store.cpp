#include "softtoken/common/token_store.h"

#include <sstream>

namespace softtoken {

namespace {
constexpr const char* kFaultFile = "fault";
constexpr const char* kIpTypeFile = "iptype";

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}
}  // namespace

std::string TokenStore::TokenFileName(int number) { return "token" + std::to_string(number) + ".json"; }

std::optional<Token> TokenStore::Load(int number) const {
    if (number < 1 || number > kMaxTokens) return std::nullopt;
    std::string text;
    if (!dir_.Read(TokenFileName(number), text)) return std::nullopt;
    auto token = ParseToken(text);
    if (!token || token->number != number) return std::nullopt;
    return token;
}

bool TokenStore::Save(const Token& token) const {
    if (token.number < 1 || token.number > kMaxTokens) return false;
    return dir_.WriteAtomically(TokenFileName(token.number), SerializeToken(token));
}

bool TokenStore::Remove(int number) const { return dir_.Remove(TokenFileName(number)); }

std::vector<Token> TokenStore::LoadAll() const {
    std::vector<Token> tokens;
    for (int number = 1; number <= kMaxTokens; ++number) {
        if (auto token = Load(number)) tokens.push_back(std::move(*token));
    }
    return tokens;
}

std::optional<Token> TokenStore::LoadBySlot(CK_SLOT_ID slot) const {
    std::optional<Token> unplugged;
    for (Token& token : LoadAll()) {
        if (token.slotId != slot) continue;
        if (token.plugged) return std::move(token);
        if (!unplugged) unplugged = std::move(token);
    }
    return unplugged;
}

unsigned long long TokenStore::ReadCounter(const std::string& name) const {
    std::string text;
    if (!dir_.Read(name, text)) return 0;
    return ParseNumber(Trimmed(text)).value_or(0);
}

bool TokenStore::WriteCounter(const std::string& name, unsigned long long value) const {
    return dir_.WriteAtomically(name, std::to_string(value) + "\n");
}

std::optional<FaultPlan> TokenStore::LoadFault() const {
    std::string text;
    if (!dir_.Read(kFaultFile, text)) return std::nullopt;
    std::istringstream in(text);
    std::string call, rv;
    if (!(in >> call >> rv)) return std::nullopt;
    auto callNumber = ParseNumber(call);
    auto rvNumber = ParseNumber(rv);
    if (!callNumber || !rvNumber) return std::nullopt;
    return FaultPlan{*callNumber, static_cast<CK_RV>(*rvNumber)};
}

bool TokenStore::SaveFault(const FaultPlan& plan) const {
    std::ostringstream out;
    out << plan.call << " 0x" << std::hex << plan.rv << "\n";
    return dir_.WriteAtomically(kFaultFile, out.str());
}

bool TokenStore::ClearFault() const { return dir_.Remove(kFaultFile); }

std::optional<long long> TokenStore::LoadIpType() const {
    std::string text;
    if (!dir_.Read(kIpTypeFile, text)) return std::nullopt;
    std::string value = Trimmed(text);
    bool negative = !value.empty() && value[0] == '-';
    auto number = ParseNumber(negative ? value.substr(1) : value);
    if (!number || *number > 0x7FFFFFFFu) return std::nullopt;  // E_SetIPType takes an int
    return negative ? -static_cast<long long>(*number) : static_cast<long long>(*number);
}

bool TokenStore::SaveIpType(long long value) const {
    return dir_.WriteAtomically(kIpTypeFile, std::to_string(value) + "\n");
}

}  // namespace softtoken
