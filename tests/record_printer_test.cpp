// The record's own XML printer: the escape of every byte, and the layout of
// what a record can hold.
#include "export/record_printer.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <string>

namespace qrx {
namespace {

// What one byte of text becomes in a record: as TinyXML's own escaping has
// it (for one byte alone, no build passes anything through).
std::string expectedEscape(unsigned char byte) {
    std::string escaped;
    TiXmlBase::EncodeString(std::string(1, static_cast<char>(byte)), &escaped);
    return escaped;
}

TEST(RecordPrinter, EveryByteHasItsEscape) {
    TiXmlDocument document;
    auto* root = new TiXmlElement("SCAN_INFO");
    document.LinkEndChild(root);
    std::string expected = "<SCAN_INFO>\r\n";
    std::string allBytes;
    for (int byte = 0; byte < 256; ++byte) {
        const std::string text(1, static_cast<char>(byte));
        auto* element = new TiXmlElement("B");
        element->LinkEndChild(new TiXmlText(text));
        root->LinkEndChild(element);
        expected += "    <B>" + expectedEscape(static_cast<unsigned char>(byte)) + "</B>\r\n";
        allBytes += text;

        std::string escaped = "x";
        appendXmlEscaped(text, &escaped);
        EXPECT_EQ(escaped, "x" + expectedEscape(static_cast<unsigned char>(byte))) << byte;
    }
    expected += "</SCAN_INFO>\r\n";
    EXPECT_EQ(printRecord(document), expected);

    std::string allEscaped;
    for (char c : allBytes) allEscaped += expectedEscape(static_cast<unsigned char>(c));
    std::string escaped;
    appendXmlEscaped(allBytes, &escaped);
    EXPECT_EQ(escaped, allEscaped);
}

TEST(RecordPrinter, CharacterReferencesInTheTextAreEscapedLikeAnyAmpersand) {
    const std::pair<std::string, std::string> cases[] = {
        {"&#x41;", "&amp;#x41;"}, {"&amp;", "&amp;amp;"}, {"&#x", "&amp;#x"},
        {"a&#x4", "a&amp;#x4"},   {"&#65;", "&amp;#65;"}, {"&#x41;&#x42;", "&amp;#x41;&amp;#x42;"},
    };
    for (const auto& [text, escaped] : cases) {
        std::string out;
        appendXmlEscaped(text, &out);
        EXPECT_EQ(out, escaped) << text;
    }
}

TEST(RecordPrinter, LayoutOfDeclarationElementsAttributesAndText) {
    TiXmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration("1.0", "gb2312", ""));
    auto* root = new TiXmlElement("SCAN_INFO");
    document.LinkEndChild(root);
    auto* empty = new TiXmlElement("EMPTY");
    empty->LinkEndChild(new TiXmlText(""));
    root->LinkEndChild(empty);
    root->LinkEndChild(new TiXmlElement("NONE"));
    auto* group = new TiXmlElement("GROUP");
    group->SetAttribute("at", "&#x41;\"");
    group->SetAttribute("b", "'");
    auto* inner = new TiXmlElement("IN");
    inner->LinkEndChild(new TiXmlText("a&#x41;"));
    group->LinkEndChild(inner);
    group->LinkEndChild(new TiXmlText("<t>"));
    root->LinkEndChild(group);

    EXPECT_EQ(printRecord(document),
              "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
              "<SCAN_INFO>\r\n"
              "    <EMPTY></EMPTY>\r\n"
              "    <NONE />\r\n"
              "    <GROUP at='&amp;#x41;&quot;' b=\"&apos;\">\r\n"
              "        <IN>a&amp;#x41;</IN>\r\n"
              "        &lt;t&gt;\r\n"
              "    </GROUP>\r\n"
              "</SCAN_INFO>\r\n");

    TiXmlDocument declarationOnly;
    declarationOnly.LinkEndChild(new TiXmlDeclaration("1.0", "", "yes"));
    declarationOnly.LinkEndChild(new TiXmlElement("SCAN_INFO"));
    EXPECT_EQ(printRecord(declarationOnly),
              "<?xml version=\"1.0\" standalone=\"yes\" ?>\r\n<SCAN_INFO />\r\n");
}

}  // namespace
}  // namespace qrx
