// The request protocol. Type 0 asks for a one-time code; type 1 submits a
// card record with a code, which is spent and the record queued in
// cacheList. Anything else is answered with JSON null.
#include <cstdio>
#include <exception>
#include <utility>

#include "export/base64.h"
#include "jsontext/styled_json.h"
#include "processor/processor.h"

namespace qrx {
namespace {

// The members a record is built from, in the order they are checked.
const char* const kRecordMembers[] = {
    "cardtype", "ScanCmd", "name",     "chinese_name", "english_name",  "sex",          "txz",
    "qfjg",     "yxqq",    "yxqz",     "qfcs",         "card_no",       "nation",       "birthday",
    "address",  "number",  "scantime", "countrycode",  "cardiamgedata", "headiamgedata"};

bool isImageMember(const std::string& member) {
    return member == "cardiamgedata" || member == "headiamgedata";
}

// Whether a member gives an image. A text is checked where it lies; other
// kinds are checked as asString gives them to the export.
bool isImageValue(const Json::Value& value) {
    const char* begin = nullptr;
    const char* end = nullptr;
    if (value.getString(&begin, &end)) return isImageText(begin, static_cast<size_t>(end - begin));
    return isImageText(value.asString());
}

// The first member that would make a broken record (an array or object
// where text belongs, an image that does not decode), or null. Such a
// submission is refused before its code is spent, so the client can mend it
// and send it again; once queued, it would reach the desktop side broken.
const char* firstInvalidMember(const Json::Value& root) {
    for (const char* member : kRecordMembers) {
        const Json::Value& value = root[member];
        if (value.isArray() || value.isObject()) return member;
        if (isImageMember(member) && !isImageValue(value)) return member;
    }
    return nullptr;
}

void fillSubmissionReply(Json::Value& reply, const Json::Value& code, int result,
                         const std::string& msg) {
    reply["type"] = 1;
    reply["code"] = code;  // the request's own value, type and comments included
    reply["result"] = result;
    reply["msg"] = msg;
}

}  // namespace

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

void CProcessor::handleCardSubmission(const Json::Value& root, Json::Value& reply) {
    const Json::Value& code = root["code"];
    if (root["cardtype"].isNull()) {
        fillSubmissionReply(reply, code, 1, "cardtype is null");
        return;
    }
    auto issued = codeSet.find(code.asString());
    if (issued == codeSet.end()) {
        fillSubmissionReply(reply, code, 1, "code is err");
        return;
    }
    if (const char* member = firstInvalidMember(root)) {
        fillSubmissionReply(reply, code, 1, std::string(member) + " is invalid");
        return;
    }
    std::string record = styledTextToKeep(root);
    // Refused before the code is spent: the client may send it again once
    // the desktop side has taken some records.
    if (maxCacheSize > 0 && cacheList.bytes() + record.size() > static_cast<size_t>(maxCacheSize)) {
        fillSubmissionReply(reply, code, 1, "cache is full");
        return;
    }
    codeSet.erase(issued);
    cacheList.push_back(std::move(record));
    fillSubmissionReply(reply, code, 0, "");
}

void CProcessor::keepIssuedCode(const std::string& code) {
    if (!codeSet.insert(code).second) return;
    codeOrder_.push_back(code);
    while (maxCodes > 0 && codeSet.size() > static_cast<size_t>(maxCodes) && !codeOrder_.empty()) {
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
    Guid g = platform_.newGuid();
    char text[64] = {};
    std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned>(g.data1), static_cast<unsigned>(g.data2),
                  static_cast<unsigned>(g.data3), g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                  g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return text;
}

}  // namespace qrx
