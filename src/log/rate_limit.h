// How a line about a lasting fault is kept from filling the log. A fault
// that comes back every turn (a client that never reads, a refused client
// that reconnects, a folder that cannot be written) would otherwise write a
// line a turn. The first occurrence's line is written; later ones are
// counted, and the count is written once the interval has passed since the
// last line, so a fault that goes on still shows once an interval. An
// occurrence after a quiet interval, with nothing counted, is written in
// full again. A fault may instead have its whole line repeated once an
// interval (repeat). Times are milliseconds of the monotonic clock
// (Platform::monotonicMs), so a stepped wall clock neither holds a line
// back nor lets one through early.
#pragma once

#include <cstdint>

namespace qrx {

class RateLimit {
  public:
    explicit RateLimit(int64_t intervalMs) : intervalMs_(intervalMs) {}

    // An occurrence at nowMs: true when its own line is to be written now,
    // false when it is only counted.
    bool admit(int64_t nowMs);
    // An occurrence whose line the caller has written or left out for a
    // reason of its own: only counted. The first one starts the interval.
    void count(int64_t nowMs);
    // An occurrence of a fault whose whole line is to stand in the log once
    // an interval while it lasts (so a log rotated meanwhile still shows
    // it): true for the first, and for the first once the interval has
    // passed since the last line; the others are passed over, not counted.
    bool repeat(int64_t nowMs);
    // The occurrences counted since the last line, once the interval has
    // passed since that line (or since the first count): returns their number
    // and sets *seconds to the time since, in whole seconds, and the
    // interval starts again. 0 while nothing is due.
    int64_t countDue(int64_t nowMs, int64_t* seconds);
    // The fault is over: the next occurrence is written at once.
    void reset() { *this = RateLimit(intervalMs_); }

    int64_t intervalMs() const { return intervalMs_; }

  private:
    int64_t intervalMs_;
    bool started_ = false;  // a line was written, or a count begun
    int64_t since_ = 0;     // when that was
    int64_t counted_ = 0;
};

}  // namespace qrx
