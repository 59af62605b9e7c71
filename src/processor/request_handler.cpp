// The request protocol. Type 0 asks for a one-time code; type 1 submits a
// card record with a code, which is spent and the record queued in
// cacheList. Anything else is answered with JSON null.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "base/base64.h"
#include "jsontext/styled_json.h"
#include "processor/processor.h"

namespace qrx {
namespace {

// The text members of each record layout, in the order the export reads
// them. Which of the C layout's optional groups are read depends on "name"
// and "txz", as in the export.
const char* const kCardNameGroup[] = {"chinese_name", "english_name"};
const char* const kCardTxzGroup[] = {"txz", "qfjg", "yxqq", "yxqz", "qfcs"};
const char* const kCardRest[] = {"sex",     "card_no", "nation",  "birthday",
                                 "address", "number",  "scantime"};
const char* const kOtherLayout[] = {"chinese_name", "english_name", "sex",        "card_no",
                                    "birthday",     "scantime",     "countrycode"};
const char* const kImageMembers[] = {"cardiamgedata", "headiamgedata"};

// XML 1.0 has no place for these bytes, not even as character references:
// a record holding one may be refused whole by the desktop side's reader.
// Tab, line feed and carriage return are allowed.
bool hasForbiddenControlByte(const char* begin, const char* end) {
    for (const char* p = begin; p != end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return true;
    }
    return false;
}

// Whether a member gives the text the export writes into the record: not an
// array or object (asString fails on those), and no byte XML forbids.
bool isRecordText(const Json::Value& value) {
    if (value.isArray() || value.isObject()) return false;
    const char* begin = nullptr;
    const char* end = nullptr;
    return !value.getString(&begin, &end) || !hasForbiddenControlByte(begin, end);
}

// Whether a member gives an image. A text is checked where it lies; other
// kinds are checked as asString gives them to the export.
bool isImageValue(const Json::Value& value) {
    if (value.isArray() || value.isObject()) return false;
    const char* begin = nullptr;
    const char* end = nullptr;
    if (value.getString(&begin, &end)) return isImageText(begin, static_cast<size_t>(end - begin));
    return isImageText(value.asString());
}

template <size_t N>
const char* firstInvalidText(const Json::Value& root, const char* const (&members)[N]) {
    for (const char* member : members)
        if (!isRecordText(root[member])) return member;
    return nullptr;
}

// The members of the C layout's record that would break it, or null.
const char* firstInvalidInCardLayout(const Json::Value& root) {
    const Json::Value& name = root["name"];
    if (!isRecordText(name)) return "name";
    const char* invalid = nullptr;
    if (name.asString().empty()) invalid = firstInvalidText(root, kCardNameGroup);
    if (!invalid && root["txz"].isString()) invalid = firstInvalidText(root, kCardTxzGroup);
    return invalid ? invalid : firstInvalidText(root, kCardRest);
}

// The first member that would make a broken record, or null: a member that
// the record of this request's layout reads and that is an array or object
// where text belongs, holds a byte XML forbids, or is an image that does not
// decode. Members the layout never reads are not looked at, as the export
// does not look at them. Such a submission is refused before its code is
// spent, so the client can mend it and send it again; once queued, it would
// reach the desktop side broken.
const char* firstInvalidMember(const Json::Value& root) {
    if (!isRecordText(root["cardtype"])) return "cardtype";
    const Json::Value& scanCmd = root["ScanCmd"];
    if (scanCmd.isArray() || scanCmd.isObject()) return "ScanCmd";
    // The kind of record is the first letter of "ScanCmd", as the workers read it.
    const std::string kind = scanCmd.asString();
    const bool isC = !kind.empty() && kind[0] == 'C';
    const char* invalid =
        isC ? firstInvalidInCardLayout(root) : firstInvalidText(root, kOtherLayout);
    if (invalid) return invalid;
    for (const char* member : kImageMembers)
        if (!isImageValue(root[member])) return member;
    return nullptr;
}

// The request's "code" for the reply, taken out of the request rather than
// copied: the request is not read again, and a "code" may be arrays nested a
// thousand deep, taking as much memory as the whole request.
Json::Value takeCode(Json::Value& root) {
    Json::Value code;
    if (root.isMember("code")) code.swap(root["code"]);
    return code;
}

void fillSubmissionReply(Json::Value& reply, Json::Value code, int result, const std::string& msg) {
    reply["type"] = 1;
    reply["code"] = std::move(code);  // the request's own value, type and comments included
    reply["result"] = result;
    reply["msg"] = msg;
}

}  // namespace

std::string requestWithoutImages(std::string_view request) {
    constexpr size_t kLongestUnread = 1024;  // too short for a photograph
    const std::string unread =
        "<" + std::to_string(request.size()) + " bytes not logged with LogImages=0>";
    try {
        Json::Value root;
        if (!parseJson(request, &root) || !root.isObject())  // throws past 1000 levels
            return request.size() <= kLongestUnread ? std::string(request) : unread;
        // Spliced from the last image back, so the earlier places stay where
        // the reader found them.
        std::vector<std::pair<ptrdiff_t, const Json::Value*>> images;
        for (const char* member : kImageMembers) {
            const Json::Value* image = root.find(member, member + std::strlen(member));
            // The reader keeps the last of a name given twice: an earlier
            // one could not be told from the rest of the text.
            const std::string quoted = std::string("\"") + member + "\"";
            if (request.find(quoted) != request.rfind(quoted)) return unread;
            if (image != nullptr && image->isString())
                images.emplace_back(image->getOffsetStart(), image);
        }
        std::sort(images.rbegin(), images.rend());
        std::string logged(request);
        for (const auto& [start, image] : images) {
            const char* begin = nullptr;
            const char* end = nullptr;
            image->getString(&begin, &end);
            logged.replace(static_cast<size_t>(start),
                           static_cast<size_t>(image->getOffsetLimit() - start),
                           "\"<base64, " + std::to_string(end - begin) + " bytes>\"");
        }
        return logged;
    } catch (const std::exception&) {
        return unread;  // nested too deep to read, or no memory for a copy
    }
}

void CProcessor::handleRequest(std::string_view request, Json::Value& reply) {
    try {
        Json::Value root;
        if (!parseJson(request, &root)) return;
        const Json::Value& constRoot = root;
        // Member access throws for a root that is neither an object nor null;
        // asInt throws for texts, arrays, objects and out-of-range numbers.
        int type = constRoot["type"].asInt();
        if (type == 0) {
            reply["type"] = 0;
            std::string code = makeCode();
            reply["code"] = code;
            keepIssuedCode(code);
        } else if (type == 1) {
            handleCardSubmission(root, reply);
        }
    } catch (const std::exception&) {
        // The reply goes out as far as it was filled.
    }
}

void CProcessor::handleCardSubmission(Json::Value& request, Json::Value& reply) {
    const Json::Value& root = request;
    const Json::Value& code = root["code"];
    if (root["cardtype"].isNull()) {
        fillSubmissionReply(reply, takeCode(request), 1, "cardtype is null");
        return;
    }
    auto issued = codeSet.find(code.asString());
    if (issued == codeSet.end()) {
        fillSubmissionReply(reply, takeCode(request), 1, "code is err");
        return;
    }
    if (const char* member = firstInvalidMember(root)) {
        fillSubmissionReply(reply, takeCode(request), 1, std::string(member) + " is invalid");
        return;
    }
    // Measured before it is written, and only as far as the room left: a
    // record past the bound takes no room, and no time to measure in full.
    // Refused before the code is spent: the client may send it again once
    // the desktop side has taken some records.
    const bool bounded = settings_.maxCacheSize > 0;
    const size_t bound = static_cast<size_t>(settings_.maxCacheSize);
    const size_t room =
        bounded ? bound - std::min(cacheList.bytes(), bound) : std::string().max_size();
    size_t recordSize = 0;
    if (!styledTextFits(root, room, &recordSize)) {
        // With no bound, a text that no string can hold is memory running
        // out: the reply stays null and the code unspent.
        if (bounded) fillSubmissionReply(reply, takeCode(request), 1, "cache is full");
        return;
    }
    std::string record = styledText(root, recordSize);
    codeSet.erase(issued);
    // Its kind goes with it, so the workers need not read the record back to
    // find the cards of a kind.
    cacheList.push_back(kindOf(root["ScanCmd"].asString()), std::move(record),
                        platform_.clock().monotonicMs());
    fillSubmissionReply(reply, takeCode(request), 0, "");
}

void CProcessor::keepIssuedCode(const std::string& code) {
    if (!codeSet.insert(code).second) return;
    codeOrder_.push_back(code);
    while (settings_.maxCodes > 0 && codeSet.size() > static_cast<size_t>(settings_.maxCodes) &&
           !codeOrder_.empty()) {
        codeSet.erase(codeOrder_.front());  // nothing to erase when it was spent
        codeOrder_.pop_front();
    }
    if (codeOrder_.size() > 2 * codeSet.size() + 64) {
        std::deque<std::string> unspent;
        for (std::string& issuedCode : codeOrder_)
            if (codeSet.count(issuedCode) != 0) unspent.push_back(std::move(issuedCode));
        codeOrder_.swap(unspent);
    }
}

std::string CProcessor::makeCode() {
    Guid g = platform_.process().newGuid();
    char text[64] = {};
    std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned>(g.data1), static_cast<unsigned>(g.data2),
                  static_cast<unsigned>(g.data3), g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                  g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return text;
}

}  // namespace qrx
