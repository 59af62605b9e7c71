#include "jsontext/styled_json.h"

#include <gtest/gtest.h>
#include <json/writer.h>

namespace qrx {
namespace {

// The library's own StyledWriter is the reference for texts in ASCII.
std::string reference(const Json::Value& value) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    Json::StyledWriter writer;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return writer.write(value);
}

TEST(StyledJson, MatchesTheStyledWriterForFlatObjectsAndScalars) {
    for (const char* text :
         {"null", "0", "\"x\"", "{}", "{\"type\":0,\"code\":\"abc\"}",
          "{\"type\":1,\"code\":123,\"result\":1,\"msg\":\"code is err\"}",
          "{\"b\":true,\"a\":-1.5,\"c\":null,\"d\":\"q\\\"\\\\\\n\\t\\u0001\"}",
          "/* head */ {\"type\":1, // line\n \"code\":\"x\" /* after */, \"z\":2 /* last */}",
          "// top\n{ /* before */ \"a\": /* in */ 1} // after the root"}) {
        Json::Value value;
        ASSERT_TRUE(parseJson(text, &value)) << text;
        EXPECT_EQ(styledText(value), reference(value)) << text;
    }
}

TEST(StyledJson, WritesBytesFrom128UpUnchanged) {
    Json::Value value;
    value["name"] = "\xD5\xC5\xC8\xFD";
    EXPECT_EQ(styledText(value), "{\n   \"name\" : \"\xD5\xC5\xC8\xFD\"\n}\n");
}

TEST(StyledJson, ParsingKeepsTheFirstValueOnly) {
    Json::Value value;
    EXPECT_TRUE(parseJson("{\"a\":1} {\"b\":2} stray", &value));
    EXPECT_EQ(value.getMemberNames(), std::vector<std::string>{"a"});
    EXPECT_FALSE(parseJson("{\"a\":", &value));
    EXPECT_FALSE(parseJson("", &value));
}

}  // namespace
}  // namespace qrx
