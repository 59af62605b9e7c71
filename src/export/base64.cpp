#include "export/base64.h"

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qrx {
namespace {

// What a character is worth: its 6-bit value for the alphabet, kPad for
// "=", kOther for anything else. Both marks have the top bit (0x40 or 0x80)
// that no 6-bit value has, so a group can be checked without branches.
constexpr uint8_t kPad = 0x40;
constexpr uint8_t kOther = 0xFF;

constexpr std::array<uint8_t, 256> makeSextets() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table) entry = kOther;
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (uint8_t value = 0; value < 64; ++value)
        table[static_cast<unsigned char>(alphabet[value])] = value;
    table['='] = kPad;
    return table;
}

constexpr std::array<uint8_t, 256> kSextets = makeSextets();

// Non-zero when four characters do not make a group: two alphabet
// characters, then "=" or an alphabet character twice.
inline unsigned groupFault(const unsigned char* c) {
    return ((kSextets[c[0]] | kSextets[c[1]]) & 0xC0) | ((kSextets[c[2]] | kSextets[c[3]]) & 0x80);
}

}  // namespace

std::vector<uint8_t> base64Decode(const std::string& text, int32_t* length) {
    // 3 * size / 4 + 1, worked out so that it cannot wrap where size_t has 32 bits.
    const size_t size = text.size();
    std::vector<uint8_t> buffer(size / 4 * 3 + size % 4 * 3 / 4 + 1, 0);
    *length = 0;
    if (!isImageText(text.data(), text.size())) return buffer;
    const unsigned char* c = reinterpret_cast<const unsigned char*>(text.data());
    size_t out = 0;
    for (size_t at = 0; at < text.size(); at += 4, c += 4) {
        unsigned s1 = kSextets[c[0]], s2 = kSextets[c[1]], s3 = kSextets[c[2]], s4 = kSextets[c[3]];
        buffer[out++] = static_cast<uint8_t>(s1 << 2 | s2 >> 4);
        if (s3 != kPad) {
            buffer[out++] = static_cast<uint8_t>(s2 << 4 | s3 >> 2);
            if (s4 != kPad) buffer[out++] = static_cast<uint8_t>(s3 << 6 | s4);
        }
    }
    buffer[out] = 0;
    *length = static_cast<int32_t>(out);
    return buffer;
}

#if defined(__SSE2__)
// Whether the 16 bytes at text, four whole groups, break the rule that each
// byte is in the alphabet, or is "=" in the third or fourth place of its
// group. Bytes from 128 up compare as negative, below every range.
inline bool blockFaults(const char* text) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    auto within = [&bytes](char first, char last) {
        return _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(static_cast<char>(first - 1))),
                             _mm_cmplt_epi8(bytes, _mm_set1_epi8(static_cast<char>(last + 1))));
    };
    // "/" and the digits are one run: "/" is 0x2F, "0" is 0x30.
    const __m128i plus = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('+'));
    __m128i good = _mm_or_si128(_mm_or_si128(within('A', 'Z'), within('a', 'z')),
                                _mm_or_si128(within('/', '9'), plus));
    // The third and fourth byte of each group of four (x86 is little-endian).
    const __m128i padPlaces = _mm_set1_epi32(static_cast<int>(0xFFFF0000u));
    good = _mm_or_si128(good, _mm_and_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('=')), padPlaces));
    return _mm_movemask_epi8(good) != 0xFFFF;
}
#endif

bool isImageText(const char* text, size_t size) {
    // The decoder's rules, without decoding: this runs for every submission,
    // on tens of kilobytes, so where SSE2 is there the groups are checked
    // sixteen bytes at a time, and the rest by the decoder's table.
    if (size % 4 != 0) return false;
    size_t at = 0;
#if defined(__SSE2__)
    bool blockFault = false;
    for (; at + 16 <= size; at += 16) blockFault |= blockFaults(text + at);
    if (blockFault) return false;
#endif
    const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
    unsigned fault = 0;
    for (; at < size; at += 4) fault |= groupFault(c + at);
    return fault == 0;
}

bool isImageText(const std::string& text) {
    return isImageText(text.data(), text.size());
}

}  // namespace qrx
