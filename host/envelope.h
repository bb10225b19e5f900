// Requests in, reply envelopes out: the JSON side of the message stream.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <json/value.h>

// Parses one request body. False for text that is not JSON, including
// nesting deeper than the reader accepts; the value may then hold anything.
bool ParseRequest(const std::string& body, Json::Value& request);

// String values of at least this many characters are decoded by
// ParseRequestBody where they lie.
constexpr size_t kMinInPlaceLiteral = 64 * 1024;

// The same for a body it takes over and frees before it returns. Long string
// values are decoded in the body and copied out once, while the JSON library
// reads the rest: a request is never held more than twice over, where the
// library alone would hold it three times (its own decoded copy, and the
// value made from that).
bool ParseRequestBody(std::string body, Json::Value& request, size_t minInPlaceLength = kMinInPlaceLiteral);

// The reply envelope {"cmd","lastData","tabID","text"} in compact form with
// one trailing newline. "tabID" is the request's "tabID" as an integer (0 when
// absent); the caller makes sure it converts.
std::string GetJsonTypeStr(const std::string& cmd, const Json::Value& request, long text, bool lastData);
std::string GetJsonTypeStr(const std::string& cmd, const Json::Value& request, const std::string& text,
                           bool lastData);

// The same envelope for a string "text", as the bytes before and after the
// text, so that a large text need not be copied into it: head + text + tail
// equals GetJsonTypeStr(cmd, request, text, lastData). False, leaving head
// and tail alone, when the text holds characters that JSON escapes.
bool GetJsonTypeStrAround(const std::string& cmd, const Json::Value& request, std::string_view text, bool lastData,
                          std::string& head, std::string& tail);
