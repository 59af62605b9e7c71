#include "common/base64_encode.h"

#include <cstdint>

namespace qrx {

std::string base64Encode(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
        if (left > 1) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (left > 2) n |= static_cast<uint8_t>(bytes[i + 2]);
        text += kAlphabet[n >> 18 & 63];
        text += kAlphabet[n >> 12 & 63];
        text += left > 1 ? kAlphabet[n >> 6 & 63] : '=';
        text += left > 2 ? kAlphabet[n & 63] : '=';
    }
    return text;
}

}  // namespace qrx
