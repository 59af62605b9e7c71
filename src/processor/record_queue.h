// cacheList's type: the queued record texts, oldest first, and the bytes
// they hold together, so the queue's bound is checked without walking it.
// Texts are only appended at the back and taken out whole; they are never
// changed in place, so the count stays true. Nor can it wrap: it counts
// bytes that are all held in memory at once.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <utility>

namespace qrx {

class RecordQueue {
  public:
    using const_iterator = std::list<std::string>::const_iterator;

    void push_back(std::string text) {
        bytes_ += text.size();
        texts_.push_back(std::move(text));
    }
    const_iterator erase(const_iterator entry) {
        bytes_ -= entry->size();
        return texts_.erase(entry);
    }
    void clear() {
        texts_.clear();
        bytes_ = 0;
    }

    const std::string& front() const { return texts_.front(); }
    const std::string& back() const { return texts_.back(); }
    const_iterator begin() const { return texts_.begin(); }
    const_iterator end() const { return texts_.end(); }
    size_t size() const { return texts_.size(); }
    bool empty() const { return texts_.empty(); }
    // The bytes of all queued texts.
    size_t bytes() const { return bytes_; }

  private:
    std::list<std::string> texts_;
    size_t bytes_ = 0;
};

}  // namespace qrx
