// The request protocol as a client sees it: the reply text for each outcome,
// byte for byte, and what is left in codeSet and cacheList.
#include <gtest/gtest.h>

#include <regex>

#include "jsontext/styled_json.h"
#include "processor/processor.h"
#include "processor_peer.h"
#include "test_support.h"

namespace qrx {
namespace {

class RequestHandlerTest : public ::testing::Test {
  protected:
    // The reply text the loop would send.
    std::string replyTo(const std::string& request) {
        Json::Value reply;
        processor.handleRequest(request, reply);
        return styledText(reply);
    }
    std::string issueCode() { return test::codeOf(replyTo("{\"type\":0}")); }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    CProcessor processor{posix};
    CProcessorPeer peer{processor};
};

TEST_F(RequestHandlerTest, ACodeRequestGetsAFreshGuidText) {
    std::string reply = replyTo("{\"type\":0}");
    std::string code = test::codeOf(reply);
    EXPECT_EQ(reply, "{\n   \"code\" : \"" + code + "\",\n   \"type\" : 0\n}\n");
    EXPECT_TRUE(std::regex_match(
        code, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
    std::string second = issueCode();
    EXPECT_NE(code, second);
    EXPECT_EQ(peer.codeSet(), (std::set<std::string>{code, second}));
}

TEST_F(RequestHandlerTest, TypeConversionsFollowTheJsonLibrary) {
    // Counted as a code request.
    for (const char* request : {"{}", "{\"type\":null}", "{\"type\":false}", "{\"type\":0.9}",
                                "{\"type\":-0.5}", "null", "  null trailing"}) {
        EXPECT_EQ(test::codeOf(replyTo(request)).size(), 36u) << request;
    }
    // Counted as a submission (and refused for want of a card type).
    for (const char* request : {"{\"type\":true}", "{\"type\":1.7}"}) {
        EXPECT_EQ(replyTo(request), test::submissionReply("null", 1, "cardtype is null"))
            << request;
    }
    // Answered with null, nothing issued.
    size_t issued = peer.codeSet().size();
    for (const char* request :
         {"{\"type\":\"0\"}", "{\"type\":2}", "{\"type\":-1}", "{\"type\":[0]}", "{\"type\":{}}",
          "{\"type\":4294967296}", "{\"type\":3e10}", "[{\"type\":0}]", "7", "\"text\"", "true",
          "not json", "{\"type\":0", ""}) {
        EXPECT_EQ(replyTo(request), "null\n") << request;
    }
    EXPECT_EQ(peer.codeSet().size(), issued);
}

TEST_F(RequestHandlerTest, AnAcceptedCardSpendsItsCodeAndIsQueuedStyled) {
    std::string code = issueCode();
    std::string request = "{\"type\":1,\"ScanCmd\":\"C1\",\"cardtype\":\"ID\",\"code\":\"" + code +
                          "\",\"name\":\"A\"}";
    EXPECT_EQ(replyTo(request), test::submissionReply("\"" + code + "\"", 0, ""));
    EXPECT_TRUE(peer.codeSet().empty());
    ASSERT_EQ(peer.cacheList().size(), 1u);
    EXPECT_EQ(peer.cacheList().front().kind, 'C');
    EXPECT_EQ(peer.cacheList().front().text,
              "{\n   \"ScanCmd\" : \"C1\",\n   \"cardtype\" : \"ID\",\n   \"code\" : \"" + code +
                  "\",\n   \"name\" : \"A\",\n   \"type\" : 1\n}\n");
    // The same submission again: the code is spent.
    EXPECT_EQ(replyTo(request), test::submissionReply("\"" + code + "\"", 1, "code is err"));
    EXPECT_EQ(peer.cacheList().size(), 1u);
}

TEST_F(RequestHandlerTest, AnyTextOrScalarCardTypeIsAccepted) {
    for (const char* cardType : {"false", "0", "\"\"", "\"ID\""}) {
        std::string code = issueCode();
        EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":" + std::string(cardType) + ",\"code\":\"" +
                          code + "\"}"),
                  test::submissionReply("\"" + code + "\"", 0, ""))
            << cardType;
    }
    EXPECT_EQ(peer.cacheList().size(), 4u);
}

TEST_F(RequestHandlerTest, MembersThatWouldBreakTheRecordAreRefusedBeforeTheCodeIsSpent) {
    const std::string code = issueCode();
    const std::string head = "{\"type\":1,\"code\":\"" + code + "\",\"cardtype\":\"ID\"";
    const std::pair<std::string, std::string> cases[] = {
        {",\"cardtype\":[1]}", "cardtype"},  // a later duplicate replaces the first
        {",\"ScanCmd\":{\"a\":1}}", "ScanCmd"},
        {",\"ScanCmd\":\"C1\",\"name\":[],\"sex\":{}}", "name"},
        {",\"sex\":{},\"ScanCmd\":[]}", "ScanCmd"},
        {",\"ScanCmd\":\"C1\",\"txz\":\"x\",\"qfcs\":[\"x\"]}", "qfcs"},
        {",\"ScanCmd\":\"C1\",\"address\":{}}", "address"},
        {",\"ScanCmd\":\"F1\",\"countrycode\":{}}", "countrycode"},
        {",\"english_name\":[\"a\"]}", "english_name"},
        {",\"headiamgedata\":\"QUJD\\n\"}", "headiamgedata"},
        {",\"cardiamgedata\":\"QQ\",\"headiamgedata\":\"@@@@\"}", "cardiamgedata"},
        {",\"cardiamgedata\":\"QUJD\",\"headiamgedata\":12}", "headiamgedata"},
        {",\"cardiamgedata\":[\"QUJD\"]}", "cardiamgedata"},
    };
    for (const auto& [rest, member] : cases) {
        EXPECT_EQ(replyTo(head + rest),
                  test::submissionReply("\"" + code + "\"", 1, member + " is invalid"))
            << rest;
    }
    EXPECT_EQ(peer.codeSet().count(code), 1u);
    EXPECT_TRUE(peer.cacheList().empty());
    // Fixed, the same submission goes through with the same code.
    EXPECT_EQ(replyTo(head + ",\"cardiamgedata\":\"QUJD\",\"headiamgedata\":\"\",\"txz\":\"\"}"),
              test::submissionReply("\"" + code + "\"", 0, ""));
}

TEST_F(RequestHandlerTest, OnlyMembersThatTheRecordsLayoutReadsAreChecked) {
    // A C card reads "name" and, only when it is empty, the two other names;
    // the five "txz" members only when "txz" is text; never "countrycode".
    // Any other card reads neither "name", "address", "nation", "number" nor
    // the "txz" group.
    const char* accepted[] = {
        "\"ScanCmd\":\"C1\",\"name\":\"x\",\"chinese_name\":[],\"english_name\":{}",
        "\"ScanCmd\":\"C1\",\"txz\":7,\"qfjg\":[],\"yxqq\":{}",
        "\"ScanCmd\":\"C1\",\"countrycode\":{\"a\":1}",
        "\"ScanCmd\":\"F1\",\"name\":[],\"address\":{},\"nation\":[1],\"number\":{}",
        "\"txz\":\"x\",\"qfjg\":[],\"qfcs\":{}",
        "\"ScanCmd\":\"F1\",\"address\":\"a\\u0001b\"",
    };
    for (const char* members : accepted) {
        const std::string code = issueCode();
        EXPECT_EQ(
            replyTo("{\"type\":1,\"cardtype\":\"ID\",\"code\":\"" + code + "\"," + members + "}"),
            test::submissionReply("\"" + code + "\"", 0, ""))
            << members;
    }
    const std::string code = issueCode();
    EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":\"ID\",\"code\":\"" + code +
                      "\",\"ScanCmd\":\"C1\",\"name\":\"\",\"chinese_name\":[]}"),
              test::submissionReply("\"" + code + "\"", 1, "chinese_name is invalid"));
}

