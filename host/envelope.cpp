#include "host/envelope.h"

#include <algorithm>
#include <memory>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>

#include "host/json_literals.h"

namespace {

// Same acceptance as the classic jsoncpp reader: comments allowed, trailing
// text ignored, no trailing commas, no single quotes, depth limited.
constexpr int kMaxNestingDepth = 1000;

std::unique_ptr<Json::CharReader> MakeRequestReader() {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["allowComments"] = true;
    builder["allowTrailingCommas"] = false;
    builder["strictRoot"] = false;
    builder["allowDroppedNullPlaceholders"] = false;
    builder["allowNumericKeys"] = false;
    builder["allowSingleQuotes"] = false;
    builder["stackLimit"] = kMaxNestingDepth;
    builder["failIfExtra"] = false;
    builder["rejectDupKeys"] = false;
    builder["allowSpecialFloats"] = false;
    builder["skipBom"] = false;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

// Compact output with a final newline: the bytes the classic fast writer
// produces.
std::string WriteCompact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";
    builder["enableYAMLCompatibility"] = false;
    builder["dropNullPlaceholders"] = false;
    builder["useSpecialFloats"] = false;
    builder["emitUTF8"] = false;
    return Json::writeString(builder, value) + "\n";
}

Json::Value EnvelopeWithoutText(const std::string& cmd, const Json::Value& request, bool lastData) {
    Json::Value envelope(Json::objectValue);
    envelope["cmd"] = cmd;
    envelope["tabID"] = request["tabID"].asInt();
    envelope["lastData"] = lastData;
    return envelope;
}

// 0 for printable ASCII but the quote and the backslash: what the writer
// passes through unescaped; 1 for anything else.
unsigned char NotPlain(unsigned char c) {
    return static_cast<unsigned char>(static_cast<unsigned char>(c - 0x20) >= 0x7F - 0x20) |
           static_cast<unsigned char>(c == '"') | static_cast<unsigned char>(c == '\\');
}

bool IsPlainText(std::string_view text) {
    // Fixed-size blocks without an early exit, so that the compiler checks
    // many bytes per instruction: a signing result is tens of megabytes.
    constexpr size_t kBlock = 256;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t left = text.size();
    unsigned char notPlain = 0;
    for (; left >= kBlock; p += kBlock, left -= kBlock) {
        for (size_t i = 0; i < kBlock; ++i) notPlain |= NotPlain(p[i]);
    }
    for (; left > 0; ++p, --left) notPlain |= NotPlain(*p);
    return notPlain == 0;
}

// Checked once against the JSON library itself, so another version of it
// that escapes more cannot make the two forms differ.
bool WriterPassesPlainTextThrough() {
    static const bool passes = [] {
        std::string all;
        for (int c = 0; c < 256; ++c) {
            if (NotPlain(static_cast<unsigned char>(c)) == 0) all += static_cast<char>(c);
        }
        Json::Value probe(Json::objectValue);
        probe["text"] = all;
        return WriteCompact(probe) == "{\"text\":\"" + all + "\"}\n";
    }();
    return passes;
}

// The string values of a parsed tree that stand where the skeleton of
// ParseRequestBody has its emptied literals; false unless each of them is
// found, as a value, exactly once.
class EmptiedLiteralValues {
public:
    explicit EmptiedLiteralValues(std::vector<size_t> offsets)
        : offsets_(std::move(offsets)), values_(offsets_.size(), nullptr) {}

    bool Collect(Json::Value& root) {
        Visit(root);
        return std::find(values_.begin(), values_.end(), nullptr) == values_.end();
    }
    Json::Value& operator[](size_t index) { return *values_[index]; }

private:
    void Visit(Json::Value& value) {
        if (value.isObject() || value.isArray()) {
            for (Json::Value& member : value) Visit(member);
            return;
        }
        if (!value.isString()) return;
        const auto at = std::lower_bound(offsets_.begin(), offsets_.end(),
                                         static_cast<size_t>(value.getOffsetStart()));
        if (at != offsets_.end() && *at == static_cast<size_t>(value.getOffsetStart())) {
            values_[static_cast<size_t>(at - offsets_.begin())] = &value;
        }
    }

    std::vector<size_t> offsets_;  // ascending, as the literals come
    std::vector<Json::Value*> values_;
};

bool ParseWith(Json::CharReader& reader, const std::string& text, Json::Value& value) {
    try {
        return reader.parse(text.data(), text.data() + text.size(), &value, nullptr);
    } catch (const Json::Exception&) {
        // Raised for nesting beyond the limit.
        return false;
    }
}

}  // namespace

bool ParseRequest(const std::string& body, Json::Value& request) {
    const std::unique_ptr<Json::CharReader> reader = MakeRequestReader();
    return ParseWith(*reader, body, request);
}

bool ParseRequestBody(std::string body, Json::Value& request, size_t minInPlaceLength) {
    const std::vector<JsonLiteral> literals = FindLongValueLiterals(body, minInPlaceLength);
    if (literals.empty()) return ParseRequest(body, request);

    // The body with those literals emptied: what the reader then copies is small.
    std::string skeleton;
    std::vector<size_t> offsets;
    size_t copied = 0;
    for (const JsonLiteral& literal : literals) {
        skeleton.append(body, copied, literal.begin - copied);
        offsets.push_back(skeleton.size());
        skeleton += "\"\"";
        copied = literal.end;
    }
    skeleton.append(body, copied, std::string::npos);

    // Read as the whole body would be up to each emptied literal, each one
    // found as a value shows that the reader took the same literal of the
    // body for a value: anything else is left to the reader on the body.
    const std::unique_ptr<Json::CharReader> reader = MakeRequestReader();
    EmptiedLiteralValues values(std::move(offsets));
    if (!ParseWith(*reader, skeleton, request) || !values.Collect(request)) return ParseWith(*reader, body, request);
    skeleton = std::string();

    for (size_t i = 0; i < literals.size(); ++i) {
        char* const characters = &body[literals[i].begin + 1];
        const size_t length = DecodeLiteralInPlace(characters, literals[i].end - literals[i].begin - 2);
        // The reader refuses the same escape.
        if (length == std::string::npos) return false;
        values[i] = Json::Value(characters, characters + length);
    }
    return true;
}

std::string GetJsonTypeStr(const std::string& cmd, const Json::Value& request, long text, bool lastData) {
    Json::Value envelope = EnvelopeWithoutText(cmd, request, lastData);
    envelope["text"] = static_cast<Json::Int64>(text);
    return WriteCompact(envelope);
}

std::string GetJsonTypeStr(const std::string& cmd, const Json::Value& request, const std::string& text,
                           bool lastData) {
    Json::Value envelope = EnvelopeWithoutText(cmd, request, lastData);
    envelope["text"] = text;
    return WriteCompact(envelope);
}

bool GetJsonTypeStrAround(const std::string& cmd, const Json::Value& request, std::string_view text, bool lastData,
                          std::string& head, std::string& tail) {
    if (!WriterPassesPlainTextThrough() || !IsPlainText(text)) return false;
    const std::string empty = GetJsonTypeStr(cmd, request, std::string(), lastData);
    // "text" sorts last, so the empty text's quotes close the envelope.
    const std::string closing = "\"\"}\n";
    if (empty.size() < closing.size() || empty.compare(empty.size() - closing.size(), closing.size(), closing) != 0) {
        return false;
    }
    head = empty.substr(0, empty.size() - closing.size() + 1);
    tail = closing.substr(1);
    return true;
}
