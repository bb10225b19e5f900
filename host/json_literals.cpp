#include "host/json_literals.h"

#include <cstring>

namespace {

constexpr size_t kNone = std::string::npos;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Past the literal whose quote is at begin; a backslash takes the next
// character along, whatever it is, so a quote closes the literal when an even
// number of backslashes stands before it. kNone when the text ends first.
size_t SkipLiteral(std::string_view text, size_t begin) {
    for (size_t at = begin + 1;;) {
        const size_t quote = text.find('"', at);
        if (quote == std::string_view::npos) return kNone;
        size_t backslashes = 0;
        while (quote - backslashes > begin + 1 && text[quote - backslashes - 1] == '\\') ++backslashes;
        if (backslashes % 2 == 0) return quote + 1;
        at = quote + 1;
    }
}

// Past the comment whose slash is at begin. A block comment ends at the first
// "*/" after its opening "/*" (so "/*/" is one); a line comment at a line
// feed, a carriage return, or both. kNone when the reader refuses it.
size_t SkipComment(std::string_view text, size_t begin) {
    size_t at = begin + 1;
    if (at >= text.size()) return kNone;
    const char kind = text[at++];
    if (kind == '*') {
        while (at + 1 < text.size()) {
            const char c = text[at++];
            if (c == '*' && text[at] == '/') break;
        }
        return at < text.size() && text[at] == '/' ? at + 1 : kNone;
    }
    if (kind != '/') return kNone;
    while (at < text.size()) {
        const char c = text[at++];
        if (c == '\n') break;
        if (c == '\r') {
            if (at < text.size() && text[at] == '\n') ++at;
            break;
        }
    }
    return at;
}

bool FollowedByValueEnd(std::string_view text, size_t at) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    return at < text.size() && (text[at] == ',' || text[at] == '}' || text[at] == ']');
}

bool ReadHexQuad(const char*& at, const char* end, unsigned int& value) {
    if (end - at < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = *at++;
        value *= 16;
        if (c >= '0' && c <= '9') {
            value += static_cast<unsigned int>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            value += static_cast<unsigned int>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            value += static_cast<unsigned int>(c - 'A' + 10);
        } else {
            return false;
        }
    }
    return true;
}

// A "\u" escape after its "u": a high surrogate must be followed by a second
// escape, whose low ten bits complete the code point whatever it holds.
bool ReadCodePoint(const char*& at, const char* end, unsigned int& codePoint) {
    if (!ReadHexQuad(at, end, codePoint)) return false;
    if (codePoint < 0xD800 || codePoint > 0xDBFF) return true;
    if (end - at < 6 || at[0] != '\\' || at[1] != 'u') return false;
    at += 2;
    unsigned int low = 0;
    if (!ReadHexQuad(at, end, low)) return false;
    codePoint = 0x10000 + ((codePoint & 0x3FF) << 10) + (low & 0x3FF);
    return true;
}

char* PutUtf8(char* out, unsigned int codePoint) {
    if (codePoint <= 0x7F) {
        *out++ = static_cast<char>(codePoint);
    } else if (codePoint <= 0x7FF) {
        *out++ = static_cast<char>(0xC0 | (codePoint >> 6));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint <= 0xFFFF) {
        *out++ = static_cast<char>(0xE0 | (codePoint >> 12));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (codePoint >> 18));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    }
    return out;
}

char Unescaped(char escape) {
    switch (escape) {
    case '"': return '"';
    case '/': return '/';
    case '\\': return '\\';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return '\0';
    }
}

}  // namespace

std::vector<JsonLiteral> FindLongValueLiterals(std::string_view text, size_t minLength) {
    std::vector<JsonLiteral> found;
    for (size_t at = 0; at < text.size();) {
        if (text[at] == '"') {
            const size_t end = SkipLiteral(text, at);
            if (end == kNone) break;
            if (end - at - 2 >= minLength && FollowedByValueEnd(text, end)) found.push_back({at, end});
            at = end;
        } else if (text[at] == '/') {
            at = SkipComment(text, at);
            if (at == kNone) break;
        } else {
            ++at;
        }
    }
    return found;
}

size_t DecodeLiteralInPlace(char* characters, size_t length) {
    // Every escape is longer than what it stands for, so the output never
    // overtakes the input; text without escapes is moved in runs.
    const char* in = characters;
    const char* const end = characters + length;
    char* out = characters;
    while (in != end) {
        const auto* found = static_cast<const char*>(std::memchr(in, '\\', static_cast<size_t>(end - in)));
        const char* const runEnd = found ? found : end;
        if (out != in) std::memmove(out, in, static_cast<size_t>(runEnd - in));
        out += runEnd - in;
        in = runEnd;
        if (in == end) break;
        if (++in == end) return kNone;
        const char escape = *in++;
        if (escape == 'u') {
            unsigned int codePoint = 0;
            if (!ReadCodePoint(in, end, codePoint)) return kNone;
            out = PutUtf8(out, codePoint);
            continue;
        }
        const char plain = Unescaped(escape);
        if (plain == '\0') return kNone;
        *out++ = plain;
    }
    return static_cast<size_t>(out - characters);
}
