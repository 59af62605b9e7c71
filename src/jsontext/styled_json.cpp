#include "jsontext/styled_json.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>

namespace qrx {
namespace {

constexpr size_t kIndentWidth = 3;
// An array of scalars goes on one line while "[ a, b ]" is narrower than this.
constexpr size_t kRightMargin = 74;

// Appends bytes as a JSON string: quote, backslash and the bytes below 0x20
// escaped (the short forms where JSON has one, else \u00xx in lower case),
// every other byte as it is: 0x7F, and bytes from 128 up, which are GBK or
// GB2312 text here and are not to be read as UTF-8.
void appendQuoted(std::string* text, const char* begin, const char* end) {
    static const char kHex[] = "0123456789abcdef";
    text->push_back('"');
    const char* plain = begin;
    for (const char* at = begin; at != end; ++at) {
        const unsigned char byte = static_cast<unsigned char>(*at);
        if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
        text->append(plain, at);
        plain = at + 1;
        switch (byte) {
            case '"':
                text->append("\\\"");
                break;
            case '\\':
                text->append("\\\\");
                break;
            case '\b':
                text->append("\\b");
                break;
            case '\f':
                text->append("\\f");
                break;
            case '\n':
                text->append("\\n");
                break;
            case '\r':
                text->append("\\r");
                break;
            case '\t':
                text->append("\\t");
                break;
            default: {
                const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
                text->append(escape, sizeof escape);
            }
        }
    }
    text->append(plain, end);
    text->push_back('"');
}

bool isFilledContainer(const Json::Value& value) {
    return (value.isArray() || value.isObject()) && !value.empty();
}

bool hasAnyComment(const Json::Value& value) {
    return value.hasComment(Json::commentBefore) ||
           value.hasComment(Json::commentAfterOnSameLine) || value.hasComment(Json::commentAfter);
}

// Writes the styled form into a string, deciding every line break the way
// JsonCpp's StyledWriter does, down to looking at the last byte written.
class StyledWriting {
  public:
    explicit StyledWriting(std::string* text) : text_(*text) {}

    void writeRoot(const Json::Value& root) {
        writeCommentBefore(root);
        writeValue(root);
        writeCommentsAfter(root);
        text_.push_back('\n');
    }

  private:
    void writeValue(const Json::Value& value) {
        if (value.isObject() && !value.empty())
            writeObject(value);
        else if (value.isArray() && !value.empty())
            writeArray(value);
        else
            writeScalar(value);
    }

    // A value on one line: anything but a non-empty array or object.
    void writeScalar(const Json::Value& value) {
        switch (value.type()) {
            case Json::nullValue:
                text_.append("null");
                break;
            case Json::intValue:
                text_.append(Json::valueToString(value.asLargestInt()));
                break;
            case Json::uintValue:
                text_.append(Json::valueToString(value.asLargestUInt()));
                break;
            case Json::realValue:
                text_.append(Json::valueToString(value.asDouble()));
                break;
            case Json::booleanValue:
                text_.append(value.asBool() ? "true" : "false");
                break;
            case Json::stringValue: {
                const char* begin = nullptr;
                const char* end = nullptr;
                if (value.getString(&begin, &end)) appendQuoted(&text_, begin, end);
                break;
            }
            case Json::arrayValue:
                text_.append("[]");
                break;
            case Json::objectValue:
                text_.append("{}");
                break;
        }
    }

    void writeObject(const Json::Value& object) {
        writeIndent();
        text_.push_back('{');
        indent_ += kIndentWidth;
        for (auto member = object.begin(); member != object.end();) {
            const Json::Value& child = *member;
            writeCommentBefore(child);
            writeIndent();
            const char* nameEnd = nullptr;
            const char* name = member.memberName(&nameEnd);
            // The name is written as a C string: up to its first zero byte.
            appendQuoted(&text_, name, std::find(name, nameEnd, '\0'));
            text_.append(" : ");
            writeValue(child);
            if (++member != object.end()) text_.push_back(',');
            writeCommentsAfter(child);
        }
        indent_ -= kIndentWidth;
        writeIndent();
        text_.push_back('}');
    }

