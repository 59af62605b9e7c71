#include "export/record_printer.h"

#include <tinyxml.h>

#include <utility>

namespace qrx {
namespace {

constexpr const char kIndent[] = "    ";
constexpr const char kLineBreak[] = "\r\n";

class RecordPrinter : public TiXmlVisitor {
  public:
    using TiXmlVisitor::Visit;

    bool VisitEnter(const TiXmlElement& element, const TiXmlAttribute* attribute) override {
        indent();
        text_ += '<';
        text_ += element.ValueStr();
        for (; attribute != nullptr; attribute = attribute->Next()) {
            text_ += ' ';
            appendXmlEscaped(attribute->NameTStr(), &text_);
            // In single quotes when the value holds a double one, as TinyXML
            // prints it (both are escaped either way).
            const char quote = attribute->ValueStr().find('"') == std::string::npos ? '"' : '\'';
            text_ += '=';
            text_ += quote;
            appendXmlEscaped(attribute->ValueStr(), &text_);
            text_ += quote;
        }
        const TiXmlNode* child = element.FirstChild();
        if (child == nullptr) {
            text_ += " />";
            text_ += kLineBreak;
        } else if (child->ToText() != nullptr && child == element.LastChild()) {
            text_ += '>';
            textOnSameLine_ = true;
        } else {
            text_ += '>';
            text_ += kLineBreak;
        }
        ++depth_;
        return true;
    }

    bool VisitExit(const TiXmlElement& element) override {
        --depth_;
        if (element.FirstChild() == nullptr) return true;
        if (textOnSameLine_)
            textOnSameLine_ = false;
        else
            indent();
        text_ += "</";
        text_ += element.ValueStr();
        text_ += '>';
        text_ += kLineBreak;
        return true;
    }

    bool Visit(const TiXmlDeclaration& declaration) override {
        indent();
        text_ += "<?xml ";
        pseudoAttribute("version", declaration.Version());
        pseudoAttribute("encoding", declaration.Encoding());
        pseudoAttribute("standalone", declaration.Standalone());
        text_ += "?>";
        text_ += kLineBreak;
        return true;
    }

    bool Visit(const TiXmlText& text) override {
        if (textOnSameLine_) {
            appendXmlEscaped(text.ValueStr(), &text_);
        } else {
            indent();
            appendXmlEscaped(text.ValueStr(), &text_);
            text_ += kLineBreak;
        }
        return true;
    }

    std::string take() { return std::move(text_); }

  private:
    void indent() {
        for (int i = 0; i < depth_; ++i) text_ += kIndent;
    }
    // name="value" and a space, when the value is not empty.
    void pseudoAttribute(const char* name, const char* value) {
        if (*value == '\0') return;
        text_ += name;
        text_ += "=\"";
        text_ += value;
        text_ += "\" ";
    }

    std::string text_;
    int depth_ = 0;
    bool textOnSameLine_ = false;
};

}  // namespace

void appendXmlEscaped(const std::string& text, std::string* out) {
    static const char kHex[] = "0123456789ABCDEF";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '&':
                *out += "&amp;";
                break;
            case '<':
                *out += "&lt;";
                break;
            case '>':
                *out += "&gt;";
                break;
            case '"':
                *out += "&quot;";
                break;
            case '\'':
                *out += "&apos;";
                break;
            default:
                if (byte < 32) {
                    *out += "&#x";
                    *out += kHex[byte >> 4];
                    *out += kHex[byte & 0xF];
                    *out += ';';
                } else {
                    *out += c;
                }
        }
    }
}

std::string printRecord(const TiXmlDocument& document) {
    RecordPrinter printer;
    document.Accept(&printer);
    return printer.take();
}

}  // namespace qrx
