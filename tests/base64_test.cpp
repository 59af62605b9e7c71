#include "base/base64.h"

#include <gtest/gtest.h>

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
