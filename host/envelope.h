// Requests in, reply envelopes out: the JSON side of the message stream.
#pragma once

#include <string>

#include <json/value.h>

// Parses one request body. False for text that is not JSON, including
// nesting deeper than the reader accepts; the value may then hold anything.
bool ParseRequest(const std::string& body, Json::Value& request);

// The reply envelope {"cmd","lastData","tabID","text"} in compact form with
// one trailing newline. "tabID" is the request's "tabID" as an integer (0 when
// absent); the caller makes sure it converts.
std::string GetJsonTypeStr(const std::string& cmd, const Json::Value& request, long text, bool lastData);
std::string GetJsonTypeStr(const std::string& cmd, const Json::Value& request, const std::string& text,
                           bool lastData);
