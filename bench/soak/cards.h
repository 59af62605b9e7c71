// The soak's cards: each one made again from its id alone, so the desk can
// check a record and its images byte for byte against what was submitted
// without keeping a copy of every card.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qrx::soak {

struct Card {
    std::string id;
    char kind = 'C';  // 'C': record into ScanResult; 'F': into ScanResult_jw
    std::vector<std::pair<std::string, std::string>> members;  // texts, as sent
    std::string cardImage, headImage;                          // bytes
};

// The card of this id and kind. The images are 50 to 300 KB (card) and 50
// to 80 KB (head); the texts carry GBK bytes, "&" and "<".
Card makeCard(const std::string& id, char kind);

// The submission of card with code, as a client sends it.
std::string submissionJson(const Card& card, const std::string& code);

// The id a record's bytes name (its CARD_NO), empty when it names none.
std::string recordId(const std::string& xml);

// What differs between a taken record and the card it names: empty when
// every element text, the folder's kind and both images are as submitted.
std::string recordProblem(const Card& card, const std::string& xml, char folderKind,
                          const std::string& cardImage, const std::string& headImage);

}  // namespace qrx::soak
