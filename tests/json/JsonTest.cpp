// The JSON text form (what Windows.Data.Json's Stringify writes) and the strict reader,
// including thousands of mutated texts from a fixed seed.
#include "lib/json/Json.h"

#include "support/Mutator.h"

#include <gtest/gtest.h>

namespace {

using json::Json;

TEST(JsonStringifyTest, WritesCompactTextInInsertionOrder) {
    Json object = Json::Object();
    object.Set("z", "last name first");
    object.Set("a", Json());
    object.Set("z", 1);  // replaced in place
    Json nested = Json::Array();
    nested.Append(true).Set("k", false);  // a value that becomes an object
    nested.Append(Json::Object());
    object.Set("list", nested);
    const std::pair<Json, std::string> cases[] = {
        {object, R"({"z":1,"a":null,"list":[{"k":false},{}]})"},
        {Json(std::string("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f", 14)), R"("q\"b\\s/\b\f\n\r\t\u0001\u001F)" "\x7f\""},
        {Json(std::string("nul\0end", 7)), R"("nul\u0000end")"},
        {Json("J\xc3\xb6rg \xe2\x82\xac \xf0\x9f\x94\x91"), "\"J\xc3\xb6rg \xe2\x82\xac \xf0\x9f\x94\x91\""},
        // Not UTF-8: a lone continuation byte, a cut sequence, an overlong '/', an encoded surrogate.
        {Json("a\x80" "b\xe2\x82" "c\xc0\xaf" "d\xed\xa0\x80"), "\"a\xef\xbf\xbd" "b\xef\xbf\xbd\xef\xbf\xbd" "c\xef\xbf\xbd\xef\xbf\xbd" "d\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
        {Json(0.0), "0"}, {Json(-0.0), "0"}, {Json(4294967298.0), "4294967298"}, {Json(-12.5), "-12.5"},
        {Json(0.1), "0.1"}, {Json(1e300), "1e+300"}, {Json(1.0 / 3), "0.3333333333333333"}, {Json(2e25), "2e+25"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(value.Stringify(), text);
}

// Text and what it reads as (stringified), or null when it must be refused.
TEST(JsonParseTest, ReadsStrictJsonOnly) {
    const std::string deep = std::string(json::kMaxDepth, '[') + std::string(json::kMaxDepth, ']');
    const std::string tooDeep = "[" + deep + "]";
    const std::pair<std::string, const char*> cases[] = {
        {" {\"b\" : [1, -0.5e1, 2E+2, 1e-2] ,\"a\":{}}\r\n", R"({"b":[1,-5,200,0.01],"a":{}})"},
        {"[true,false,null,\"\"]", "[true,false,null,\"\"]"}, {"-0", "0"}, {"123456789012", "123456789012"},
        {R"("\u00e9\u20AC\ud83d\uDD11\/\"\\\b\f\n\r\t\u0000")", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x91/\\\"\\\\\\b\\f\\n\\r\\t\\u0000\""},
        {"\"J\xc3\xb6rg\"", "\"J\xc3\xb6rg\""}, {deep, deep.c_str()},
        {"", nullptr}, {" ", nullptr}, {"{", nullptr}, {"[1,]", nullptr}, {"{\"a\":1,}", nullptr}, {"{\"a\" 1}", nullptr},
        {"{a:1}", nullptr}, {"{\"a\":1,\"a\":2}", nullptr}, {"[1 2]", nullptr}, {"01", nullptr}, {"1.", nullptr},
        {".5", nullptr}, {"-", nullptr}, {"1e", nullptr}, {"+1", nullptr}, {"1e400", nullptr}, {"NaN", nullptr},
        {"tru", nullptr}, {"nulls", nullptr}, {"[1]x", nullptr}, {"'a'", nullptr}, {"\"a", nullptr}, {"\"\\x\"", nullptr},
        {"\"\\u12\"", nullptr}, {"\"\\u12G4\"", nullptr}, {"\"\\ud800\"", nullptr}, {"\"\\ud800\\u0041\"", nullptr},
        {"\"\\udc00\"", nullptr}, {"\"a\nb\"", nullptr}, {"\"\x80\"", nullptr}, {"\"\xc0\xaf\"", nullptr},
        {"\"\xed\xa0\x80\"", nullptr}, {"\"\xf4\x90\x80\x80\"", nullptr}, {"\"\xe2\x82\"", nullptr},
        {"/*c*/1", nullptr}, {tooDeep, nullptr},
    };
    for (const auto& [text, stringified] : cases) {
        Json value = Json("untouched");
        std::string error;
        ASSERT_EQ(json::Parse(text, &value, &error), stringified != nullptr) << text << ": " << error;
        EXPECT_EQ(value.Stringify(), stringified ? stringified : "\"untouched\"") << text;
        EXPECT_EQ(error.empty(), stringified != nullptr) << text;
    }
    Json value;
    ASSERT_TRUE(json::Parse(R"({"n":"x","o":{"k":[true]}})", &value));
    EXPECT_EQ(value.Find("n")->AsString(), "x");
    EXPECT_TRUE(value.Find("o")->Find("k")->Items().at(0).AsBoolean());
    EXPECT_EQ(value.Find("missing"), nullptr);
}

TEST(JsonFuzzTest, MutatedTextNeverCrashesAndAcceptedValuesRoundTrip) {
    const std::string seed =
        R"({"cmd":"authenticate","req":true,"n":[0,-1.5e3,null,false],"s":"\u00e9\ud83d\udd11\n\"","o":{"k":{}}})";
    testsupport::Mutator mutator(0x4A50AB);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::vector<char> input = mutator.Mutate(std::vector<char>(seed.begin(), seed.end()));
        Json value, again;
        if (!json::Parse(std::string_view(input.data(), input.size()), &value)) continue;
        ++accepted;
        ASSERT_TRUE(json::Parse(value.Stringify(), &again)) << round;
        EXPECT_TRUE(again == value) << round;
    }
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 20000);
}

}  // namespace
