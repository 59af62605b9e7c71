#include "platform/iconv_text.h"

#include <iconv.h>

#include <vector>

namespace qrx {

bool convertText(const char* to, const char* from, const std::string& in, std::string* out,
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

}  // namespace qrx
