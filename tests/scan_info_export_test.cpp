// The record export as the desktop side sees it: the bytes of the record
// file and of the two image files in the result folder.
#include <gtest/gtest.h>
#include <tinyxml.h>
#include <unistd.h>

#include "export/record_stamp.h"
#include "export/scan_info_record.h"
#include "jsontext/styled_json.h"
#include "processor/processor.h"
#include "processor_peer.h"
#include "test_support.h"

namespace qrx {
namespace {

using test::readFile;

const std::string kHeader = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<SCAN_INFO>\r\n";
const std::string kFooter = "</SCAN_INFO>\r\n";

std::string line(const std::string& element, const std::string& text) {
    return "    <" + element + ">" + text + "</" + element + ">\r\n";
}

class ScanInfoExportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeDirs(dir / "drive_c/qrx");
        test::makeDirs(dir / "drive_d/scan");
        test::makeDirs(dir / "drive_d/scan_jw");
        peer.settings().scanResultDir = "D:\\scan\\";
        peer.settings().scanResultJwDir = "D:\\scan_jw\\";
        fake.clock.wallTime = test::makeTime(2026, 12, 7, 9, 5, 0, 0);
    }
    Json::Value parsed(const std::string& text) {
        Json::Value value;
        EXPECT_TRUE(parseJson(text, &value)) << text;
        return value;
    }
    // Exports request, keeping the names written and why it failed.
    bool write(const std::string& request, bool isC) {
        return processor.exportScanInfo(parsed(request), isC, &written, &failure);
    }
    // Exports and returns the record file's bytes.
    std::string exportRecord(const std::string& request, bool isC) {
        write(request, isC);
        return readFile(dir / (isC ? "drive_d/scan/" : "drive_d/scan_jw/") + stamp + ".xml");
    }
    // The next export one second later.
    void tick() {
        fake.clock.wallTime->second++;
        stamp = formatStamp(*fake.clock.wallTime);
    }
    std::string images(const std::string& folder) {
        return line("CARDIMAGE", folder + stamp + ".jpg") +
               line("HEADIMAGE", folder + stamp + "_head.jpg");
    }
    std::string logText() { return readFile(dir / "drive_c/qrx/sock.log"); }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    CProcessor processor{fake};
    CProcessorPeer peer{processor};
    std::string stamp = "20261207090500";
    RecordFiles written;
    std::string failure;
};

TEST_F(ScanInfoExportTest, CardLayoutByteForByte) {
    std::string record = exportRecord(
        "{\"type\":1,\"ScanCmd\":\"C\",\"cardtype\":\"ID\",\"name\":\"A\",\"sex\":\"M\","
        "\"card_no\":\"123\",\"nation\":\"CN\",\"birthday\":\"19800101\",\"address\":\"Addr\","
        "\"number\":\"N1\",\"scantime\":\"2026-12-07 09:05:00\",\"countrycode\":\"CHN\","
        "\"chinese_name\":\"never\",\"cardiamgedata\":\"QUJD\",\"headiamgedata\":\"QQ==\"}",
        true);
    EXPECT_EQ(record, kHeader + line("NAME", "A") + line("SEX", "M") + line("CARD_NO", "123") +
                          line("NATION", "CN") + line("BIRTHDAY", "19800101") +
                          line("ADDRESS", "Addr") + line("NUMBER", "N1") +
                          line("SCANTIME", "2026-12-07 09:05:00") + images("D:\\scan\\") +
                          line("CARDTYPE", "ID") + kFooter);
    EXPECT_EQ(readFile(dir / "drive_d/scan/" + stamp + ".jpg"), "ABC");
    EXPECT_EQ(readFile(dir / "drive_d/scan/" + stamp + "_head.jpg"), "A");
    EXPECT_EQ(written.record, "D:\\scan\\" + stamp + ".xml");
}

