// The two calls the Entra code makes on JSON: the compact text it sends (insertion order, no
// white space, UTF-8 kept, invalid UTF-8 replaced rather than thrown) and the reading of
// untrusted text, which refuses without throwing (the parser itself is nlohmann's, tested there).
#include "lib/json/Json.h"

#include <gtest/gtest.h>

namespace {

using json::Json;

TEST(JsonTest, StringifyIsCompactInInsertionOrder) {
    Json object = Json::object();
    object["z"] = "J\xc3\xb6rg \"q\"\n";
    object["a"] = nullptr;
    object["list"] = Json::array({true, 4294967298ULL, Json::object()});
    object["bad"] = "a\x80z";  // not UTF-8
    EXPECT_EQ(json::Stringify(object), "{\"z\":\"J\xc3\xb6rg \\\"q\\\"\\n\",\"a\":null,\"list\":[true,4294967298,{}],"
                                       "\"bad\":\"a\xef\xbf\xbdz\"}");
}

TEST(JsonTest, ParseRefusesWithoutThrowingAndLeavesTheOutputAlone) {
    Json value;
    ASSERT_TRUE(json::Parse(R"({"ts_nonce":"n-1","k":[1]})", &value));
    EXPECT_EQ(value.value("ts_nonce", ""), "n-1");
    for (const std::string& text : {std::string("{\"a\":"), std::string("[1,]"), std::string("\"\xc0\xaf\""),
                                    std::string(json::kMaxTextBytes + 1, ' ')}) {
        Json untouched = "untouched";
        std::string error;
        EXPECT_FALSE(json::Parse(text, &untouched, &error));
        EXPECT_EQ(untouched, "untouched");
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
