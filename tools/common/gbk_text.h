// Card texts for the desk's code page. Records are read as GB2312/GBK on the
// desk, while text editors and terminals write UTF-8, so the client tool
// converts a card's texts before it sends them.
#pragma once

#include <string>

namespace qrx {

// The problem of a text that is not UTF-8 (a file saved in GBK, say), told
// apart from one of a character that GBK cannot hold.
constexpr char kNotUtf8[] = "is not valid UTF-8";

// Converts UTF-8 text to GBK (Windows code page 936). On failure returns
// false and says why in *problem, as the end of a sentence about the text:
// kNotUtf8, or "holds U+1F600, which has no GBK form".
bool utf8ToGbk(const std::string& utf8, std::string* gbk, std::string* problem);

// A command-line argument as UTF-8: unchanged where terminals give UTF-8,
// converted from the ANSI code page on Windows.
std::string argumentToUtf8(const std::string& argument);

}  // namespace qrx
