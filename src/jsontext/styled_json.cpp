#include "jsontext/styled_json.h"

#include <json/reader.h>
#include <json/writer.h>

namespace qrx {

std::string styledText(const Json::Value& value) {
    // Built once: the settings never change.
    static const Json::StreamWriterBuilder builder = [] {
        Json::StreamWriterBuilder b;
        b["indentation"] = "   ";
        b["emitUTF8"] = true;
        return b;
    }();
    // The styled form opens a comment in front of the root with a line feed.
    const char* opening = value.hasComment(Json::commentBefore) ? "\n" : "";
    return opening + Json::writeString(builder, value) + "\n";
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
