#include "jsontext/styled_json.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace qrx {
namespace {

constexpr size_t kIndentWidth = 3;
// An array of scalars goes on one line while "[ a, b ]" is narrower than this.
constexpr size_t kRightMargin = 74;

// Whether a byte is written escaped: quote, backslash and the bytes below
// 0x20.
constexpr std::array<bool, 256> makeEscaped() {
    std::array<bool, 256> table{};
    for (int byte = 0; byte < 0x20; ++byte) table[byte] = true;
    table['"'] = true;
    table['\\'] = true;
    return table;
}

constexpr std::array<bool, 256> kEscaped = makeEscaped();

// The first byte from at on that is written escaped, or end. Texts are
// mostly long plain runs (an image is tens of kilobytes with nothing to
// escape), so eight bytes are looked at together: a word is passed over
// when none of its bytes is below 0x20, a quote or a backslash. The check
// can flag a plain byte in a word that holds an escaped one, never the
// reverse, so such a word is then gone through byte by byte.
inline const char* findEscaped(const char* at, const char* end) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kTops = 0x8080808080808080ULL;
    while (end - at >= 8) {
        uint64_t word;
        std::memcpy(&word, at, sizeof word);
        // A byte's top bit is set in word - n * kOnes when that byte is
        // below n, or a lower byte borrowed from it (and so is below n);
        // bytes from 128 up are dropped by ~word. A byte equal to c is a
        // zero byte in word ^ (c * kOnes), and c has no top bit.
        const uint64_t low = word - 0x20 * kOnes;
        const uint64_t quote = (word ^ ('"' * kOnes)) - kOnes;
        const uint64_t backslash = (word ^ ('\\' * kOnes)) - kOnes;
        if (((low | quote | backslash) & ~word & kTops) != 0) break;
        at += 8;
    }
    while (at != end && !kEscaped[static_cast<unsigned char>(*at)]) ++at;
    return at;
}

