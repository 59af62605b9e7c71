// The log calls of the processor's sites: each line names "Processor.cpp"
// as its source, and a line that is also an event goes to the system's event
// log too. A part that logs as the processor (the connection gate) takes this
// rather than the whole processor.
#pragma once

#include <string>
#include <string_view>

#include "log/event_log.h"
#include "log/rate_limit.h"
#include "platform/platform.h"

namespace qrx {

class ProcessorLog {
  public:
    explicit ProcessorLog(Platform& platform) : platform_(platform), events_(platform) {}

    // The log call of the processor's own sites: the message ends at its
    // first NUL or at its end; nothing is copied.
    void log(int level, int line, std::string_view message);
    // The log call of a site whose line is also an event (event_log.h): logs
    // message at the event's level, and reports it to the system's event
    // log unless one of its kind and subject was within the last 10 minutes.
    void report(Event event, int line, const std::string& message,
                const std::string& subject = std::string());
    // Writes limit's count line at level 3, "<what>N more times in S s, not
    // logged one by one", when one is due (RateLimit::due).
    void logCountDue(RateLimit& limit, const std::string& what);
    // The system's event log, for a fault whose every occurrence is
    // reported there while its log lines are limited otherwise.
    EventLog& events() { return events_; }
    Platform& platform() { return platform_; }

  private:
    Platform& platform_;
    EventLog events_;
};

#define PROCESSOR_LOG(level, message) log((level), __LINE__, (message))
#define PROCESSOR_REPORT(event, ...) report((event), __LINE__, __VA_ARGS__)

}  // namespace qrx