TEST_F(ScanInfoExportTest, OtherLayoutByteForByte) {
    std::string record = exportRecord(
        "{\"ScanCmd\":\"F7\",\"cardtype\":2,\"name\":\"ignored\",\"chinese_name\":\"\xD5\xC5\","
        "\"english_name\":\"DOE JANE\",\"sex\":\"F\",\"card_no\":\"P1\",\"birthday\":\"1990\","
        "\"scantime\":\"t\",\"countrycode\":\"USA\",\"nation\":\"x\",\"address\":\"x\","
        "\"txz\":\"x\",\"cardiamgedata\":\"\",\"headiamgedata\":\"QUI=\"}",
        false);
    EXPECT_EQ(record, kHeader + line("CHINESE_NAME", "\xD5\xC5") +
                          line("ENGLISH_NAME", " JANE DOE") + line("SEX", "F") +
                          line("CARD_NO", "P1") + line("BIRTHDAY", "1990") + line("SCANTIME", "t") +
                          line("COUNTRY", "USA") + images("D:\\scan_jw\\") + line("CARDTYPE", "2") +
                          kFooter);
    EXPECT_TRUE(test::exists(dir / "drive_d/scan_jw/" + stamp + ".jpg"));
    EXPECT_EQ(readFile(dir / "drive_d/scan_jw/" + stamp + ".jpg"), "");
    EXPECT_EQ(readFile(dir / "drive_d/scan_jw/" + stamp + "_head.jpg"), "AB");
    EXPECT_FALSE(test::exists(dir / "drive_d/scan/" + stamp + ".xml"));
}

TEST_F(ScanInfoExportTest, AnAcceptedRequestReachesTheRecordWithItsBytes) {
    // GB2312 texts (a name, a city, a card type) from the request text
    // through the queue to the record file.
    Json::Value reply;
    processor.handleRequest("{\"type\":0}", reply);
    std::string code = reply["code"].asString();
    reply = Json::Value();
    processor.handleRequest(
        "{\"type\":1,\"ScanCmd\":\"C\",\"cardtype\":\"\xC9\xED\xB7\xDD\xD6\xA4\",\"code\":\"" +
            code + "\",\"name\":\"\xD5\xC5\xC8\xFD\",\"address\":\"\xB1\xB1\xBE\xA9\"}",
        reply);
    ASSERT_EQ(peer.cacheList().size(), 1u);
    std::string record = exportRecord(peer.cacheList().front().text, true);
    EXPECT_NE(record.find(line("NAME", "\xD5\xC5\xC8\xFD")), std::string::npos);
    EXPECT_NE(record.find(line("ADDRESS", "\xB1\xB1\xBE\xA9")), std::string::npos);
    EXPECT_NE(record.find(line("CARDTYPE", "\xC9\xED\xB7\xDD\xD6\xA4")), std::string::npos);
}

TEST_F(ScanInfoExportTest, TextIsEscapedByTheXmlPrinterAndOtherBytesKept) {
    // "<", ">", "&" (also one that begins "&#x"), both quotes, control bytes
    // and GB2312 bytes.
    std::string record =
        exportRecord("{\"name\":\"a<b>&c\\\"d'e&#x41;f\\u0001g\\u001f\xB1\xB1\xBE\xA9\"}", true);
    EXPECT_NE(record.find(line("NAME",
                               "a&lt;b&gt;&amp;c&quot;d&apos;e&amp;#x41;f&#x01;g&#x1F;"
                               "\xB1\xB1\xBE\xA9")),
              std::string::npos)
        << record;
}

TEST_F(ScanInfoExportTest, EveryAmpersandIsEscapedSoCharacterReferencesReadBackAsSent) {
    // An "&" that begins "&#x" too, whatever the TinyXML build: the record is
    // printed by our own printer.
    std::string record = exportRecord(
        "{\"name\":\"&#x41;\",\"sex\":\"&amp;\",\"card_no\":\"1&#x\",\"nation\":\"&#x41\","
        "\"birthday\":\"&#65;&\"}",
        true);
    const std::string expected = kHeader + line("NAME", "&amp;#x41;") + line("SEX", "&amp;amp;") +
                                 line("CARD_NO", "1&amp;#x") + line("NATION", "&amp;#x41") +
                                 line("BIRTHDAY", "&amp;#65;&amp;");
    EXPECT_EQ(record.substr(0, expected.size()), expected);

    TiXmlDocument readBack;
    readBack.Parse(record.c_str());
    ASSERT_FALSE(readBack.Error()) << readBack.ErrorDesc();
    const TiXmlElement* root = readBack.RootElement();
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->FirstChildElement("NAME")->GetText(), "&#x41;");
    EXPECT_STREQ(root->FirstChildElement("SEX")->GetText(), "&amp;");
    EXPECT_STREQ(root->FirstChildElement("BIRTHDAY")->GetText(), "&#65;&");
}