// Appends bytes as a JSON string: quote, backslash and the bytes below 0x20
// escaped (the short forms where JSON has one, else \u00xx in lower case),
// every other byte as it is: 0x7F, and bytes from 128 up, which are GBK or
// GB2312 text here and are not to be read as UTF-8. Each plain run between
// escaped bytes goes in with one append.
template <typename Out>
void appendQuoted(Out* text, const char* begin, const char* end) {
    static const char kHex[] = "0123456789abcdef";
    text->push_back('"');
    for (;;) {
        const char* at = findEscaped(begin, end);
        text->append(begin, at);
        if (at == end) break;
        begin = at + 1;
        const unsigned char byte = static_cast<unsigned char>(*at);
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
    text->push_back('"');
}

bool isFilledContainer(const Json::Value& value) {
    return (value.isArray() || value.isObject()) && !value.empty();
}

bool hasAnyComment(const Json::Value& value) {
    return value.hasComment(Json::commentBefore) ||
           value.hasComment(Json::commentAfterOnSameLine) || value.hasComment(Json::commentAfter);
}

// Where the styled form goes: the text itself.
class TextOut {
  public:
    explicit TextOut(std::string* text) : text_(*text) {}
    void push_back(char c) { text_.push_back(c); }
    void append(const char* text) { text_.append(text); }
    void append(const char* text, size_t size) { text_.append(text, size); }
    void append(const char* begin, const char* end) {
        text_.append(begin, static_cast<size_t>(end - begin));
    }
    void append(size_t count, char c) { text_.append(count, c); }
    void append(const std::string& text) { text_.append(text); }
    void append(const std::string& text, size_t from, size_t count) {
        text_.append(text, from, count);
    }
    size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    char back() const { return text_.back(); }
    // Takes the text back to size bytes; lastKept is the byte then last.
    void cut(size_t size, char /*lastKept*/) { text_.resize(size); }
    // A text being written is never given up.
    bool over() const { return false; }

  private:
    std::string& text_;
};

// Or only its length, and its last byte, which decides line breaks: the
// first of two passes that give a text exactly the room it needs. The count
// never passes limit: once the text is longer, it is over for good and the
// writing stops early. A size_t cannot wrap this way on any build; a nested
// value of a few megabytes can be written as more than 4 GB of indentation,
// past what a 32-bit size_t counts. Over stays set even when a one-line
// array is taken back, as the lines that replace it are longer still.
class LengthOut {
  public:
    explicit LengthOut(size_t limit) : limit_(limit) {}
    void push_back(char c) { put(1, c); }
    void append(const char* text) { append(text, std::char_traits<char>::length(text)); }
    void append(const char* text, size_t size) {
        if (size > 0) put(size, text[size - 1]);
    }
    void append(const char* begin, const char* end) {
        append(begin, static_cast<size_t>(end - begin));
    }
    void append(size_t count, char c) {
        if (count > 0) put(count, c);
    }
    void append(const std::string& text) { append(text.data(), text.size()); }
    void append(const std::string& text, size_t from, size_t count) {
        count = std::min(count, text.size() - from);
        append(text.data() + from, count);
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    char back() const { return last_; }
    void cut(size_t size, char lastKept) {
        size_ = size;
        last_ = lastKept;
    }
    bool over() const { return over_; }

  private:
    void put(size_t count, char last) {
        if (over_ || count > limit_ - size_) {
            over_ = true;
            return;
        }
        size_ += count;
        last_ = last;
    }
    size_t limit_;
    size_t size_ = 0;
    char last_ = 0;
    bool over_ = false;
};

// Writes the styled form, deciding every line break the way JsonCpp's
// StyledWriter does, down to looking at the last byte written, with two
// mends where its text would not read back as the value: a member name is
// written whole, zero bytes and all, and a // comment on a value's line
// always ends its line.
template <typename Out>
class StyledWriting {
  public:
    explicit StyledWriting(Out* text) : text_(*text) {}

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
        for (auto member = object.begin(); member != object.end() && !text_.over();) {
            const Json::Value& child = *member;
            writeCommentBefore(child);
            writeIndent();
            const char* nameEnd = nullptr;
            const char* name = member.memberName(&nameEnd);
            appendQuoted(&text_, name, nameEnd);
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
        for (Json::ArrayIndex index = 0; index < size && !text_.over();) {
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
        const char lastBefore = text_.empty() ? '\0' : text_.back();
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
                text_.cut(start, lastBefore);
                return false;
            }
            writeScalar(child);
            if (text_.size() - start + rest >= kRightMargin) {
                text_.cut(start, lastBefore);
                return false;
            }
        }
        text_.append(" ]");
        return true;
    }

    // Starts a new line at the current indentation, unless the text ends in
    // a space after `"name" : `: then it is indented already. A // comment
    // that ends in a space also leaves a space last, but what follows it
    // must go on a new line, or it would be part of the comment.
    void writeIndent() {
        if (!text_.empty()) {
            const char last = text_.back();
            if (last == ' ' && !afterLineComment_) return;
            if (last != '\n') text_.push_back('\n');
        }
        afterLineComment_ = false;
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
            afterLineComment_ = true;
        }
        if (value.hasComment(Json::commentAfter)) {
            text_.push_back('\n');
            text_.append(value.getComment(Json::commentAfter));
            text_.push_back('\n');
        }
    }

    Out& text_;
    size_t indent_ = 0;
    bool afterLineComment_ = false;
};

}  // namespace

std::string styledText(const Json::Value& value, size_t expectedSize) {
    std::string text;
    text.reserve(expectedSize);
    TextOut out(&text);
    StyledWriting<TextOut>(&out).writeRoot(value);
    return text;
}

bool styledTextFits(const Json::Value& value, size_t limit, size_t* size) {
    LengthOut length(limit);
    StyledWriting<LengthOut>(&length).writeRoot(value);
    *size = length.size();
    return !length.over();
}

bool parseJson(std::string_view text, Json::Value* root) {
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
