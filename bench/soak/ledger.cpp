#include "soak/ledger.h"

namespace qrx::soak {

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
    note("card " + id + " was refused: " + message);
    if (entry.arrivals > 0) {
        ++unexpected_;
        note("card " + id + " was refused, yet its record arrived");
    }
}

void Ledger::cacheFull() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++cacheFull_;
}

void Ledger::unanswered(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    cards_.at(id).state = State::Unanswered;
    note("card " + id + ": no reply to its submission");
}

void Ledger::arrived(const std::string& id, const std::string& problem) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = cards_.find(id);
    if (found == cards_.end() || found->second.state == State::Refused) {
        ++unexpected_;
        note("a record of no accepted card arrived: \"" + id + "\"");
        return;
    }
    if (++found->second.arrivals == 2) note("card " + id + " arrived twice");
    if (!problem.empty()) {
        ++changed_;
        note("card " + id + ": " + problem);
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
        if (entry.state != State::Accepted) continue;
        ++c.accepted;
        c.arrived += entry.arrivals > 0;
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
    return problems_;
}

void Ledger::note(const std::string& line) {
    if (problems_.size() < kMostProblems) problems_.push_back(line);
}

}  // namespace qrx::soak
