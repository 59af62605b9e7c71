// GBK conversion through iconv: UTF-8 to UTF-32 first, which finds bad
// UTF-8, then UTF-32 to GBK, which finds the character without a GBK form.
#include <cstdint>
#include <cstdio>

#include "common/gbk_text.h"
#include "platform/iconv_text.h"

namespace qrx {

bool utf8ToGbk(const std::string& utf8, std::string* gbk, std::string* problem) {
    std::string utf32;
    size_t stoppedAt = 0;
    if (!convertText("UTF-32LE", "UTF-8", utf8, &utf32, &stoppedAt)) {
        *problem = kNotUtf8;
        return false;
    }
    if (convertText("GBK", "UTF-32LE", utf32, gbk, &stoppedAt)) return true;
    uint32_t codePoint = 0;
    for (int i = 3; i >= 0; --i)
        codePoint = codePoint << 8 | static_cast<unsigned char>(utf32[stoppedAt + i]);
    char hex[16];
    std::snprintf(hex, sizeof(hex), "U+%04X", static_cast<unsigned>(codePoint));
    *problem = std::string("holds ") + hex + ", which has no GBK form";
    return false;
}

std::string argumentToUtf8(const std::string& argument) {
    return argument;
}

}  // namespace qrx
