// cacheList's type: the queued card records, oldest first. Each keeps its
// kind beside its text, so the workers find the oldest card of a kind (or of
// a folder) without reading a record back; the queue counts the cards of
// each kind and the bytes of all texts, so neither needs a walk. Records are
// only appended at the back and taken out whole, and their texts and kinds
// never change in place, so the counts stay true. Nor can the byte count
// wrap: it counts bytes that are all held in memory at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <utility>
#include <vector>

namespace qrx {

// A card's kind: the first byte of its "ScanCmd" text, 0 when that is empty.
// "C" cards go into scanResultDir, all others into scanResultJwDir.
inline char kindOf(const std::string& scanCmd) {
    return scanCmd.empty() ? '\0' : scanCmd[0];
}

struct QueuedRecord {
    QueuedRecord(char kind, std::string text, int64_t queuedAtMs)
        : kind(kind), queuedAtMs(queuedAtMs), text(std::move(text)) {}

    const char kind;
    // When the card was accepted, in monotonic milliseconds.
    const int64_t queuedAtMs;
    // The accepted request, rewritten as styled JSON.
    const std::string text;
    // The files of this card's record that stood after its announcement
    // failed: removed before the card is written again, and until they are,
    // it is not.
    std::vector<std::string> leftovers;
};

class RecordQueue {
  public:
    using iterator = std::list<QueuedRecord>::iterator;
    using const_iterator = std::list<QueuedRecord>::const_iterator;

    void push_back(char kind, std::string text, int64_t queuedAtMs = 0) {
        bytes_ += text.size();
        ++perKind_[index(kind)];
        records_.emplace_back(kind, std::move(text), queuedAtMs);
    }
    iterator erase(iterator entry) {
        bytes_ -= entry->text.size();
        --perKind_[index(entry->kind)];
        return records_.erase(entry);
    }
    void clear() {
        records_.clear();
        bytes_ = 0;
        perKind_.fill(0);
    }

    const QueuedRecord& front() const { return records_.front(); }
    const QueuedRecord& back() const { return records_.back(); }
    iterator begin() { return records_.begin(); }
    iterator end() { return records_.end(); }
    const_iterator begin() const { return records_.begin(); }
    const_iterator end() const { return records_.end(); }
    size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    // The cards of one kind.
    size_t count(char kind) const { return perKind_[index(kind)]; }
    // The bytes of all queued texts.
    size_t bytes() const { return bytes_; }

  private:
    static size_t index(char kind) { return static_cast<unsigned char>(kind); }

    std::list<QueuedRecord> records_;
    size_t bytes_ = 0;
    std::array<size_t, 256> perKind_{};
};

}  // namespace qrx
