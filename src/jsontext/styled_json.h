// The two JSON conversions the server makes, kept in one place.
#pragma once

#include <json/value.h>

#include <string>
#include <string_view>

namespace qrx {

// The styled text of a value, laid out line for line as JsonCpp's
// StyledWriter lays it out: three-space indentation, `"name" : value`,
// members in ascending order, an array of scalars on one line (`[ 1, 2 ]`)
// while that line stays under 74 columns, comments written back, a final
// newline. Bytes of texts from 128 up are written unchanged (no \u escapes),
// so GBK and GB2312 texts come back from a re-read exactly as they were.
// Two things the StyledWriter gets wrong are mended, so that the text always
// reads back as the value: a member name is written whole (the StyledWriter
// stops at its first zero byte), and what follows a // comment that ends in
// a space goes on a new line (the StyledWriter puts it inside the comment).
// expectedSize, when known, is room set aside for the text at once, so a
// long one is written without being moved as it grows.
std::string styledText(const Json::Value& value, size_t expectedSize = 0);

// Whether the styled text is at most limit bytes long, found without
// writing it; when it is, *size is its length. A text can then be checked
// against a bound before any room is taken for it, and written into exactly
// the room it needs (styledText(value, size)), so a record kept in the
// queue holds only its own size. Nested arrays and objects make a text far
// longer than the request they came in, as each level indents its lines
// further: a request of a few megabytes can make gigabytes of text. So the
// count stops as soon as it passes limit, and it can never wrap past it,
// even where size_t has 32 bits.
bool styledTextFits(const Json::Value& value, size_t limit, size_t* size);

// Parses text with the reader's default features: comments allowed and kept,
// any value at the root, text after the first complete value ignored.
// Returns false when the text does not parse.
bool parseJson(std::string_view text, Json::Value* root);

}  // namespace qrx