TEST_F(RequestHandlerTest, ControlBytesThatXmlForbidsAreRefusedWhereTheRecordReadsThem) {
    const std::string code = issueCode();
    const std::string head = "{\"type\":1,\"code\":\"" + code + "\"";
    const std::pair<std::string, std::string> cases[] = {
        {",\"cardtype\":\"I\\u0007D\"}", "cardtype"},
        {",\"cardtype\":1,\"ScanCmd\":\"C1\",\"name\":\"a\\u0001\"}", "name"},
        {",\"cardtype\":1,\"english_name\":\"\\u001f\"}", "english_name"},
        {",\"cardtype\":1,\"scantime\":\"\\u0000\"}", "scantime"},
        {",\"cardtype\":1,\"sex\":\"\\b\"}", "sex"},
        {",\"cardtype\":1,\"sex\":\"\\f\"}", "sex"},
        {",\"cardtype\":1,\"sex\":\"\\u000b\"}", "sex"},
    };
    for (const auto& [rest, member] : cases) {
        EXPECT_EQ(replyTo(head + rest),
                  test::submissionReply("\"" + code + "\"", 1, member + " is invalid"))
            << rest;
    }
    EXPECT_TRUE(peer.cacheList().empty());
    // Tab, line feed and carriage return stay allowed, and so do bytes from 128 up.
    EXPECT_EQ(replyTo(head + ",\"cardtype\":1,\"address\":\"a\\tb\\nc\\r\",\"ScanCmd\":\"C\","
                             "\"name\":\"\xD5\xC5\x7F\"}"),
              test::submissionReply("\"" + code + "\"", 0, ""));
}

