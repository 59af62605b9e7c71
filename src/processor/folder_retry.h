// How a hand-over's writes go in each place it writes: each result folder,
// and the command file that announces the record. A place that fails is
// left alone for kRetryMs before a record is tried there again, and the
// other places go on meanwhile, so a result folder that cannot be written
// holds back only the cards of its own kind. The caller logs a failing
// place's line when it starts to fail and again once each kRelogMs while it
// fails (a RateLimit that repeats its line), and a line when it works again.
// Times are monotonic milliseconds.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "log/rate_limit.h"
#include "platform/platform.h"

namespace qrx {

class FolderRetry {
  public:
    static constexpr int64_t kRetryMs = 5 * 1000;
    static constexpr int64_t kRelogMs = 600 * 1000;

    explicit FolderRetry(Platform& platform) : platform_(platform) {}

    // Whether place failed less than kRetryMs ago.
    bool waiting(const std::string& place);
    // A record could not be written into place or announced in it, for
    // why: place waits kRetryMs. True when the failure's line is to be
    // logged: the place starts to fail, or kRelogMs have passed since its
    // last line.
    bool failed(const std::string& place, const std::string& why);
    // Place took a record. True when it had been failing: its recovery is
    // to be logged.
    bool worked(const std::string& place);
    // Whether place has taken a record since the server started.
    bool tookRecord(const std::string& place) const;
    // Since when place fails (no moment while it works), and the last why.
    Moment failingSince(const std::string& place) const;
    std::string failingWhy(const std::string& place) const;

  private:
    struct Place {
        bool tookRecord = false;
        int64_t retryAtMs = 0;
        RateLimit failure{kRelogMs, RateLimit::Between::repeat};
        Moment failingSince;
        std::string why;
    };
    const Place* find(const std::string& place) const;

    Platform& platform_;
    std::map<std::string, Place> places_;  // by the path as configured
};

}  // namespace qrx
