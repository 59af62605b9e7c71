#include "soak/ledger.h"

#include <tinyxml.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include "common/base64_encode.h"

namespace qrx::soak {
namespace fs = std::filesystem;
namespace {

// "张三" and "北京" in GBK.
constexpr const char kName[] = "\xD5\xC5\xC8\xFD";
constexpr const char kCity[] = "\xB1\xB1\xBE\xA9";

std::string bytesOf(std::mt19937_64& random, size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t word = random();
        for (size_t j = 0; j < 8 && i + j < size; ++j)
            bytes[i + j] = static_cast<char>(word >> (8 * j));
    }
    return bytes;
}

// The SCAN_INFO root of xml, its texts byte for byte (the English name's
// leading space is the record's); null when xml is not such a document.
const TiXmlElement* rootOf(TiXmlDocument& document, const std::string& xml) {
    TiXmlBase::SetCondenseWhiteSpace(false);
    document.Parse(xml.c_str(), nullptr, TIXML_ENCODING_LEGACY);
    const TiXmlElement* root = document.RootElement();
    return document.Error() || root == nullptr || root->ValueStr() != "SCAN_INFO" ? nullptr : root;
}

std::string textOf(const TiXmlElement* element) {
    const char* text = element->GetText();
    return text != nullptr ? text : "";
}

std::string differs(const char* which, const std::string& taken, const std::string& sent) {
    size_t same = 0;
    while (same < taken.size() && same < sent.size() && taken[same] == sent[same]) ++same;
    return std::string(which) + " differs: " + std::to_string(taken.size()) + " bytes, " +
           std::to_string(sent.size()) + " sent, the first " + std::to_string(same) + " alike";
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

Card makeCard(const std::string& id, char kind) {
    Card card{id, kind, {}, {}, {}};
    std::mt19937_64 random(std::hash<std::string>()(id));
    card.cardImage = bytesOf(random, 50 * 1024 + random() % (250 * 1024));
    card.headImage = bytesOf(random, 50 * 1024 + random() % (30 * 1024));
    const std::string name = std::string(kName) + " " + id, scanCmd = kind + id;
    // clang-format off
    if (kind == 'C')
        card.fields = {{"", "ScanCmd", scanCmd}, {"NAME", "name", name}, {"SEX", "sex", "F"},
            {"CARD_NO", "card_no", id}, {"NATION", "nation", "01"},
            {"BIRTHDAY", "birthday", "19800101"},
            {"ADDRESS", "address", std::string(kCity) + " 1 Road & <Lane>"},
            {"NUMBER", "number", "110101"}, {"SCANTIME", "scantime", "20240101120000"},
            {"CARDIMAGE", "", ".jpg"}, {"HEADIMAGE", "", "_head.jpg"}, {"CARDTYPE", "cardtype", "ID"}};
    else  // the record puts the English name's first word last, after a space
        card.fields = {{"", "ScanCmd", scanCmd}, {"CHINESE_NAME", "chinese_name", name},
            {"ENGLISH_NAME", "english_name", "DOE JANE", " JANE DOE"}, {"SEX", "sex", "F"},
            {"CARD_NO", "card_no", id}, {"BIRTHDAY", "birthday", "19800101"},
            {"SCANTIME", "scantime", "20240101120000"}, {"COUNTRY", "countrycode", "GBR"},
            {"CARDIMAGE", "", ".jpg"}, {"HEADIMAGE", "", "_head.jpg"},
            {"CARDTYPE", "cardtype", "PASSPORT"}};
    // clang-format on
    return card;
}

std::string submissionJson(const Card& card, const std::string& code) {
    std::string json = "{\"type\":1,\"code\":\"" + code + "\"";
    for (const Field& f : card.fields)
        if (!f.member.empty()) json += ",\"" + f.member + "\":\"" + f.text + "\"";
    return json + ",\"cardiamgedata\":\"" + base64Encode(card.cardImage) +
           "\",\"headiamgedata\":\"" + base64Encode(card.headImage) + "\"}";
}

std::string recordId(const std::string& xml) {
    TiXmlDocument document;
    const TiXmlElement* root = rootOf(document, xml);
    const TiXmlElement* cardNo = root != nullptr ? root->FirstChildElement("CARD_NO") : nullptr;
    return cardNo != nullptr ? textOf(cardNo) : std::string();
}

std::string recordProblem(const Card& card, const std::string& xml, char folderKind,
                          const std::string& cardImage, const std::string& headImage) {
    if (folderKind != card.kind) return "in the folder of the other kind";
    if (xml.rfind("<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n", 0) != 0)
        return "no gb2312 declaration line";
    TiXmlDocument document;
    const TiXmlElement* root = rootOf(document, xml);
    if (root == nullptr) return "not a SCAN_INFO document";
    const TiXmlElement* element = root->FirstChildElement();
    for (const Field& f : card.fields) {
        if (f.element.empty()) continue;
        if (element == nullptr || element->ValueStr() != f.element)
            return "element " + f.element + " missing";
        const std::string actual = textOf(element),
                          wanted = f.recorded.empty() ? f.text : f.recorded;
        if (f.member.empty() &&
            (actual.size() < wanted.size() ||
             actual.compare(actual.size() - wanted.size(), wanted.size(), wanted)))
            return f.element + " names " + actual;
        if (!f.member.empty() && actual != wanted)
            return f.element + " holds \"" + actual + "\", not \"" + wanted + "\"";
        element = element->NextSiblingElement();
    }
    if (element != nullptr) return "an element too many: " + element->ValueStr();
    if (cardImage != card.cardImage) return differs("the card image", cardImage, card.cardImage);
    if (headImage != card.headImage) return differs("the head image", headImage, card.headImage);
    return std::string();
}

void Ledger::sending(const std::string& id, char kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    cards_[id] = Entry{kind, State::Sending, 0};
}

void Ledger::accepted(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    cards_.at(id).state = State::Accepted;
}

void Ledger::refused(const std::string& id, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = cards_.at(id);
    entry.state = State::Refused;
    note(id, "refused: " + message);
    if (entry.arrivals > 0) {
        ++unexpected_;
        note(id, "refused, yet its record arrived");
    }
}

void Ledger::cacheFull() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++cacheFull_;
}

void Ledger::unanswered(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    cards_.at(id).state = State::Unanswered;
    note(id, "no reply to its submission");
}

void Ledger::arrived(const std::string& id, const std::string& problem) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = cards_.find(id);
    if (found == cards_.end() || found->second.state == State::Refused) {
        ++unexpected_;
        note("\"" + id + "\"", "a record of no accepted card");
        return;
    }
    if (++found->second.arrivals == 2) note(id, "arrived twice");
    if (!problem.empty()) {
        ++changed_;
        note(id, problem);
    }
}

