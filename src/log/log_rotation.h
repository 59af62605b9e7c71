// Keeping the log within its bound beside programs that hold it open.
// Before a line would take the log past the bound, the log is moved to the
// same name with ".1" added, replacing the older history. When a program
// holds the log without sharing delete, so that it cannot be moved, it is
// copied and cut to empty in place, and the older history is kept aside
// until the cut has worked: a rotation that cannot be done leaves both files
// as they were. A history left aside (its return failed, or a crash came in
// between) goes back at the first line and before any later try. A failed
// rotation is tried again only once the lines since have come to a
// sixteenth of the bound, or after a minute; a line in between costs its
// append alone. Each try that copied the log in vain and failed as the last
// did doubles that wait, up to 64 times. The failure is logged when it
// begins and again every 10 minutes while it lasts, and the end of it once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "log/rate_limit.h"
#include "platform/platform.h"

namespace qrx {

// A line the log writes about itself; no line when text is empty.
struct LogNotice {
    int level = 0;
    std::string text;
};

class LogRotation {
  public:
    static constexpr int64_t kRetryMs = 60 * 1000;
    static constexpr int64_t kRelogMs = 10 * 60 * 1000;
    static constexpr int64_t kMostStretch = 64;

    // Before a line of lineLength bytes goes into the log at path, whose
    // bound is maxSize bytes (0 or less: none): rotates the log when the line
    // would take it past the bound. Returns the line to write about it first.
    LogNotice makeRoom(Platform& platform, const std::string& path, int64_t maxSize,
                       size_t lineLength);
    // Since when the log cannot be rotated (no moment while it can), and
    // why.
    const Moment& failingSince() const { return failingSince_; }
    const std::string& failingWhy() const { return failingWhy_; }

  private:
    // When to try: at once, or while a failure lasts, once the lines since
    // the last try (lineLength counted among them) have come to a sixteenth
    // of maxSize, or kRetryMs have passed, each times stretch_.
    bool tryDue(Platform& platform, int64_t maxSize, size_t lineLength);
    // The next try waits from nowMs.
    void waitFrom(int64_t nowMs);
    // What a try says: the end of a failure once the log, of size bytes, is
    // name + ".1"; the failure's line, and its event, when the log stays.
    LogNotice rotated(const std::string& name, int64_t size, int64_t nowMs);
    LogNotice notRotated(Platform& platform, const std::string& name, const std::string& why,
                         int64_t nowMs);

    int64_t triedAt_ = 0;         // monotonic ms of the last try
    uint64_t linesSinceTry_ = 0;  // bytes of the lines since then
    int64_t stretch_ = 1;         // how many times the wait is stretched
    std::string lastWhy_;         // what kept out the last try that copied
    bool started_ = false;        // whether a first line came
    Moment failingSince_;
    std::string failingWhy_;
    // Lasting from the first failed try until one works.
    RateLimit failure_{kRelogMs, RateLimit::Between::repeat};
};

}  // namespace qrx
