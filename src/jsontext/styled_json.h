// The two JSON conversions the server makes, kept in one place.
#pragma once

#include <json/value.h>

#include <string>

namespace qrx {

// The styled text of a value, laid out line for line as JsonCpp's
// StyledWriter lays it out: three-space indentation, `"name" : value`,
// members in ascending order, an array of scalars on one line (`[ 1, 2 ]`)
// while that line stays under 74 columns, comments written back, a final
// newline. Bytes of texts from 128 up are written unchanged (no \u escapes),
// so GBK and GB2312 texts come back from a re-read exactly as they were.
// What the StyledWriter does wrong is kept: a member name is written up to
// its first zero byte, and what follows a // comment that ends in a space is
// written on the comment's line, so neither reads back as it was.
// expectedSize, when known, is room set aside for the text at once, so a
// long one is written without being moved as it grows.
std::string styledText(const Json::Value& value, size_t expectedSize = 0);

// Parses text with the reader's default features: comments allowed and kept,
// any value at the root, text after the first complete value ignored.
// Returns false when the text does not parse.
bool parseJson(const std::string& text, Json::Value* root);

}  // namespace qrx
