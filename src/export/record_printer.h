// The record's own XML text. TinyXML's TiXmlPrinter escapes through the
// library's EncodeString, and TinyXML builds differ there: the upstream
// library passes an "&" that begins "&#x" through unchanged, Debian's escapes
// it. Records are printed here instead, with escaping of our own, so every
// build writes the same bytes for the same card.
#pragma once

#include <string>

class TiXmlDocument;

namespace qrx {

// Appends text escaped as XML character data: "&" always as "&amp;" (so
// "&#x41;" reads back as sent), "<" "&lt;", ">" "&gt;", '"' "&quot;", "'"
// "&apos;", bytes 0..31 as "&#x%02X;" ("&#x0A;"); every other byte, those
// from 128 up included, unchanged.
void appendXmlEscaped(const std::string& text, std::string* out);

// The document in the record layout: one node per line, four spaces of
// indent per level, CR LF after every line. An element whose only child is
// text is one line (<X>text</X>, <X></X> for empty text); an element with
// no child is <X />. Prints the declaration, elements with their attributes
// and text, which is all a record holds (CDATA is written as escaped text);
// comments and unknown nodes are left out.
std::string printRecord(const TiXmlDocument& document);

}  // namespace qrx
