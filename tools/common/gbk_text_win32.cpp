// GBK conversion through the code pages: UTF-8 to UTF-16 with invalid input
// refused, then UTF-16 to code page 936 without best-fit substitutes.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/gbk_text.h"

namespace qrx {
namespace {

constexpr UINT kGbkCodePage = 936;

bool toWide(UINT codePage, DWORD flags, const std::string& text, std::wstring* wide) {
    wide->clear();
    if (text.empty()) return true;
    int size = static_cast<int>(text.size());
    int length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    if (length <= 0) return false;
    wide->resize(length);
    return MultiByteToWideChar(codePage, flags, text.data(), size, &(*wide)[0], length) == length;
}

// Converts wide to the code page; false when a character has no form there.
bool fromWide(UINT codePage, const std::wstring& wide, std::string* text) {
    text->clear();
    if (wide.empty()) return true;
    int size = static_cast<int>(wide.size());
    BOOL usedDefault = FALSE;
    BOOL* check = codePage == CP_UTF8 ? nullptr : &usedDefault;
    DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    int length =
        WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, check);
    if (length <= 0 || usedDefault) return false;
    text->resize(length);
    WideCharToMultiByte(codePage, flags, wide.data(), size, &(*text)[0], length, nullptr, check);
    return !usedDefault;
}

// The first character (a surrogate pair counts as one) without a GBK form.
unsigned firstWithoutGbkForm(const std::wstring& wide) {
    for (size_t i = 0; i < wide.size(); ++i) {
        bool pair = IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size();
        std::wstring one = wide.substr(i, pair ? 2 : 1);
        std::string ignored;
        if (!fromWide(kGbkCodePage, one, &ignored))
            return pair ? 0x10000 + ((wide[i] - 0xD800) << 10) + (wide[i + 1] - 0xDC00)
                        : static_cast<unsigned>(wide[i]);
        if (pair) ++i;
    }
    return 0xFFFD;
}

}  // namespace

bool utf8ToGbk(const std::string& utf8, std::string* gbk, std::string* problem) {
    std::wstring wide;
    if (!toWide(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, &wide)) {
        *problem = kNotUtf8;
        return false;
    }
    if (fromWide(kGbkCodePage, wide, gbk)) return true;
    char hex[16];
    std::snprintf(hex, sizeof(hex), "U+%04X", firstWithoutGbkForm(wide));
    *problem = std::string("holds ") + hex + ", which has no GBK form";
    return false;
}

std::string argumentToUtf8(const std::string& argument) {
    std::wstring wide;
    std::string utf8;
    if (!toWide(CP_ACP, 0, argument, &wide) || !fromWide(CP_UTF8, wide, &utf8)) return argument;
    return utf8;
}

}  // namespace qrx
