// Long string values are decoded in the request body itself: the outcome must
// be the JSON library's own, for every literal that is decoded that way and
// for everything that only looks like one.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <json/json.h>

#include "host/envelope.h"
#include "host/json_literals.h"

namespace {

// Parsed both ways, with every value literal (even "") decoded in place.
void ExpectSameAsTheReader(const std::string& body) {
    Json::Value byReader;
    Json::Value inPlace;
    const bool readerOk = ParseRequest(body, byReader);
    ASSERT_EQ(ParseRequestBody(body, inPlace, 0), readerOk) << body;
    if (readerOk) {
        EXPECT_EQ(inPlace, byReader) << body;
    }
}

TEST(RequestBody, DecodesEveryEscapeAsTheReader) {
    const std::string bodies[] = {
        R"({"a":"plain","b":"\" \\ \/ \b \f \n \r \t"})",
        R"({"a":"\u0041\u00e9\u4e2d\uFFFF","b":"\u0000x"})",
        R"({"a":"\ud83d\udd11","b":"\uD800\u0041","c":"\udc00 lone low"})",
        R"({"a":"\\","b":"\\\\","c":"x\\\"y"})",
        R"({"a":"bad \x escape"})",
        R"({"a":"\u12"})",
        R"({"a":"\u12G4"})",
        R"({"a":"\ud83d"})",
        R"({"a":"\ud83d\n1234"})",
        R"({"a":"\ud83d\u12"})",
        R"({"a":"unterminated)",
        R"({"a":"ends in a backslash\)",
        "{\"a\":\"raw \x01 control \t and \xff bytes\"}",
        std::string("{\"a\":\"zero \0 byte\"}", 20),
    };
    for (const std::string& body : bodies) ExpectSameAsTheReader(body);
}

TEST(RequestBody, LeavesKeysCommentsAndTrailingTextToTheReader) {
    const std::string bodies[] = {
        R"({"long key":"v"})",
        R"({"a":"first","a":"second"})",
        R"({"a":"kept","a":2})",
        R"({"a":["x", "y" ,"z"],"b":{"c":"d"}})",
        R"({"a" : "spaced"  ,  "b":"e"  })",
        R"({"a":"v" /* "in", a comment */ ,"b":"w"})",
        R"({"a":/* ", */"v","b":"w"})",
        "{\"a\":\"v\", // \"line\", comment\n\"b\":\"w\"}",
        "{\"a\":\"v\", // comment ending at a return\r\"b\":\"w\"}",
        R"({"a":"v", /*/ "odd", */ "b":"w"})",
        R"({"a":"v", /* unterminated "x", )",
        R"({"a":"v", / "x", "b":"w"})",
        R"({"a":"v"} "after", "root")",
        R"(["a","b"])",
        R"({"a":"v",})",
        R"({"a":"v""b":"w"})",
    };
    for (const std::string& body : bodies) ExpectSameAsTheReader(body);
}

// Random requests of string members built from every kind of piece a literal
// can hold, some of them broken, with comments and blanks between tokens.
std::string RandomBody(std::mt19937& random) {
    static const char* const kPieces[] = {
        "a", "XML <T n=\\\"1\\\">", "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u00e9", "\\u0000",
        "\\ud83d\\udd11", "\\ud800", "\\udfff", "\\u12", "\\x", "\xe4\xb8\xad", "\x01", "'", "\\",
    };
    static const char* const kGaps[] = {"", " ", "\n", "/* \", */", "// \",\n", "\t\r\n"};
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    std::string body = "{";
    const size_t members = 1 + pick(4);
    for (size_t m = 0; m < members; ++m) {
        if (m > 0) body += ",";
        body += kGaps[pick(6)];
        body += "\"k" + std::to_string(pick(3)) + "\"";
        body += kGaps[pick(6)];
        body += ":";
        body += kGaps[pick(6)];
        const bool array = pick(4) == 0;
        if (array) body += "[";
        body += "\"";
        const size_t pieces = pick(12);
        for (size_t p = 0; p < pieces; ++p) body += kPieces[pick(sizeof kPieces / sizeof kPieces[0])];
        body += "\"";
        body += kGaps[pick(6)];
        if (array) body += "]";
    }
    return body + "}";
}

TEST(RequestBody, RandomRequestsComeOutAsTheReadersOwn) {
    std::mt19937 random(20240611);
    for (int i = 0; i < 20000; ++i) ExpectSameAsTheReader(RandomBody(random));
}

TEST(RequestBody, FindsLongLiteralsOnlyWhereValuesStand) {
    const std::string body = R"({"key":"value", "k2" : [ "a" , "bb" ] /* "cc", */ , "d":"ee"  } "trailing", )";
    std::vector<std::string> found;
    for (const JsonLiteral& literal : FindLongValueLiterals(body, 2)) {
        found.push_back(body.substr(literal.begin, literal.end - literal.begin));
    }
    EXPECT_EQ(found, (std::vector<std::string>{R"("value")", R"("bb")", R"("ee")", R"("trailing")"}));
}

}  // namespace