TEST_F(RequestHandlerTest, ImagesThatAreNotTextAreCheckedAsTheExportReadsThem) {
    // The export reads an image with asString: 1234 gives "1234", true gives
    // "true" (both decode), null gives an empty image.
    for (const char* image : {"1234", "true", "null"}) {
        const std::string code = issueCode();
        EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":1,\"code\":\"" + code +
                          "\",\"cardiamgedata\":" + image + "}"),
                  test::submissionReply("\"" + code + "\"", 0, ""))
            << image;
    }
    const std::string code = issueCode();
    EXPECT_EQ(
        replyTo("{\"type\":1,\"cardtype\":1,\"code\":\"" + code + "\",\"cardiamgedata\":false}"),
        test::submissionReply("\"" + code + "\"", 1, "cardiamgedata is invalid"));
    EXPECT_EQ(peer.cacheList().size(), 3u);
}

TEST_F(RequestHandlerTest, TheCodeIsCheckedBeforeTheMembers) {
    EXPECT_EQ(replyTo("{\"type\":1,\"code\":\"nope\",\"cardtype\":1,\"name\":[]}"),
              test::submissionReply("\"nope\"", 1, "code is err"));
}

TEST_F(RequestHandlerTest, AMissingCardTypeKeepsTheCodeValid) {
    std::string code = issueCode();
    for (const std::string cardType : {"", ",\"cardtype\":null"}) {
        EXPECT_EQ(replyTo("{\"type\":1,\"code\":\"" + code + "\"" + cardType + "}"),
                  test::submissionReply("\"" + code + "\"", 1, "cardtype is null"));
    }
    // No card type and no valid code: the card type is looked at first.
    EXPECT_EQ(replyTo("{\"type\":1,\"code\":\"bogus\"}"),
              test::submissionReply("\"bogus\"", 1, "cardtype is null"));
    EXPECT_EQ(peer.codeSet().count(code), 1u);
    EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":1,\"code\":\"" + code + "\"}"),
              test::submissionReply("\"" + code + "\"", 0, ""));
}

