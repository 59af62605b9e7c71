#include "export/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "common/base64_encode.h"

namespace qrx {
namespace {

std::string decoded(const std::string& text) {
    int32_t length = -1;
    std::vector<uint8_t> bytes = base64Decode(text, &length);
    EXPECT_GE(bytes.size(), static_cast<size_t>(length) + 1);
    EXPECT_EQ(bytes[length], 0) << "no zero byte after the data of " << text;
    return std::string(bytes.begin(), bytes.begin() + length);
}

TEST(Base64, GroupsAndPadding) {
    EXPECT_EQ(decoded("QUJD"), "ABC");
    EXPECT_EQ(decoded("QQ=="), "A");
    EXPECT_EQ(decoded("QUI="), "AB");
    EXPECT_EQ(decoded("QQ=x"), "A");        // "=" third: one byte, whatever the fourth
    EXPECT_EQ(decoded("QQ==QkM="), "ABC");  // padding does not end the text
    EXPECT_EQ(decoded("/+9z"), "\xFF\xEF\x73");
    EXPECT_EQ(decoded(""), "");
}

TEST(Base64, AnyBrokenGroupFailsTheWholeText) {
    for (const std::string& text :
         std::vector<std::string>{"QQ", "QUJD\n", "QUJ", "QU JD", "=QJD", "Q=JD", "QUJD-_ab",
                                  "QUJ\xC4", std::string("QU\0D", 4), "QUJDQ"}) {
        EXPECT_EQ(decoded(text), "") << text;
        EXPECT_FALSE(isImageText(text)) << text;
    }
}

TEST(Base64, ImageTextIsEmptyOrDecodable) {
    EXPECT_TRUE(isImageText(""));
    EXPECT_TRUE(isImageText("QUJD"));
    EXPECT_TRUE(isImageText("QQ==QkM="));
}

// The rule a group of four obeys, character by character: the reference for
// the check, which looks at many groups at once.
bool groupsObeyTheRule(const std::string& text) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto inAlphabet = [](char c) { return c != '\0' && std::strchr(kAlphabet, c) != nullptr; };
    if (text.size() % 4 != 0) return false;
    for (size_t at = 0; at < text.size(); ++at) {
        const bool padPlace = at % 4 >= 2;
        if (!inAlphabet(text[at]) && !(padPlace && text[at] == '=')) return false;
    }
    return true;
}

// Texts of every length up to 100 and long ones, mostly good groups with a
// fault in any place: a character from outside the alphabet (the bytes just
// outside each run of it, high bytes, a zero byte) or "=" in the first two
// places, in the groups checked together and in the last ones.
TEST(Base64, ImageTextCheckAgreesWithTheRuleOfEachGroup) {
    static const char kGood[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static const char kBad[] = "@[`{*,-.:;<>?\x7F\x80\xAB\xC1\xDA\xE1\xFA\xFF \n";
    std::mt19937 random(4096);
    int accepted = 0, refused = 0, differing = 0;
    for (int i = 0; i < 200000; ++i) {
        // Whole groups mostly; any length now and then.
        const size_t size = i % 10 == 0  ? 4000 + 4 * (random() % 50)
                            : i % 7 == 0 ? random() % 101
                                         : 4 * (random() % 26);
        std::string text;
        for (size_t at = 0; at < size; ++at) text.push_back(kGood[random() % 64]);
        // Padding where it may be, and sometimes where it may not.
        for (int pads = random() % 4; pads > 0 && size > 0; --pads) text[random() % size] = '=';
        if (random() % 2 == 0 && size > 0) {
            const size_t at = random() % size;
            text[at] = random() % 8 == 0 ? '\0' : kBad[random() % (sizeof kBad - 1)];
        }
        const bool expected = groupsObeyTheRule(text);
        (expected ? accepted : refused)++;
        if (isImageText(text) != expected && ++differing <= 3)
            ADD_FAILURE() << "size " << text.size() << ", expected " << expected << ": "
                          << text.substr(0, 120);
        int32_t length = -1;
        base64Decode(text, &length);
        if ((length > 0) != (expected && !text.empty()) && ++differing <= 3)
            ADD_FAILURE() << "decoded " << length << " bytes of a text that "
                          << (expected ? "obeys" : "breaks") << " the rule";
    }
    EXPECT_EQ(differing, 0);
    // Both answers are reached often.
    EXPECT_GT(accepted, 20000);
    EXPECT_GT(refused, 20000);
}

TEST(Base64, ALargeImageRoundTrips) {
    // 40 KB of every byte value, encoded here by the definition of base64.
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string raw;
    for (int i = 0; i < 40 * 1024; ++i) raw.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    std::string text;
    for (size_t i = 0; i < raw.size(); i += 3) {
        uint32_t n = static_cast<uint8_t>(raw[i]) << 16;
        if (i + 1 < raw.size()) n |= static_cast<uint8_t>(raw[i + 1]) << 8;
        if (i + 2 < raw.size()) n |= static_cast<uint8_t>(raw[i + 2]);
        text += kAlphabet[n >> 18 & 63];
        text += kAlphabet[n >> 12 & 63];
        text += i + 1 < raw.size() ? kAlphabet[n >> 6 & 63] : '=';
        text += i + 2 < raw.size() ? kAlphabet[n & 63] : '=';
    }
    EXPECT_EQ(decoded(text), raw);
}

TEST(Base64, TheClientsEncodingDecodesToTheSameBytes) {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(decoded(base64Encode(bytes)), bytes) << bytes.size();
        bytes.push_back(static_cast<char>(i * 37 % 256));
    }
    EXPECT_EQ(base64Encode("ABC"), "QUJD");
    EXPECT_EQ(base64Encode("A"), "QQ==");
    EXPECT_EQ(base64Encode("AB"), "QUI=");
}

}  // namespace
}  // namespace qrx
