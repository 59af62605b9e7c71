#include "soak/cards.h"

#include <tinyxml.h>

#include <functional>
#include <random>

#include "common/base64_encode.h"

namespace qrx::soak {
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

// The elements a record holds, in order, with the member each one's text
// comes from; none for the two image paths, which are checked apart.
const std::vector<std::pair<std::string, std::string>> kElementsC = {
    {"NAME", "name"},     {"SEX", "sex"},           {"CARD_NO", "card_no"},
    {"NATION", "nation"}, {"BIRTHDAY", "birthday"}, {"ADDRESS", "address"},
    {"NUMBER", "number"}, {"SCANTIME", "scantime"}, {"CARDIMAGE", ""},
    {"HEADIMAGE", ""},    {"CARDTYPE", "cardtype"}};
const std::vector<std::pair<std::string, std::string>> kElementsF = {
    {"CHINESE_NAME", "chinese_name"},
    {"ENGLISH_NAME", "english_name"},
    {"SEX", "sex"},
    {"CARD_NO", "card_no"},
    {"BIRTHDAY", "birthday"},
    {"SCANTIME", "scantime"},
    {"COUNTRY", "countrycode"},
    {"CARDIMAGE", ""},
    {"HEADIMAGE", ""},
    {"CARDTYPE", "cardtype"}};

std::string expectedText(const Card& card, const std::string& member) {
    // The record puts the English name's first word last, after a space.
    if (member == "english_name") return " JANE DOE";
    for (const auto& [key, value] : card.members)
        if (key == member) return value;
    return std::string();
}

const TiXmlElement* parseRecord(TiXmlDocument& document, const std::string& xml) {
    // Texts as written, byte for byte: the English name's leading space
    // is part of the record.
    TiXmlBase::SetCondenseWhiteSpace(false);
    document.Parse(xml.c_str(), nullptr, TIXML_ENCODING_LEGACY);
    const TiXmlElement* root = document.RootElement();
    if (document.Error() || root == nullptr || root->ValueStr() != "SCAN_INFO") return nullptr;
    return root;
}

std::string textOf(const TiXmlElement* element) {
    const char* text = element->GetText();
    return text != nullptr ? text : "";
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

Card makeCard(const std::string& id, char kind) {
    Card card;
    card.id = id;
    card.kind = kind;
    std::mt19937_64 random(std::hash<std::string>()(id));
    card.cardImage = bytesOf(random, 50 * 1024 + random() % (250 * 1024));
    card.headImage = bytesOf(random, 50 * 1024 + random() % (30 * 1024));
    card.members = {{"cardtype", kind == 'C' ? "ID" : "PASSPORT"},
                    {"ScanCmd", std::string(1, kind) + id},
                    {"sex", "F"},
                    {"card_no", id},
                    {"birthday", "19800101"},
                    {"scantime", "20240101120000"}};
    if (kind == 'C') {
        card.members.insert(card.members.end(),
                            {{"name", std::string(kName) + " " + id},
                             {"nation", "01"},
                             {"address", std::string(kCity) + " 1 Road & <Lane>"},
                             {"number", "110101"}});
    } else {
        card.members.insert(card.members.end(), {{"chinese_name", std::string(kName) + " " + id},
                                                 {"english_name", "DOE JANE"},
                                                 {"countrycode", "GBR"}});
    }
    return card;
}

std::string submissionJson(const Card& card, const std::string& code) {
    std::string json = "{\"type\":1,\"code\":\"" + code + "\"";
    for (const auto& [key, value] : card.members) json += ",\"" + key + "\":\"" + value + "\"";
    return json + ",\"cardiamgedata\":\"" + base64Encode(card.cardImage) +
           "\",\"headiamgedata\":\"" + base64Encode(card.headImage) + "\"}";
}

std::string recordId(const std::string& xml) {
    TiXmlDocument document;
    const TiXmlElement* root = parseRecord(document, xml);
    const TiXmlElement* cardNo = root != nullptr ? root->FirstChildElement("CARD_NO") : nullptr;
    return cardNo != nullptr ? textOf(cardNo) : std::string();
}

std::string recordProblem(const Card& card, const std::string& xml, char folderKind,
                          const std::string& cardImage, const std::string& headImage) {
    if (folderKind != card.kind) return "in the folder of the other kind";
    if (xml.rfind("<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n", 0) != 0)
        return "no gb2312 declaration line";
    TiXmlDocument document;
    const TiXmlElement* root = parseRecord(document, xml);
    if (root == nullptr) return "not a SCAN_INFO document";
    const TiXmlElement* element = root->FirstChildElement();
    for (const auto& [name, member] : card.kind == 'C' ? kElementsC : kElementsF) {
        if (element == nullptr || element->ValueStr() != name)
            return "element " + name + " missing";
        const std::string actual = textOf(element);
        if (name == "CARDIMAGE" || name == "HEADIMAGE") {
            if (!endsWith(actual, name == "CARDIMAGE" ? ".jpg" : "_head.jpg"))
                return name + " names " + actual;
        } else if (actual != expectedText(card, member)) {
            return name + " holds \"" + actual + "\", not \"" + expectedText(card, member) + "\"";
        }
        element = element->NextSiblingElement();
    }
    if (element != nullptr) return "an element too many: " + element->ValueStr();
    auto differs = [](const char* which, const std::string& taken, const std::string& sent) {
        size_t same = 0;
        while (same < taken.size() && same < sent.size() && taken[same] == sent[same]) ++same;
        return std::string(which) + " differs: " + std::to_string(taken.size()) + " bytes, " +
               std::to_string(sent.size()) + " sent, the first " + std::to_string(same) + " alike";
    };
    if (cardImage != card.cardImage) return differs("the card image", cardImage, card.cardImage);
    if (headImage != card.headImage) return differs("the head image", headImage, card.headImage);
    return std::string();
}

}  // namespace qrx::soak
