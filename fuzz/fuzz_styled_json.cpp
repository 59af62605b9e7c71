// The styled writer against the library's StyledWriter. Any text that parses
// is written both ways: with every string and name in ASCII the two texts
// are the same byte for byte, but where the styled writer mends the
// StyledWriter (a name with a zero byte, a // comment ending in a space);
// every styled text reads back as an equal value and holds every byte from
// 128 up as it was; and the text made to be kept is the same text, in a
// string with no room to spare.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <string>

#include "../tests/styled_writer_reference.h"
#include "jsontext/styled_json.h"

using namespace qrx;

namespace {

struct Survey {
    bool highBytes = false;  // in a string or a name
    // A name with a zero byte, or a same-line // comment ending in a space:
    // the StyledWriter's text would not read back, the styled text does.
    bool mended = false;
    size_t highCount = 0;  // bytes from 128 up in strings, names and comments
};

void count(const char* begin, const char* end, bool text, Survey* survey) {
    for (const char* at = begin; at != end; ++at) {
        if (static_cast<unsigned char>(*at) < 0x80) continue;
        ++survey->highCount;
        if (text) survey->highBytes = true;
    }
}

void look(const Json::Value& value, Survey* survey) {
    for (Json::CommentPlacement placement :
         {Json::commentBefore, Json::commentAfterOnSameLine, Json::commentAfter}) {
        if (!value.hasComment(placement)) continue;
        const std::string comment = value.getComment(placement);
        count(comment.data(), comment.data() + comment.size(), false, survey);
        if (placement == Json::commentAfterOnSameLine && comment.back() == ' ')
            survey->mended = true;
    }
    const char* begin = nullptr;
    const char* end = nullptr;
    if (value.isString() && value.getString(&begin, &end)) count(begin, end, true, survey);
    if (value.isArray())
        for (Json::ArrayIndex index = 0; index < value.size(); ++index) look(value[index], survey);
    if (value.isObject()) {
        for (auto member = value.begin(); member != value.end(); ++member) {
            begin = member.memberName(&end);
            count(begin, end, true, survey);
            if (std::string(begin, end).find('\0') != std::string::npos) survey->mended = true;
            look(*member, survey);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Json::Value value;
    try {
        // The reader throws past 1000 levels of nesting; the server catches it.
        if (!parseJson(std::string(reinterpret_cast<const char*>(data), size), &value)) return 0;
    } catch (const std::exception&) {
        return 0;
    }
    Survey survey;
    look(value, &survey);
    const std::string text = styledText(value);
    if (!survey.highBytes && !survey.mended && text != test::styledWriterText(value)) std::abort();
    size_t measured = 0;
    if (!styledTextFits(value, std::numeric_limits<size_t>::max(), &measured) ||
        measured != text.size())
        std::abort();
    const std::string kept = styledText(value, measured);
    if (kept != text || kept.capacity() > text.size() + 32) std::abort();
    Json::Value again;
    if (!parseJson(text, &again) || !(again == value)) std::abort();
    size_t highCount = 0;
    for (char byte : text) highCount += static_cast<unsigned char>(byte) >= 0x80;
    if (highCount != survey.highCount) std::abort();
    return 0;
}
