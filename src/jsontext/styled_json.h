// The two JSON conversions the server makes, kept in one place.
#pragma once

#include <json/value.h>

#include <string>

namespace qrx {

// The styled text of a value: three-space indentation, `"name" : value`,
// members in ascending order, comments written back, a final newline; bytes
// of texts written unchanged (no \u escapes for bytes from 128 up), so GBK
// and GB2312 texts come back from a re-read exactly as they were. Arrays and
// objects inside a value are laid out one element a line. expectedSize, when
// known, is room set aside for the text at once, so a long one is written
// without being moved as it grows.
std::string styledText(const Json::Value& value, size_t expectedSize = 0);

// Parses text with the reader's default features: comments allowed and kept,
// any value at the root, text after the first complete value ignored.
// Returns false when the text does not parse.
bool parseJson(const std::string& text, Json::Value* root);

}  // namespace qrx
