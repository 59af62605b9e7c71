#include "settings/ini_file.h"

#include <gtest/gtest.h>

namespace qrx {
namespace {

std::string valueOf(const std::string& text, const std::string& section, const std::string& key) {
    std::string value;
    return findProfileValue(text, section, key, &value) ? value : "<missing>";
}

TEST(IniProfile, NamesCompareCaseInsensitivelyAndTheFirstMatchWins) {
    const std::string ini =
        "[server]\r\n"
        "ADDRESS = tcp://a:1\r\n"
        "address=tcp://b:2\r\n"
        "[Server]\r\n"
        "AddressEx=tcp://never:3\r\n";
    EXPECT_EQ(valueOf(ini, "Server", "Address"), "tcp://a:1");
    // Only the first "Server" section is read.
    EXPECT_EQ(valueOf(ini, "Server", "AddressEx"), "<missing>");
    EXPECT_EQ(valueOf(ini, "SheCai", "Caption"), "<missing>");
}

TEST(IniProfile, TrimsCommentsAndOnePairOfQuotes) {
    const std::string ini =
        "; a comment\n"
        "  [ SheCai ]  \n"
        "  ;Caption=commented out\n"
        "Caption =  \"  spaced title \"  \n"
        "Other='x'\n"
        "Odd=\"x'\n"
        "Twice=\"\"x\"\"\n";
    EXPECT_EQ(valueOf(ini, "SheCai", "Caption"), "  spaced title ");
    EXPECT_EQ(valueOf(ini, "SheCai", "Other"), "x");
    EXPECT_EQ(valueOf(ini, "SheCai", "Odd"), "\"x'");
    EXPECT_EQ(valueOf(ini, "SheCai", "Twice"), "\"x\"");
}

TEST(IniProfile, KeepsBytesOfOtherCodePages) {
    const std::string title = "\xC9\xE7\xBB\xE1";
    EXPECT_EQ(valueOf("[SheCai]\nCaption=" + title + "\n", "shecai", "caption"), title);
}

TEST(IniProfile, IntegersReadAsTheWindowsReaderDoes) {
    EXPECT_EQ(parseProfileInt("42"), 42);
    EXPECT_EQ(parseProfileInt("-7"), -7);
    EXPECT_EQ(parseProfileInt("+9"), 9);
    EXPECT_EQ(parseProfileInt("55zz"), 55);
    EXPECT_EQ(parseProfileInt("0x1F"), 31);
    EXPECT_EQ(parseProfileInt("0X10g"), 16);
    EXPECT_EQ(parseProfileInt("abc"), 0);
    EXPECT_EQ(parseProfileInt("-"), 0);
    EXPECT_EQ(parseProfileInt("3.9"), 3);
    EXPECT_EQ(parseProfileInt("4294967295"), -1);  // wraps to 32 bits
}

}  // namespace
}  // namespace qrx
