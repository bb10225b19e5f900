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
