// GBK conversion through iconv: UTF-8 to UTF-32 first, which finds bad
// UTF-8, then UTF-32 to GBK, which finds the character without a GBK form.
#include <errno.h>
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/gbk_text.h"

namespace qrx {
namespace {

// Runs all of in through a fresh converter. Returns false at the first
// input it cannot convert, with *stoppedAt its offset.
bool convert(const char* to, const char* from, const std::string& in, std::string* out,
             size_t* stoppedAt) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        *stoppedAt = 0;
        return false;
    }
    std::vector<char> room(in.size() * 4 + 16);
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char* outPtr = room.data();
    size_t outLeft = room.size();
    size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    *stoppedAt = in.size() - inLeft;
    if (done == static_cast<size_t>(-1)) return false;
    out->assign(room.data(), room.size() - outLeft);
    return true;
}

}  // namespace

bool utf8ToGbk(const std::string& utf8, std::string* gbk, std::string* problem) {
    std::string utf32;
    size_t stoppedAt = 0;
    if (!convert("UTF-32LE", "UTF-8", utf8, &utf32, &stoppedAt)) {
        *problem = "is not valid UTF-8";
        return false;
    }
    if (convert("GBK", "UTF-32LE", utf32, gbk, &stoppedAt)) return true;
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
