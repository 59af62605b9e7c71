// The base64 reading of the card and head images: the standard alphabet
// ("A"-"Z", "a"-"z", "0"-"9", "+", "/") in groups of four, "=" as padding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrx {

// Decodes text. Returns a buffer of 3 * size / 4 + 1 bytes whose first
// *length bytes are the data, followed by a zero byte. Any group that breaks
// the rules (a character outside the alphabet, white space or a line break
// included, "=" in the first two places, text ending inside a group) fails
// the whole decode: *length is 0. Padding does not end the text: "QQ==QkM="
// is the three bytes "ABC".
std::vector<uint8_t> base64Decode(const std::string& text, int32_t* length);

// Whether an image text gives an image: empty text (an empty image) or text
// that decodes.
bool isImageText(const std::string& text);
bool isImageText(const char* text, size_t size);

}  // namespace qrx
