#include "soak/ledger.h"

namespace qrx::soak {
namespace {

constexpr size_t kProblemsKept = 50;

}  // namespace

void Ledger::sending(const std::string& id, char kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    cards_[id] = Entry{kind, State::Sending, 0};
    ++counts_.sent;
}

void Ledger::accepted(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = cards_.at(id);
    entry.state = State::Accepted;
    ++counts_.accepted;
    // Arrived before its reply was read: counted once it is known accepted.
    if (entry.arrivals > 0) ++counts_.arrived;
}

void Ledger::refused(const std::string& id, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = cards_.at(id);
    entry.state = State::Refused;
    ++counts_.refused;
    note("card " + id + " was refused: " + message);
    if (entry.arrivals > 0) {
        ++counts_.unexpected;
        note("card " + id + " was refused, yet its record arrived");
    }
}

void Ledger::cacheFull() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.cacheFull;
}

void Ledger::unanswered(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    cards_.at(id).state = State::Unanswered;
    ++counts_.unanswered;
    note("card " + id + ": no reply to its submission");
}

void Ledger::arrived(const std::string& id, const std::string& problem) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = cards_.find(id);
    if (found == cards_.end() || found->second.state == State::Refused) {
        ++counts_.unexpected;
        note("a record of no accepted card arrived: \"" + id + "\"");
        return;
    }
    Entry& entry = found->second;
    if (++entry.arrivals == 2) {
        ++counts_.doubled;
        note("card " + id + " arrived twice");
    }
    if (entry.arrivals == 1 && entry.state == State::Accepted) ++counts_.arrived;
    if (!problem.empty()) {
        ++counts_.changed;
        note("card " + id + ": " + problem);
    }
}

char Ledger::kindOf(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = cards_.find(id);
    return found == cards_.end() ? 0 : found->second.kind;
}

LedgerCounts Ledger::counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
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
    if (problems_.size() < kProblemsKept) problems_.push_back(line);
}

}  // namespace qrx::soak
