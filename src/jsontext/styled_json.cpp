#include "jsontext/styled_json.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>
#include <ostream>
#include <streambuf>

namespace qrx {
namespace {

// An output buffer that appends straight to a string: a record's text is
// written once, not gathered in a string stream and copied out of it.
class StringOutput : public std::streambuf {
  public:
    explicit StringOutput(std::string* text) : text_(text) {}

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            text_->push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        text_->append(bytes, static_cast<size_t>(count));
        return count;
    }

  private:
    std::string* text_;
};

}  // namespace

std::string styledText(const Json::Value& value, size_t expectedSize) {
    // Made once per thread: the settings never change, and a writer is not
    // to be shared between threads.
    thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "   ";
        builder["emitUTF8"] = true;
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::string text;
    text.reserve(expectedSize);
    // The styled form opens a comment in front of the root with a line feed.
    if (value.hasComment(Json::commentBefore)) text.push_back('\n');
    StringOutput buffer(&text);
    std::ostream out(&buffer);
    writer->write(value, &out);
    text.push_back('\n');
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
