#include "host/envelope.h"

#include <memory>

#include <json/reader.h>
#include <json/writer.h>

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

}  // namespace

bool ParseRequest(const std::string& body, Json::Value& request) {
    const std::unique_ptr<Json::CharReader> reader = MakeRequestReader();
    try {
        return reader->parse(body.data(), body.data() + body.size(), &request, nullptr);
    } catch (const Json::Exception&) {
        // Raised for nesting beyond the limit.
        return false;
    }
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
