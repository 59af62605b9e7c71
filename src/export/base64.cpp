#include "export/base64.h"

namespace qrx {
namespace {

// The 6-bit value of an alphabet character, or -1.
int sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Whether four characters make a group: two alphabet characters, then "="
// or an alphabet character twice.
bool isGroup(const unsigned char* c) {
    return sextet(c[0]) >= 0 && sextet(c[1]) >= 0 && (sextet(c[2]) >= 0 || c[2] == '=') &&
           (sextet(c[3]) >= 0 || c[3] == '=');
}

}  // namespace

std::vector<uint8_t> base64Decode(const std::string& text, int32_t* length) {
    std::vector<uint8_t> buffer(3 * text.size() / 4 + 1, 0);
    *length = 0;
    size_t out = 0;
    for (size_t at = 0; at < text.size(); at += 4) {
        if (at + 4 > text.size()) return std::vector<uint8_t>(buffer.size(), 0);
        const unsigned char* c = reinterpret_cast<const unsigned char*>(text.data() + at);
        if (!isGroup(c)) return std::vector<uint8_t>(buffer.size(), 0);
        int s1 = sextet(c[0]), s2 = sextet(c[1]), s3 = sextet(c[2]), s4 = sextet(c[3]);
        buffer[out++] = static_cast<uint8_t>(s1 << 2 | s2 >> 4);
        if (c[2] != '=') {
            buffer[out++] = static_cast<uint8_t>(s2 << 4 | s3 >> 2);
            if (c[3] != '=') buffer[out++] = static_cast<uint8_t>(s3 << 6 | s4);
        }
    }
    buffer[out] = 0;
    *length = static_cast<int32_t>(out);
    return buffer;
}

bool isImageText(const std::string& text) {
    // The decoder's rules, without decoding: this runs for every submission.
    if (text.size() % 4 != 0) return false;
    const unsigned char* c = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t at = 0; at < text.size(); at += 4) {
        if (!isGroup(c + at)) return false;
    }
    return true;
}

}  // namespace qrx
