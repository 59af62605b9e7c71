// Every card of the soak, from its submission to the desk: each card is made
// again from its id alone, so a record the desk took is checked byte for
// byte against what was sent without a copy of every card; the ledger says
// what became of each one. The clients and the desk's check write into it
// from their own threads.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qrx::soak {

// A text of a card: the record element it becomes (none for ScanCmd), the
// member it is sent as (none for an image path, which must end with text),
// the text sent, and the text the record holds when it differs.
struct Field {
    std::string element, member, text;
    std::string recorded = {};
};

struct Card {
    std::string id;
    char kind = 'C';                   // 'C': record into ScanResult; 'F': into ScanResult_jw
    std::vector<Field> fields;         // in the record's order
    std::string cardImage, headImage;  // bytes
};

// Images of 50 to 300 KB (card) and 50 to 80 KB (head); texts with GBK
// bytes, "&" and "<".
Card makeCard(const std::string& id, char kind);
std::string submissionJson(const Card& card, const std::string& code);
// The id a record names (its CARD_NO), empty when it names none.
std::string recordId(const std::string& xml);
// What differs between a taken record and its card; empty when every
// element text, the folder's kind and both images are as submitted.
std::string recordProblem(const Card& card, const std::string& xml, char folderKind,
                          const std::string& cardImage, const std::string& headImage);

struct LedgerCounts {
    int sent = 0, accepted = 0, arrived = 0;  // arrived: accepted cards whose record came
    int refused = 0, unanswered = 0;          // honest cards
    int cacheFull = 0;                        // answered "cache is full", and sent again
    int doubled = 0, changed = 0;
    int unexpected = 0;  // records of no accepted card
    int queued() const { return accepted - arrived; }
};

class Ledger {
  public:
    // A card about to be sent: its record may arrive before its reply.
    void sending(const std::string& id, char kind);
    void accepted(const std::string& id);
    void refused(const std::string& id, const std::string& message);
    void cacheFull();
    void unanswered(const std::string& id);
    // A record the desk took; problem is empty when it matched its card.
    void arrived(const std::string& id, const std::string& problem);
    char kindOf(const std::string& id) const;  // 0 for a card never sent

    LedgerCounts counts() const;
    std::vector<std::string> missing() const;  // accepted, never arrived
    // A line for each problem seen, in the order first seen: "card ID:
    // what", or "cards FIRST to LAST (N): what", so that a fault that lasts
    // minutes leaves one line.
    std::vector<std::string> problems() const;

  private:
    enum class State { Sending, Accepted, Refused, Unanswered };
    struct Entry {
        char kind;
        State state;
        int arrivals;
    };
    struct Problem {
        std::string what, first, last;
        int count;
    };
    void note(const std::string& id, const std::string& what);

    mutable std::mutex mutex_;
    std::map<std::string, Entry> cards_;
    int cacheFull_ = 0, changed_ = 0, unexpected_ = 0;
    std::vector<Problem> problems_;
    std::map<std::string, size_t> problemIndex_;
};

// Checks every record a desk took into outFolder/ScanResult and
// outFolder/ScanResult_jw (NAME.xml beside NAME.jpg and NAME_head.jpg)
// against its card, enters it into the ledger and removes its files;
// returns how many.
int checkTaken(const std::string& outFolder, Ledger& ledger);

}  // namespace qrx::soak
