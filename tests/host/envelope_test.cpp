// The reply envelope must be byte for byte what the classic jsoncpp fast
// writer produces, and requests must parse as the classic reader parses them.
#include <gtest/gtest.h>

#include <string>

#include <json/json.h>

#include "host/envelope.h"

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string FastWriterBytes(const Json::Value& value) {
    Json::FastWriter writer;
    return writer.write(value);
}

bool ClassicParse(const std::string& text, Json::Value& value) {
    Json::Reader reader;
    return reader.parse(text, value, false);
}
#pragma GCC diagnostic pop

Json::Value ClassicEnvelope(const std::string& cmd, int tabId, const Json::Value& text, bool lastData) {
    Json::Value envelope;
    envelope["cmd"] = cmd;
    envelope["tabID"] = tabId;
    envelope["text"] = text;
    envelope["lastData"] = lastData;
    return envelope;
}

Json::Value Request(const std::string& json) {
    Json::Value request;
    EXPECT_TRUE(ParseRequest(json, request)) << json;
    return request;
}

TEST(Envelope, MatchesTheExampleByteForByte) {
    EXPECT_EQ(GetJsonTypeStr("ChangePin", Request(R"({"ZEKA":"ChangePin","tabID":7})"), 0L, true),
              "{\"cmd\":\"ChangePin\",\"lastData\":true,\"tabID\":7,\"text\":0}\n");
}

TEST(Envelope, StringTextsEqualFastWriterOutput) {
    const std::string texts[] = {
        "",
        "1.0.21.1015",
        "quote\" backslash\\ slash/ tab\t newline\n cr\r bell\x07 del\x7f",
        "CN=\xe5\xbc\xa0\xe4\xb8\x89,O=Bank",      // UTF-8 Chinese
        "emoji \xf0\x9f\x94\x91 end",               // outside the BMP
        "broken \xe5\xbc utf-8 \xff\xfe tail",      // invalid sequences
        "GB18030 \xd5\xc5\xc8\xfd",
        std::string(3000000, 'A'),
    };
    for (const std::string& text : texts) {
        for (bool last : {true, false}) {
            const Json::Value request = Request(R"({"tabID":-42})");
            EXPECT_EQ(GetJsonTypeStr("GMUsbKeySign", request, text, last),
                      FastWriterBytes(ClassicEnvelope("GMUsbKeySign", -42, text, last)))
                << text.substr(0, 40);
        }
    }
}

// The split form lets large texts go out uncopied; it must never differ
// from the whole envelope, and must serve every printable character but the
// two that JSON escapes, whether the text is checked bytewise or in blocks.
void ExpectAroundMatchesWhole(const Json::Value& request, const std::string& text, bool plain) {
    for (bool last : {true, false}) {
        std::string head = "untouched", tail = "untouched";
        const bool split = GetJsonTypeStrAround("GMUsbKeySign", request, text, last, head, tail);
        EXPECT_EQ(split, plain) << text.substr(0, 8);
        if (split) {
            EXPECT_EQ(head + text + tail, GetJsonTypeStr("GMUsbKeySign", request, text, last));
        } else {
            EXPECT_EQ(head, "untouched");
            EXPECT_EQ(tail, "untouched");
        }
    }
}

TEST(Envelope, TextAroundIsTheSameBytesOrRefused) {
    const Json::Value request = Request(R"({"tabID":31})");
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        const bool plain = c >= 0x20 && c < 0x7F && ch != '"' && ch != '\\';
        ExpectAroundMatchesWhole(request, "ab" + std::string(1, ch) + "cd", plain);
        ExpectAroundMatchesWhole(request, std::string(300, 'a') + ch + std::string(299, 'b'), plain);
    }
    ExpectAroundMatchesWhole(request, "", true);
}

TEST(Envelope, IntegerTextsEqualFastWriterOutput) {
    for (long code : {0L, -304L, -201L, 512L, 32512L, 2147483647L, -2147483647L - 1}) {
        EXPECT_EQ(GetJsonTypeStr("NSChooseFile", Request("{}"), code, true),
                  FastWriterBytes(ClassicEnvelope("NSChooseFile", 0, static_cast<Json::Int>(code), true)));
    }
}

TEST(Envelope, TabIdIsTheRequestsIntegerOrZero) {
    const struct {
        const char* request;
        int tabId;
    } cases[] = {
        {R"({})", 0},          {R"({"tabID":12})", 12},  {R"({"tabID":null})", 0},
        {R"({"tabID":3.9})", 3}, {R"({"tabID":true})", 1}, {R"({"tabID":-7})", -7},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetJsonTypeStr("GetVersion", Request(c.request), "v", true),
                  FastWriterBytes(ClassicEnvelope("GetVersion", c.tabId, "v", true)))
            << c.request;
    }
}

TEST(RequestParsing, AcceptsAndRefusesWhatTheClassicReaderDoes) {
    const std::string inputs[] = {
        R"({"ZEKA":"GetVersion","tabID":1})",
        R"(  {"a":1} trailing text)",
        R"({"a":1,})",
        R"([1,2,])",
        R"({"a":1} // comment)",
        R"(/* lead */ {"a":"b"})",
        R"({'a':1})",
        R"({1:2})",
        R"({"a":NaN})",
        R"({"a":1,"a":2})",
        "\xef\xbb\xbf{\"a\":1}",
        "abc",
        "",
        "   ",
        "null",
        "\"text\"",
        "[",
        R"({"a":"unterminated)",
        R"({"a":"\u00e9\ud83d\udd11"})",
        R"({"n":-0,"big":18446744073709551615,"f":1.5e300})",
    };
    for (const std::string& input : inputs) {
        Json::Value ours;
        Json::Value classic;
        const bool classicOk = ClassicParse(input, classic);
        EXPECT_EQ(ParseRequest(input, ours), classicOk) << input;
        if (classicOk) {
            EXPECT_EQ(ours, classic) << input;
        }
    }
}

TEST(RequestParsing, DeepNestingIsRefusedWithoutCrashing) {
    Json::Value value;
    EXPECT_FALSE(ParseRequest(std::string(200000, '['), value));
    const std::string deepObject = "{\"a\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    EXPECT_FALSE(ParseRequest(deepObject, value));
    const std::string allowed = "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}";
    EXPECT_TRUE(ParseRequest(allowed, value));
}

}  // namespace
