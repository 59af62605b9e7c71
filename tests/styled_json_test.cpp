#include "jsontext/styled_json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "styled_writer_reference.h"

namespace qrx {
namespace {

using test::styledWriterText;

// The styled text's length, however long.
size_t measured(const Json::Value& value) {
    size_t size = 0;
    EXPECT_TRUE(styledTextFits(value, std::numeric_limits<size_t>::max(), &size));
    return size;
}

Json::Value parsed(const std::string& text) {
    Json::Value value;
    EXPECT_TRUE(parseJson(text, &value)) << text;
    return value;
}

TEST(StyledJson, MatchesTheStyledWriterForFlatObjectsAndScalars) {
    for (const char* text :
         {"null", "0", "\"x\"", "{}", "[]", "{\"type\":0,\"code\":\"abc\"}",
          "{\"type\":1,\"code\":123,\"result\":1,\"msg\":\"code is err\"}",
          "{\"b\":true,\"a\":-1.5,\"c\":null,\"d\":\"q\\\"\\\\\\n\\t\\u0001\"}",
          "/* head */ {\"type\":1, // line\n \"code\":\"x\" /* after */, \"z\":2 /* last */}",
          "// top\n{ /* before */ \"a\": /* in */ 1} // after the root"}) {
        Json::Value value = parsed(text);
        EXPECT_EQ(styledText(value), styledWriterText(value)) << text;
    }
}

TEST(StyledJson, KeepsAShortArrayOnTheLineOfItsName) {
    Json::Value value = parsed("{\"type\":1,\"code\":[1,2,3]}");
    EXPECT_EQ(styledText(value), "{\n   \"code\" : [ 1, 2, 3 ],\n   \"type\" : 1\n}\n");
    EXPECT_EQ(styledText(value), styledWriterText(value));
}

// The layouts at the edges: one line while "[ a, b ]" stays under 74
// columns and the array has fewer than 25 elements and no comment; the
// opening bracket of a nested array or object after `"name" : `.
TEST(StyledJson, LaysOutArraysAndObjectsAsTheStyledWriterDoes) {
    struct Case {
        std::string text;
        bool oneLine;  // whether the outermost array is written on one line
    };
    const std::string x67(67, 'x');  // "[ \"x...\" ]" is 73 columns
    std::vector<Case> cases = {
        {"[\"" + x67 + "\"]", true},
        {"[\"" + x67 + "x\"]", false},
        {"[\"" + x67.substr(5) + "\\u0001\"]", false},              // the escape counts as written
        {"[1,2,3,4,5,6,7,8,9,0,1,2,3,4,5,6,7,8,9,0,1,2,3]", true},  // 23: 71 columns
        {"[1,2,3,4,5,6,7,8,9,0,1,2,3,4,5,6,7,8,9,0,1,2,3,4]", false},  // 24: 74 columns
        {"[[],{},[],{},[],{},[],{},[],{},[],{},[],{},[],{},[],{},[],{},[],{},[],{}]", false},
        {"[[],{},null,true,false,-1,2.5,\"\"]", true},
        {"[1,[2]]", false},
        {"[1,{\"a\":2}]", false},
        {"[{\"a\":[1,2]},[[3],[]]]", false},
        {"[1, // one\n2]", false},
        {"[1,\n/* two */ 2]", false},
    };
    for (const Case& c : cases) {
        Json::Value value = parsed(c.text);
        std::string written = styledText(value);
        EXPECT_EQ(written, styledWriterText(value)) << c.text;
        EXPECT_EQ(written.rfind("[ ", 0) == 0, c.oneLine) << written;
    }
    Json::Value nested = parsed("{\"a\":{\"b\":[1,{\"c\":[]}]},\"d\":[{}]}");
    EXPECT_EQ(styledText(nested),
              "{\n   \"a\" : {\n      \"b\" : [\n         1,\n         {\n"
              "            \"c\" : []\n         }\n      ]\n   },\n   \"d\" : [ {} ]\n}\n");
    EXPECT_EQ(styledText(nested), styledWriterText(nested));
}

TEST(StyledJson, WritesNumbersAsTheStyledWriterDoes) {
    Json::Value numbers(Json::arrayValue);
    for (double real :
         {1.5, -0.0, 0.1, 1.0, 1e300, 1e16, 1e-7, 5e-324, std::numeric_limits<double>::max(),
          std::nan(""), std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity()})
        numbers.append(real);
    numbers.append(std::numeric_limits<Json::Int64>::min());
    numbers.append(std::numeric_limits<Json::Int64>::max());
    numbers.append(std::numeric_limits<Json::UInt64>::max());
    numbers.append(Json::Value(0u));
    numbers.append(-1);
    std::string written = styledText(numbers);
    EXPECT_EQ(written, styledWriterText(numbers));
    for (const char* text :
         {"\n   1.5,", "\n   -0.0,", "\n   0.10000000000000001,", "\n   1.0,",
          "\n   1.0000000000000001e+300,", "\n   null,", "\n   1e+9999,", "\n   -1e+9999,",
          "\n   -9223372036854775808,", "\n   18446744073709551615,"})
        EXPECT_NE(written.find(text), std::string::npos) << text << " in\n" << written;
    // An array with elements never set holds nulls there.
    Json::Value sparse(Json::arrayValue);
    sparse[3] = 7;
    EXPECT_EQ(styledText(sparse), "[ null, null, null, 7 ]\n");
}

TEST(StyledJson, EscapesWhatTheStyledWriterEscapesInAscii) {
    std::string ascii;
    for (int byte = 0; byte < 0x80; ++byte) ascii.push_back(static_cast<char>(byte));
    Json::Value value;
    value["all"] = ascii;
    value["nul"] = std::string("a\0b", 3);
    std::string written = styledText(value);
    EXPECT_EQ(written, styledWriterText(value));
    for (const char* text : {"\\u0000\\u0001", "\\u001e\\u001f !\\\"#", "\\b\\t\\n\\u000b\\f\\r",
                             "/0", "[\\\\]", "}~\x7f\"", "\"a\\u0000b\""})
        EXPECT_NE(written.find(text), std::string::npos) << text << " in\n" << written;
}

// Long texts are looked at eight bytes at a time: a byte to escape must be
// found in every place of a word and in the bytes after the last whole word,
// beside high bytes that look like escaped ones but for their top bit
// (0xA2 and 0x22, 0xDC and 0x5C, 0xA0 and 0x20) and beside plain ASCII.
TEST(StyledJson, FindsEveryByteToEscapeWhereverItLiesInALongText) {
    auto quotedAsWritten = [](const std::string& bytes) {
        static const char kHex[] = "0123456789abcdef";
        std::string text = "\"";
        for (char c : bytes) {
            const unsigned char byte = static_cast<unsigned char>(c);
            switch (byte) {
                case '"':
                    text += "\\\"";
                    break;
                case '\\':
                    text += "\\\\";
                    break;
                case '\b':
                    text += "\\b";
                    break;
                case '\f':
                    text += "\\f";
                    break;
                case '\n':
                    text += "\\n";
                    break;
                case '\r':
                    text += "\\r";
                    break;
                case '\t':
                    text += "\\t";
                    break;
                default:
                    if (byte < 0x20)
                        text += std::string("\\u00") + kHex[byte >> 4] + kHex[byte & 0xF];
                    else
                        text += c;
            }
        }
        return text + "\"";
    };
    const std::string fills[] = {std::string(29, 'k'),    std::string(29, '\xA2'),
                                 std::string(29, '\xDC'), std::string(29, '\xA0'),
                                 std::string(29, '\xFF'), "ABCDEFGHIJKLMNOPQRSTUVWXYZ+/="};
    int checked = 0, failed = 0;
    for (const std::string& fill : fills) {
        for (int byte = 0; byte < 0x100; ++byte) {
            for (size_t at = 0; at < fill.size(); ++at) {
                for (size_t length : {at + 1, fill.size()}) {
                    std::string bytes = fill.substr(0, length);
                    bytes[at] = static_cast<char>(byte);
                    // A second one further on: the scan goes on after the first.
                    if (length > at + 9) bytes[at + 9] = '"';
                    Json::Value value(bytes);
                    const std::string expected = quotedAsWritten(bytes) + "\n";
                    const std::string written = styledText(value);
                    ++checked;
                    if (written != expected && ++failed <= 3)
                        ADD_FAILURE()
                            << "byte " << byte << " at " << at << " of " << length << ":\n"
                            << written << "expected:\n"
                            << expected;
                    if (measured(value) != expected.size() && ++failed <= 3)
                        ADD_FAILURE()
                            << "size for byte " << byte << " at " << at << " of " << length;
                    // Where every byte is ASCII, the library's writer agrees.
                    if (std::all_of(bytes.begin(), bytes.end(),
                                    [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
                        if (written != styledWriterText(value) && ++failed <= 3)
                            ADD_FAILURE() << "not as the StyledWriter: byte " << byte << " at "
                                          << at << " of " << length;
                }
            }
        }
    }
    EXPECT_EQ(failed, 0) << "of " << checked;
}

// The StyledWriter stops a member name at its first zero byte, so "a\0b"
// would come back as "a", or as a second "a". The name is written whole.
TEST(StyledJson, WritesAMemberNameWholeZeroBytesAndAll) {
    Json::Value value;
    value[std::string("cut\0here", 8)] = 1;
    value["cut"] = 2;
    const std::string written = styledText(value);
    EXPECT_EQ(written, "{\n   \"cut\" : 2,\n   \"cut\\u0000here\" : 1\n}\n");
    Json::Value again;
    ASSERT_TRUE(parseJson(written, &again));
    EXPECT_EQ(again, value);
}

// Comments sit where the reader found them.
TEST(StyledJson, WritesCommentsBackAsTheStyledWriterDoes) {
    for (const char* text :
         {"// one\n// two\n[1, /* a */ 2 // b\n, 3]\n// end\n/* and */",
          "{\"a\": // same line\n{\"b\": [ /* first */ 1, 2]}, \"c\" :\n/* x\n y */\n3}",
          "[[1, 2], // after\n[3] /* c */]", "\"root\" /* same */ // next\n",
          "{\"a\":1,\n// one\n// two\n\"b\":[\n/* three */ 2]}",
          "/*\n * block\n */\n{\"a\" : [ // x\n1]}"}) {
        Json::Value value = parsed(text);
        EXPECT_EQ(styledText(value), styledWriterText(value)) << text;
    }
}

// The StyledWriter takes a // comment that ends in a space for indentation
// and runs what follows into it: a reply would lose its members, a queued
// record would not read back. What follows goes on its own line instead.
TEST(StyledJson, WhatFollowsALineCommentEndingInASpaceGoesOnANewLine) {
    Json::Value value = parsed("{\"code\":\"X\" // mine \n,\"type\":1}");
    const std::string written = styledText(value);
    EXPECT_EQ(written, "{\n   \"code\" : \"X\", // mine \n   \"type\" : 1\n}\n");
    EXPECT_NE(written, styledWriterText(value));
    for (const char* text : {"{\"a\":1 // ends in spaces   \n,\"b\":2}",
                             "{\"a\": // same line   \n{\"b\": [1, 2]}, \"c\" : 3}",
                             "[1 // x \n, [2, 3] // y \n] // z \n"}) {
        Json::Value again;
        ASSERT_TRUE(parseJson(styledText(parsed(text)), &again)) << text;
        EXPECT_EQ(again, parsed(text)) << text;
        EXPECT_EQ(styledText(again), styledText(parsed(text))) << text;
    }
}

// Whether the value holds what the styled text mends: a same-line comment
// ending in a space, or a member name with a zero byte.
bool needsMending(const Json::Value& value) {
    if (value.hasComment(Json::commentAfterOnSameLine) &&
        value.getComment(Json::commentAfterOnSameLine).back() == ' ')
        return true;
    for (auto child = value.begin(); child != value.end(); ++child) {
        const char* end = nullptr;
        const char* name = value.isObject() ? child.memberName(&end) : nullptr;
        if (name != nullptr && std::find(name, end, '\0') != end) return true;
        if (needsMending(*child)) return true;
    }
    return false;
}

// JSON texts from a seeded generator: nested arrays and objects, arrays just
// under and just over the margin, empty ones, numbers of every kind, escaped
// ASCII strings and comments in every place the reader keeps them. Only
// std::mt19937 itself is used, so the texts are the same everywhere.
class TextGenerator {
  public:
    explicit TextGenerator(uint32_t seed) : random_(seed) {}

    std::string document() { return gap() + value(0) + gap(); }

  private:
    uint32_t below(uint32_t count) { return static_cast<uint32_t>(random_() % count); }
    bool percent(uint32_t chance) { return below(100) < chance; }

    std::string value(int depth) {
        uint32_t kind = below(depth >= 4 ? 4 : 10);
        if (kind < 4) return scalar();
        if (kind < 7) return array(depth);
        return object(depth);
    }

    std::string scalar() {
        switch (below(6)) {
            case 0:
                return percent(50) ? "null" : percent(50) ? "true" : "false";
            case 1:
            case 2:
                return number();
            default:
                return quoted(below(4) == 0 ? 20 + below(60) : below(12));
        }
    }

    std::string number() {
        static const char* const fixed[] = {"0",
                                            "-0",
                                            "2147483647",
                                            "2147483648",
                                            "-2147483648",
                                            "-2147483649",
                                            "4294967295",
                                            "4294967296",
                                            "9223372036854775807",
                                            "-9223372036854775808",
                                            "18446744073709551615",
                                            "18446744073709551616",
                                            "1.5",
                                            "-0.0",
                                            "0.1",
                                            "1e+300",
                                            "1E-7",
                                            "3.0",
                                            "2.2250738585072014e-308",
                                            "5e-324",
                                            "1.7976931348623157e308",
                                            "123456789012345678901234567890",
                                            "0.30000000000000004",
                                            "1e16",
                                            "100e-2"};
        switch (below(3)) {
            case 0:
                return fixed[below(sizeof fixed / sizeof *fixed)];
            case 1:
                return std::to_string(static_cast<int32_t>(random_()) >> below(32));
            default: {
                std::string text = percent(30) ? "-" : "";
                text += std::to_string(below(100000));
                if (percent(70)) text += "." + std::to_string(below(1000000));
                if (percent(40)) text += (percent(50) ? "e" : "E-") + std::to_string(below(300));
                return text;
            }
        }
    }

    // A string of `length` characters as JSON text, some escaped.
    std::string quoted(uint32_t length) {
        static const char* const escaped[] = {"\\\"",    "\\\\",    "\\/",     "\\b",     "\\f",
                                              "\\n",     "\\r",     "\\t",     "\\u0000", "\\u0001",
                                              "\\u001f", "\\u007f", "\\u0041", "\x7f",    "\x01"};
        std::string text = "\"";
        for (uint32_t i = 0; i < length; ++i) {
            if (percent(10)) {
                text += escaped[below(sizeof escaped / sizeof *escaped)];
            } else {
                char printable = static_cast<char>(' ' + below(95));
                text += printable == '"' || printable == '\\' ? '#' : printable;
            }
        }
        return text + "\"";
    }

    std::string array(int depth) {
        uint32_t count = 0;
        switch (below(6)) {
            case 0:
                count = 0;
                break;
            case 1:
                return marginArray();
            case 2:
                count = 20 + below(10);  // around 25 elements
                break;
            default:
                count = 1 + below(6);
        }
        // Mostly scalars and no comments, the arrays that may take one line.
        const bool flat = percent(60);
        const bool commented = !flat || percent(30);
        auto between = [&] { return commented ? gap() : space(); };
        // The reader takes no comment inside an empty array.
        std::string text = "[" + (count == 0 ? space() : between());
        for (uint32_t i = 0; i < count; ++i) {
            if (i > 0) text += "," + between();
            text += flat && !percent(10) ? scalar() : value(depth + 1);
            text += between();
        }
        return text + "]";
    }

    // Strings whose one-line form is 72 to 75 columns wide: just under and
    // just over the margin.
    std::string marginArray() {
        uint32_t count = 1 + below(5);
        uint32_t width = 72 + below(4);
        uint32_t letters = width - 4 - 2 * (count - 1) - 2 * count;
        std::string text = "[";
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t length = i + 1 == count ? letters : below(letters + 1);
            letters -= length;
            text += (i > 0 ? ",\"" : "\"") + std::string(length, 'a' + i) + "\"";
        }
        return text + "]";
    }

    std::string object(int depth) {
        static const char* const names[] = {"a",   "b",     "type", "code", "msg",     "a-b",
                                            "x y", "q\\\"", "\\n",  "",     "ScanCmd", "z"};
        uint32_t count = below(5) == 0 ? 0 : 1 + below(5);
        std::string text = "{" + gap();
        for (uint32_t i = 0; i < count; ++i) {
            if (i > 0) text += "," + gap();
            // ... nor one between a name and its colon.
            // Rarely a name with a zero byte, which the styled text mends.
            const char* name =
                percent(2) ? "a\\u0000b" : names[below(sizeof names / sizeof *names)];
            text +=
                std::string("\"") + name + "\"" + space() + ":" + gap() + value(depth + 1) + gap();
        }
        return text + "}";
    }

    // Nothing, white space, or comments of either kind, some of them
    // running over several lines.
    std::string gap() {
        switch (below(12)) {
            case 0:
                return " /* c */ ";
            case 1:
                return " // line\n";
            case 2:
                return "\n// own line\n";
            case 3:
                return "/* one\n   two */";
            case 4:  // rarely ending in a space, which the styled text mends
                return percent(3) ? " // ends in a space \n" : " // line \t\n";
            case 5:
                return "\n/* a */ // b\n\t";
            case 6:
                return "\n";
            case 7:
                return " ";
            default:
                return "";
        }
    }

    std::string space() { return percent(50) ? "" : percent(50) ? " " : "\n"; }

    std::mt19937 random_;
};

TEST(StyledJson, MatchesTheStyledWriterOnGeneratedTexts) {
    const int kCases = 5000;
    TextGenerator generator(20240601);
    int differing = 0, mended = 0;
    size_t oneLineArrays = 0, multiLineArrays = 0, comments = 0;
    for (int i = 0; i < kCases; ++i) {
        const std::string text = generator.document();
        Json::Value value;
        ASSERT_TRUE(parseJson(text, &value)) << text;
        const std::string expected = styledWriterText(value);
        const std::string written = styledText(value);
        if (needsMending(value)) {
            // Mended where the StyledWriter would not read back.
            ++mended;
            Json::Value again;
            if ((!parseJson(written, &again) || !(again == value)) && ++differing <= 3)
                ADD_FAILURE() << "does not read back:\n" << text << "\nwritten:\n" << written;
            continue;
        }
        if (written != expected && ++differing <= 3)
            ADD_FAILURE() << "text:\n"
                          << text << "\nwritten:\n"
                          << written << "\nexpected:\n"
                          << expected;
        for (size_t at = expected.find('['); at != std::string::npos;
             at = expected.find('[', at + 1)) {
            if (expected.compare(at, 2, "[ ") == 0) ++oneLineArrays;
            if (expected.compare(at, 2, "[\n") == 0) ++multiLineArrays;
        }
        for (size_t at = expected.find('/'); at != std::string::npos;
             at = expected.find('/', at + 2))
            if (expected[at + 1] == '/' || expected[at + 1] == '*') ++comments;
    }
    EXPECT_EQ(differing, 0) << "of " << kCases << " generated texts";
    // The generator does reach what it is meant to.
    EXPECT_GT(oneLineArrays, 1000u);
    EXPECT_GT(multiLineArrays, 2000u);
    EXPECT_GT(comments, 20000u);
    EXPECT_GT(mended, 100) << "of " << kCases;
    EXPECT_LT(mended, kCases / 2);
}

TEST(StyledJson, WritesBytesFrom128UpUnchanged) {
    Json::Value value;
    value["name"] = "\xD5\xC5\xC8\xFD";
    EXPECT_EQ(styledText(value), "{\n   \"name\" : \"\xD5\xC5\xC8\xFD\"\n}\n");

    // Every high byte, in a value and in a name; an array is measured by
    // what is written: eight GB2312 names of two characters fit on one line
    // (with \u escapes they would not).
    std::string high;
    for (int byte = 0x80; byte < 0x100; ++byte) high.push_back(static_cast<char>(byte));
    Json::Value record;
    record["all"] = high;
    record[high] = "\xC9\xED";
    const std::string names =
        "\"\xD5\xC5\xC8\xFD\", \"\xC0\xEE\xCB\xC4\", \"\xCD\xF5\xCE\xE5\", "
        "\"\xD5\xD4\xC1\xF9\", \"\xC7\xAE\xC6\xDF\", \"\xCB\xEF\xB0\xCB\", "
        "\"\xD6\xDC\xBE\xC5\", \"\xCE\xE2\xCA\xAE\"";
    record["names"] = parsed("[" + names + "]");
    std::string written = styledText(record);
    EXPECT_NE(written.find("\"all\" : \"" + high + "\""), std::string::npos) << written;
    EXPECT_NE(written.find("\"" + high + "\" : \"\xC9\xED\""), std::string::npos) << written;
    EXPECT_NE(written.find("\"names\" : [ " + names + " ]"), std::string::npos) << written;
    Json::Value again;
    ASSERT_TRUE(parseJson(written, &again));
    EXPECT_EQ(again, record);
}

TEST(StyledJson, ReservingRoomChangesNothingButTheCapacity) {
    Json::Value value = parsed("{\"a\":[1,2,{\"b\":\"c\"}]}");
    std::string small = styledText(value);
    std::string reserved = styledText(value, 4096);
    EXPECT_EQ(reserved, small);
    EXPECT_GE(reserved.capacity(), 4096u);
}

// A text to keep is measured before it is written: the same bytes, with no
// room to spare, whatever the layout (the one-line form of an array is tried
// and taken back when it grows too wide).
TEST(StyledJson, ATextToKeepHasTheSameBytesAndNoRoomToSpare) {
    TextGenerator generator(7);
    for (int i = 0; i < 500; ++i) {
        Json::Value value;
        value["document"] = parsed(generator.document());
        value["long"] = std::string(5000 + i, 'x');
        const std::string written = styledText(value);
        size_t size = 0;  // not a byte past the limit, whatever was taken back
        ASSERT_FALSE(styledTextFits(value, written.size() - 1, &size)) << written;
        ASSERT_TRUE(styledTextFits(value, written.size(), &size));
        const std::string kept = styledText(value, size);
        ASSERT_EQ(kept, written);
        ASSERT_LE(kept.capacity(), kept.size() + 32) << kept.size();
    }
}

// A comment of many // lines deep in nested arrays, each line indented by
// the depth: four megabytes of request make a styled text past 4 GiB, which
// a count in a 32-bit size_t would give as a few kilobytes.
TEST(StyledJson, AMeasurePastFourGibibytesNeitherWrapsNorGoesPastItsLimit) {
    auto deep = [](size_t lines) {
        Json::Value root(Json::arrayValue);
        Json::Value* at = &root;
        for (int level = 1; level < 997; ++level) at = &at->append(Json::Value(Json::arrayValue));
        std::string comment = "//";
        for (size_t line = 1; line < lines; ++line) comment += "\n//";
        at->append(0).setComment(comment, Json::commentBefore);
        return root;
    };
    // Each line adds the same; small texts are measured where nothing wraps.
    const uint64_t one = measured(deep(1)), step = measured(deep(2)) - one;
    const uint64_t lines = ((uint64_t{1} << 32) - one) / step + 2;  // just past 4 GiB
    const Json::Value value = deep(static_cast<size_t>(lines));
    size_t size = 0;
    EXPECT_FALSE(styledTextFits(value, 1 << 20, &size));
    const bool fits = styledTextFits(value, std::numeric_limits<size_t>::max(), &size);
    EXPECT_EQ(fits, sizeof(size_t) >= sizeof(uint64_t));
    if (fits) {
        EXPECT_EQ(size, one + (lines - 1) * step);
    }
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