TEST_F(RequestHandlerTest, CodesThatWereNeverIssuedAreRefused) {
    issueCode();
    EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":1}"),
              "{\n   \"code\" : null,\n   \"msg\" : \"code is err\",\n   \"result\" : 1,\n"
              "   \"type\" : 1\n}\n");
    EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":1,\"code\":123}"),
              test::submissionReply("123", 1, "code is err"));
    EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":1,\"code\":true}"),
              test::submissionReply("true", 1, "code is err"));
    EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":1,\"code\":\"\"}"),
              test::submissionReply("\"\"", 1, "code is err"));
    // A code that is an array or an object gets null.
    EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":1,\"code\":[\"x\"]}"), "null\n");
    EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":1,\"code\":{}}"), "null\n");
    EXPECT_EQ(peer.codeSet().size(), 1u);
    EXPECT_TRUE(peer.cacheList().empty());
}

TEST_F(RequestHandlerTest, CommentsAreUnderstoodAndWrittenBack) {
    std::string code = issueCode();
    std::string request = "/* head */ {\"type\":1, // the kind\n\"cardtype\":\"ID\",\n\"code\":\"" +
                          code + "\" /* mine */}";
    std::string reply = replyTo(request);
    EXPECT_EQ(reply,
              "{\n   \"code\" : \"" + code +
                  "\", /* mine */\n   \"msg\" : \"\",\n   \"result\" : 0,\n   \"type\" : 1\n}\n");
    ASSERT_EQ(peer.cacheList().size(), 1u);
    EXPECT_NE(peer.cacheList().front().text.find("/* head */"), std::string::npos);
    EXPECT_NE(peer.cacheList().front().text.find("// the kind"), std::string::npos);
}

TEST_F(RequestHandlerTest, TextAfterTheFirstValueIsIgnored) {
    std::string code = issueCode();
    EXPECT_EQ(replyTo("{\"type\":1,\"cardtype\":1,\"code\":\"" + code + "\"} {\"type\":0} junk"),
              test::submissionReply("\"" + code + "\"", 0, ""));
    EXPECT_EQ(peer.codeSet().size(), 0u);
}

TEST_F(RequestHandlerTest, QueuedRecordsKeepTheirBytes) {
    // GB2312 "张三" and a Latin-1 byte that is not UTF-8 either: both must
    // come back from a re-read exactly as sent.
    const std::string name = "\xD5\xC5\xC8\xFD";
    const std::string address = "\xB1\xB1\xBE\xA9 \xE9";
    std::string code = issueCode();
    replyTo("{\"type\":1,\"cardtype\":\"\xC9\xED\",\"code\":\"" + code + "\",\"name\":\"" + name +
            "\",\"address\":\"" + address + "\",\"note\":\"a\\u0001b\"}");
    ASSERT_EQ(peer.cacheList().size(), 1u);
    const std::string& queued = peer.cacheList().front().text;
    EXPECT_NE(queued.find("\"name\" : \"" + name + "\""), std::string::npos);
    Json::Value again;
    ASSERT_TRUE(parseJson(queued, &again));
    EXPECT_EQ(again["name"].asString(), name);
    EXPECT_EQ(again["address"].asString(), address);
    EXPECT_EQ(again["cardtype"].asString(), "\xC9\xED");
    EXPECT_EQ(again["note"].asString(), std::string("a\x01") + "b");
    EXPECT_EQ(styledText(again), queued);
}

TEST_F(RequestHandlerTest, NewerRecordsQueueBehindOlderOnes) {
    for (int i = 0; i < 3; ++i) {
        std::string code = issueCode();
        replyTo("{\"type\":1,\"cardtype\":1,\"code\":\"" + code + "\",\"n\":" + std::to_string(i) +
                "}");
    }
    ASSERT_EQ(peer.cacheList().size(), 3u);
    int expected = 0;
    for (const QueuedRecord& queued : peer.cacheList()) {
        Json::Value record;
        ASSERT_TRUE(parseJson(queued.text, &record));
        EXPECT_EQ(record["n"].asInt(), expected++);
    }
}

}  // namespace
}  // namespace qrx