char Ledger::kindOf(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = cards_.find(id);
    return found == cards_.end() ? 0 : found->second.kind;
}

LedgerCounts Ledger::counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    LedgerCounts c;
    for (const auto& [id, entry] : cards_) {
        ++c.sent;
        c.refused += entry.state == State::Refused;
        c.unanswered += entry.state == State::Unanswered;
        c.doubled += entry.arrivals > 1;
        c.accepted += entry.state == State::Accepted;
        c.arrived += entry.state == State::Accepted && entry.arrivals > 0;
    }
    c.cacheFull = cacheFull_;
    c.changed = changed_;
    c.unexpected = unexpected_;
    return c;
}

std::vector<std::string> Ledger::missing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> ids;
    for (const auto& [id, entry] : cards_)
        if (entry.state == State::Accepted && entry.arrivals == 0) ids.push_back(id);
    return ids;
}

std::vector<std::string> Ledger::problems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const Problem& p : problems_)
        lines.push_back(p.count == 1 ? "card " + p.first + ": " + p.what
                                     : "cards " + p.first + " to " + p.last + " (" +
                                           std::to_string(p.count) + "): " + p.what);
    return lines;
}

void Ledger::note(const std::string& id, const std::string& what) {
    // A bound on the kinds kept: a changed image's problem names its sizes.
    if (problems_.size() >= 1000 && problemIndex_.count(what) == 0) return;
    const auto [at, added] = problemIndex_.emplace(what, problems_.size());
    if (added) {
        problems_.push_back({what, id, id, 1});
    } else {
        problems_[at->second].last = id;
        ++problems_[at->second].count;
    }
}

int checkTaken(const std::string& outFolder, Ledger& ledger) {
    int checked = 0;
    for (const char* folder : {"ScanResult", "ScanResult_jw"}) {
        std::error_code error;
        std::vector<fs::path> records;
        for (const auto& entry : fs::directory_iterator(fs::path(outFolder) / folder, error))
            if (entry.path().extension() == ".xml") records.push_back(entry.path());
        for (const fs::path& record : records) {
            const std::string base = (record.parent_path() / record.stem()).string();
            const std::string xml = readAll(record), id = recordId(xml);
            const char kind = ledger.kindOf(id),
                       folderKind = std::string(folder) == "ScanResult" ? 'C' : 'F';
            ledger.arrived(
                id, kind == 0 ? ""
                              : recordProblem(makeCard(id, kind), xml, folderKind,
                                              readAll(base + ".jpg"), readAll(base + "_head.jpg")));
            for (const std::string& file : {record.string(), base + ".jpg", base + "_head.jpg"})
                fs::remove(file, error);
            ++checked;
        }
    }
    return checked;
}

}  // namespace qrx::soak