    // `[ 1, 2, 3 ]` when it can be, else one element a line.
    void writeArray(const Json::Value& array) {
        if (mayTakeOneLine(array) && writeOneLine(array)) return;
        const Json::ArrayIndex size = array.size();
        writeIndent();
        text_.push_back('[');
        indent_ += kIndentWidth;
        for (Json::ArrayIndex index = 0; index < size;) {
            const Json::Value& child = array[index];
            writeCommentBefore(child);
            writeIndent();
            writeValue(child);
            if (++index < size) text_.push_back(',');
            writeCommentsAfter(child);
        }
        indent_ -= kIndentWidth;
        writeIndent();
        text_.push_back(']');
    }

    // Fewer elements than a third of the margin, none of them a non-empty
    // array or object, none with a comment.
    static bool mayTakeOneLine(const Json::Value& array) {
        const Json::ArrayIndex size = array.size();
        if (size * 3 >= kRightMargin) return false;
        for (Json::ArrayIndex index = 0; index < size; ++index) {
            const Json::Value& child = array[index];
            if (isFilledContainer(child) || hasAnyComment(child)) return false;
        }
        return true;
    }

    // Writes `[ a, b ]` unless that reaches the right margin; then leaves the
    // text as it was and returns false. The width counts bytes as written,
    // so a GB2312 character counts 2. Writing stops as soon as the line is
    // known to be too wide, so a long string is not copied only to be cut.
    bool writeOneLine(const Json::Value& array) {
        const size_t start = text_.size();
        const Json::ArrayIndex size = array.size();
        text_.append("[ ");
        for (Json::ArrayIndex index = 0; index < size; ++index) {
            if (index > 0) text_.append(", ");
            // The least the rest of the line takes: ", " per element left, " ]".
            const size_t rest = 2 * static_cast<size_t>(size - 1 - index) + 2;
            const Json::Value& child = array[index];
            const char* begin = nullptr;
            const char* end = nullptr;
            // A string takes at least its bytes and two quotes.
            if (child.isString() && child.getString(&begin, &end) &&
                text_.size() - start + static_cast<size_t>(end - begin) + 2 + rest >=
                    kRightMargin) {
                text_.resize(start);
                return false;
            }
            writeScalar(child);
            if (text_.size() - start + rest >= kRightMargin) {
                text_.resize(start);
                return false;
            }
        }
        text_.append(" ]");
        return true;
    }

    // Starts a new line at the current indentation, unless the text ends in
    // a space: then it is taken as indented already. (That holds after
    // `"name" : `, and also after a // comment that ends in a space, which
    // so runs into what follows, as it does with the StyledWriter.)
    void writeIndent() {
        if (!text_.empty()) {
            const char last = text_.back();
            if (last == ' ') return;
            if (last != '\n') text_.push_back('\n');
        }
        text_.append(indent_, ' ');
    }

    // On lines of their own; each line that starts a comment is indented.
    void writeCommentBefore(const Json::Value& value) {
        if (!value.hasComment(Json::commentBefore)) return;
        text_.push_back('\n');
        writeIndent();
        const std::string comment = value.getComment(Json::commentBefore);
        size_t from = 0;
        for (size_t at = comment.find('\n'); at != std::string::npos;
             at = comment.find('\n', at + 1)) {
            if (at + 1 < comment.size() && comment[at + 1] == '/') {
                text_.append(comment, from, at + 1 - from);
                writeIndent();
                from = at + 1;
            }
        }
        text_.append(comment, from, std::string::npos);
        text_.push_back('\n');
    }

    void writeCommentsAfter(const Json::Value& value) {
        if (value.hasComment(Json::commentAfterOnSameLine)) {
            text_.push_back(' ');
            text_.append(value.getComment(Json::commentAfterOnSameLine));
        }
        if (value.hasComment(Json::commentAfter)) {
            text_.push_back('\n');
            text_.append(value.getComment(Json::commentAfter));
            text_.push_back('\n');
        }
    }

    std::string& text_;
    size_t indent_ = 0;
};

}  // namespace

std::string styledText(const Json::Value& value, size_t expectedSize) {
    std::string text;
    text.reserve(expectedSize);
    StyledWriting(&text).writeRoot(value);
    return text;
}

bool parseJson(const std::string& text, Json::Value* root) {
    // Json::Reader is deprecated in favour of CharReader, but it is the reader
    // whose default features the protocol is defined by.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    Json::Reader reader;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return reader.parse(text.data(), text.data() + text.size(), *root, true);
}

}  // namespace qrx
