// How a lasting fault is kept from filling the log and the event log. A
// fault that comes back every turn (a client that never reads, a refused
// client that reconnects, a folder that cannot be written, a log that cannot
// be rotated) would otherwise write a line a turn. Each place that says such
// a fault keeps one RateLimit per fault and asks it what to say: the fault's
// line when it begins; then, within the interval, nothing, with the
// occurrences counted and the count said once the interval has passed (or,
// for a place that must show the fault itself, the whole line again once an
// interval); and a line when the fault is over. The place words the line,
// the count and the recovery; RateLimit only says which is due. Times are
// milliseconds of the monotonic clock (Clock::monotonicMs), so a stepped
// wall clock neither holds a line back nor lets one through early.
#pragma once

#include <cstdint>

namespace qrx {

// What a place says about its fault now.
struct Said {
    enum class What { nothing, line, count, recovery };
    What what = What::nothing;
    int64_t times = 0;    // count: the occurrences not said one by one
    int64_t seconds = 0;  // count: whole seconds since the last line or count;
                          // recovery: since the fault's first occurrence
};

class RateLimit {
  public:
    // What the occurrences after a line come to, until the interval passes.
    enum class Between {
        // Counted. The count is due once the interval has passed since the
        // last line or count; an occurrence after a quiet interval, with
        // nothing counted, says its line again.
        count,
        // Passed over, not counted. The first once the interval has passed
        // since the last line says the whole line again, so that a log
        // rotated meanwhile still shows the fault.
        repeat,
        // No occurrence says the line: the place names occurrences by a rule
        // of its own (the refused CURVE clients not yet named this hour) and
        // passes the others here. Each is counted, the first starts the
        // interval, and the count is due as with count.
        countOnly,
    };

    explicit RateLimit(int64_t intervalMs, Between between = Between::count)
        : intervalMs_(intervalMs), between_(between) {}

    // An occurrence of the fault at nowMs: the line, or nothing.
    Said occur(int64_t nowMs);
    // The count, when one is due at nowMs (the interval starts again);
    // otherwise nothing. A place with a turn asks each turn, so that a count
    // is said though no occurrence follows it.
    Said due(int64_t nowMs);
    // The fault is over: the recovery when it occurred since the start or
    // the last recovery, otherwise nothing. Anything counted is dropped, and
    // the next occurrence says its line at once.
    Said recover(int64_t nowMs);
    // Whether the fault occurred since the start or the last recovery.
    bool lasting() const { return lasting_; }

  private:
    int64_t intervalMs_;
    Between between_;
    bool lasting_ = false;
    int64_t firstMs_ = 0;  // the fault's first occurrence
    int64_t sinceMs_ = 0;  // the last line or count, or the first count
    int64_t counted_ = 0;
};

}  // namespace qrx