TEST_F(ScanInfoExportTest, NameDecidesBetweenOneAndTwoNameElements) {
    const std::string names = line("CHINESE_NAME", "C") + line("ENGLISH_NAME", "DOE JANE");
    struct Case {
        const char* name;
        std::string expected;
    } cases[] = {
        {",\"name\":\"N\"", line("NAME", "N")},
        {",\"name\":\"\"", names},
        {"", names},
        {",\"name\":null", names},
        {",\"name\":0", line("NAME", "0")},
    };
    for (const Case& c : cases) {
        std::string record = exportRecord(
            std::string("{\"chinese_name\":\"C\",\"english_name\":\"DOE JANE\"") + c.name + "}",
            true);
        EXPECT_EQ(record.substr(kHeader.size(), c.expected.size()), c.expected) << c.name;
        EXPECT_EQ(record.find("    <SEX>"), kHeader.size() + c.expected.size()) << c.name;
        tick();
    }
}

TEST_F(ScanInfoExportTest, AnEmptyStringTxzBringsTheWholeGroup) {
    std::string group = line("TXZ", "") + line("QFJG", "Q") + line("YXQQ", "") + line("YXQZ", "") +
                        line("QFCS", "");
    std::string record =
        exportRecord("{\"name\":\"N\",\"sex\":\"M\",\"txz\":\"\",\"qfjg\":\"Q\"}", true);
    EXPECT_NE(record.find(line("SEX", "M") + group + line("CARD_NO", "")), std::string::npos);

    for (const char* txz : {"", ",\"txz\":1", ",\"txz\":null", ",\"txz\":true"}) {
        tick();
        record = exportRecord(
            std::string("{\"name\":\"N\",\"sex\":\"M\",\"qfjg\":\"Q\"") + txz + "}", true);
        EXPECT_NE(record.find(line("SEX", "M") + line("CARD_NO", "")), std::string::npos) << txz;
        EXPECT_EQ(record.find("QFJG"), std::string::npos) << txz;
    }
}

TEST_F(ScanInfoExportTest, EnglishNamesAreRearranged) {
    EXPECT_EQ(rearrangeEnglishName("DOE JANE"), " JANE DOE");
    EXPECT_EQ(rearrangeEnglishName("DOE JANE ANN"), " JANE ANN DOE");
    EXPECT_EQ(rearrangeEnglishName("DOE,JANE"), "DOE JANE");
    EXPECT_EQ(rearrangeEnglishName("DOE,JANE,X"), "DOE JANE,X");
    EXPECT_EQ(rearrangeEnglishName("DOE,JANE ANN"), " ANN DOE,JANE");
    EXPECT_EQ(rearrangeEnglishName("DOE"), "DOE");
    EXPECT_EQ(rearrangeEnglishName(" DOE JANE"), " DOE JANE");
    EXPECT_EQ(rearrangeEnglishName(" DOE,JANE"), " DOE JANE");
    EXPECT_EQ(rearrangeEnglishName(""), "");
}

TEST_F(ScanInfoExportTest, AnUnreadableMemberSavesWhatCameBeforeAndLogsOnce) {
    std::string record = exportRecord("{\"name\":\"N\",\"sex\":{\"a\":1}}", true);
    EXPECT_EQ(record, kHeader + line("NAME", "N") + kFooter);
    EXPECT_FALSE(test::exists(dir / "drive_d/scan/" + stamp + ".jpg"));
    std::string log = logText();
    EXPECT_NE(log.find("[Level:3][Processor.cpp("), std::string::npos);
    EXPECT_NE(log.find(")]write xml file fail,parse val error!\r\n"), std::string::npos);
    EXPECT_EQ(log.find("\r\n"), log.size() - 2);  // one line
    EXPECT_EQ(written.record, "D:\\scan\\" + stamp + ".xml");
}

TEST_F(ScanInfoExportTest, AnImageArrayStopsBeforeTheImages) {
    std::string record = exportRecord(
        "{\"chinese_name\":\"C\",\"countrycode\":\"X\",\"cardiamgedata\":[\"QUJD\"]}", false);
    EXPECT_EQ(record.substr(record.size() - kFooter.size() - line("COUNTRY", "X").size()),
              line("COUNTRY", "X") + kFooter);
    EXPECT_FALSE(test::exists(dir / "drive_d/scan_jw/" + stamp + ".jpg"));
    EXPECT_FALSE(test::exists(dir / "drive_d/scan_jw/" + stamp + "_head.jpg"));
}

TEST_F(ScanInfoExportTest, AFailureAtTheFirstMemberLeavesAnEmptyRoot) {
    std::string record = exportRecord("{\"chinese_name\":[1]}", false);
    EXPECT_EQ(record, "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<SCAN_INFO />\r\n");
}

