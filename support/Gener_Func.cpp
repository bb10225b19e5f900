#include "support/Gener_Func.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

std::string ToUpper(const char* text) {
    std::string result = text ? text : "";
    for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// A bare name matches when it stands right after a "CN=" in the DN.
int MatchBareName(const std::string& dn, const std::string& name) {
    size_t from = 0;
    for (size_t p; (p = dn.find(name, from)) != std::string::npos; from = p + name.size()) {
        if (p >= 3 && dn.compare(p - 3, 3, "CN=") == 0) return 1;
    }
    return 0;
}

// The item that starts at "start" and runs up to the next "," (or the end).
// trailingComma tells whether that "," is the pattern's last character.
struct PatternItem {
    std::string text;
    size_t end = std::string::npos;  // position of the closing ",", npos at the end
    bool trailingComma = false;
};

PatternItem ItemAt(const std::string& pattern, size_t start) {
    PatternItem item;
    if (start == std::string::npos) return item;
    item.end = pattern.find(',', start);
    item.text = pattern.substr(start, item.end == std::string::npos ? std::string::npos : item.end - start);
    item.trailingComma = item.end != std::string::npos && item.end + 1 == pattern.size();
    return item;
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> pieces;
    size_t from = 0;
    for (size_t p; (p = text.find(separator, from)) != std::string::npos; from = p + separator.size()) {
        pieces.push_back(text.substr(from, p - from));
    }
    pieces.push_back(text.substr(from));
    return pieces;
}

bool AlternativeMatches(const std::string& dn, const std::string& alternative) {
    if (alternative.size() != dn.size()) return false;
    if (!Contains(alternative, ",")) return alternative == dn;
    for (const std::string& piece : Split(alternative, ",")) {
        if (!Contains(dn, piece)) return false;
    }
    return true;
}

}  // namespace

std::string InvertDN(const char* oneLine, int /*length*/) {
    const std::string text = oneLine ? oneLine : "";
    if (!Contains(text, "/")) return text;

    std::string result;
    result.reserve(text.size());
    size_t end = text.size();
    for (;;) {
        const size_t slash = text.rfind('/', end);
        if (slash == std::string::npos || slash == 0) {
            result.append(text, 1, end);
            break;
        }
        result.append(text, slash + 1, end - slash);
        result += ',';
        end = slash - 1;
    }

    static const std::string kEmailName = "emailAddress";
    const size_t email = result.find(kEmailName);
    if (email != std::string::npos) result.replace(email, kEmailName.size(), "E");
    return result;
}

int SignMatchDN(const char* certDn, const char* pattern) {
    const std::string dn = ToUpper(certDn);
    const std::string wanted = ToUpper(pattern);
    if (wanted.empty()) return 0;

    if (!Contains(wanted, "CN=")) {
        if (Contains(wanted, ",") || Contains(wanted, "=")) return 0;
        return MatchBareName(dn, wanted);
    }

    const PatternItem cn1 = ItemAt(wanted, wanted.find("CN="));
    if (cn1.trailingComma) return 0;
    PatternItem cn2;
    if (cn1.end != std::string::npos) {
        cn2 = ItemAt(wanted, wanted.find("CN=", cn1.end));
        if (cn2.trailingComma) return 0;
    }
    const PatternItem ou = ItemAt(wanted, wanted.find("OU="));
    const PatternItem o = ItemAt(wanted, wanted.find("O="));

    if (!cn2.text.empty() && !Contains(dn, cn2.text)) return 0;
    if (!cn1.text.empty() && !ou.text.empty() && !o.text.empty()) {
        return Contains(dn, cn1.text) && Contains(dn, ou.text) && Contains(dn, o.text) ? 1 : 0;
    }
    return Contains(dn, cn1.text) ? 1 : 0;
}

int IsMatchCertDN(const char* certDn, const char* alternatives) {
    std::string dn = ToUpper(certDn);
    dn.erase(std::remove(dn.begin(), dn.end(), ' '), dn.end());
    for (const std::string& alternative : Split(ToUpper(alternatives), "||")) {
        if (AlternativeMatches(dn, alternative)) return 1;
    }
    return 0;
}

void TransLength(unsigned char* field, uint64_t value) {
    field[4] = static_cast<unsigned char>(value >> 24);
    field[5] = static_cast<unsigned char>(value >> 16);
    field[6] = static_cast<unsigned char>(value >> 8);
    field[7] = static_cast<unsigned char>(value);
}

void InvertBuffer(unsigned char* bytes, uint64_t count) {
    if (bytes == nullptr || count < 2) return;
    std::reverse(bytes, bytes + count);
}
