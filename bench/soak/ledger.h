// Every card of the soak, from its submission to the desk: sent, accepted or
// refused, and how many times its record arrived, intact or not. The
// clients and the desk's check write into it from their own threads.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qrx::soak {

struct LedgerCounts {
    int sent = 0, accepted = 0;
    int refused = 0;     // honest cards answered otherwise than accepted or "cache is full"
    int cacheFull = 0;   // answered "cache is full", and sent again
    int unanswered = 0;  // honest requests that got no reply in time
    int arrived = 0;     // accepted cards whose record arrived
    int doubled = 0;     // cards whose record arrived more than once
    int changed = 0;     // records that differ from their card
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
    // The kind of a card that was sent, or 0.
    char kindOf(const std::string& id) const;

    LedgerCounts counts() const;
    // The accepted cards whose record has not arrived.
    std::vector<std::string> missing() const;
    // The first kMostProblems problems seen, a line each: every card of a
    // soak's run, whose report groups them.
    static constexpr size_t kMostProblems = 20000;
    std::vector<std::string> problems() const;

  private:
    enum class State { Sending, Accepted, Refused, Unanswered };
    struct Entry {
        char kind;
        State state;
        int arrivals;
    };
    void note(const std::string& line);

    mutable std::mutex mutex_;
    std::map<std::string, Entry> cards_;
    int cacheFull_ = 0, changed_ = 0, unexpected_ = 0;
    std::vector<std::string> problems_;
};

}  // namespace qrx::soak