TEST_F(ScanInfoExportTest, Base64TextsGiveTheirImageBytes) {
    const std::pair<const char*, std::string> cases[] = {
        {"QUJD", "ABC"}, {"QQ==", "A"}, {"QQ", ""}, {"QQ==QkM=", "ABC"}, {"QUJD\\n", ""},
    };
    for (const auto& [text, bytes] : cases) {
        exportRecord(std::string("{\"cardiamgedata\":\"") + text + "\"}", true);
        EXPECT_EQ(readFile(dir / "drive_d/scan/" + stamp + ".jpg"), bytes) << text;
        EXPECT_TRUE(test::exists(dir / "drive_d/scan/" + stamp + "_head.jpg"));
        tick();
    }
}

TEST_F(ScanInfoExportTest, AMissingFolderWritesNothingAndSaysWhy) {
    peer.settings().scanResultDir = "E:\\gone\\";
    EXPECT_FALSE(write("{\"name\":\"N\",\"cardiamgedata\":\"QUJD\"}", true));
    EXPECT_FALSE(test::exists(dir / "drive_e"));
    EXPECT_EQ(failure, "No such file or directory");
}

TEST_F(ScanInfoExportTest, AnEmptyFolderMeansTheWorkingFolder) {
    peer.settings().scanResultJwDir = "";
    test::makeDirs(dir / "work");
    ASSERT_EQ(chdir((dir / "work").c_str()), 0);
    write("{\"cardiamgedata\":\"QUJD\"}", false);
    EXPECT_EQ(written.record, stamp + ".xml");
    EXPECT_TRUE(test::exists(dir / "work/" + stamp + ".xml"));
    EXPECT_EQ(readFile(dir / "work/" + stamp + ".jpg"), "ABC");
    EXPECT_NE(readFile(dir / "work/" + stamp + ".xml").find(line("CARDIMAGE", stamp + ".jpg")),
              std::string::npos);
    ASSERT_EQ(chdir("/"), 0);
}

TEST_F(ScanInfoExportTest, ExportsInOneSecondNeverReplaceEachOther) {
    write("{\"name\":\"first\",\"cardiamgedata\":\"QUJD\"}", true);
    write("{\"name\":\"second\",\"cardiamgedata\":\"QQ==\"}", true);
    // Only a head image of the next second is in the way of a third.
    test::writeFile(dir / "drive_d/scan/20261207090502_head.jpg", "someone else's");
    write("{\"name\":\"third\",\"cardiamgedata\":\"QUI=\"}", true);

    const std::string base = dir / "drive_d/scan/";
    EXPECT_NE(readFile(base + "20261207090500.xml").find(line("NAME", "first")), std::string::npos);
    EXPECT_EQ(readFile(base + "20261207090500.jpg"), "ABC");
    EXPECT_NE(readFile(base + "20261207090501.xml").find(line("NAME", "second")),
              std::string::npos);
    EXPECT_NE(readFile(base + "20261207090501.xml")
                  .find(line("CARDIMAGE", "D:\\scan\\20261207090501.jpg")),
              std::string::npos);
    EXPECT_EQ(readFile(base + "20261207090501.jpg"), "A");
    EXPECT_EQ(readFile(base + "20261207090502_head.jpg"), "someone else's");
    EXPECT_NE(readFile(base + "20261207090503.xml").find(line("NAME", "third")), std::string::npos);
    EXPECT_EQ(readFile(base + "20261207090503.jpg"), "AB");
    EXPECT_EQ(written.record, "D:\\scan\\20261207090503.xml");
}

TEST(RecordStamp, SecondsCarryThroughTheCalendar) {
    EXPECT_EQ(formatStamp(nextSecond(test::makeTime(2026, 12, 31, 23, 59, 59, 5))),
              "20270101000000");
    EXPECT_EQ(formatStamp(nextSecond(test::makeTime(2028, 2, 28, 23, 59, 59, 0))),
              "20280229000000");
    EXPECT_EQ(formatStamp(nextSecond(test::makeTime(2026, 2, 28, 23, 59, 59, 0))),
              "20260301000000");
    EXPECT_EQ(formatStamp(nextSecond(test::makeTime(2026, 4, 30, 10, 59, 59, 0))),
              "20260430110000");
    EXPECT_EQ(formatStamp(test::makeTime(2026, 1, 2, 3, 4, 5, 6)), "20260102030405");
}

}  // namespace
}  // namespace qrx
