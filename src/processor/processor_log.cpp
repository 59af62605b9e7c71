#include "processor/processor_log.h"

#include "log/log.h"

namespace qrx {

void ProcessorLog::log(int level, int line, std::string_view message) {
    logMessage(platform_, level, kProcessorLogSource, line, message.data(), message.size());
}

void ProcessorLog::report(Event event, int line, const std::string& message,
                          const std::string& subject) {
    log(eventLogLevel(event), line, message);
    events_.report(event, message, subject);
}

void ProcessorLog::logCountDue(RateLimit& limit, const std::string& what) {
    const Said count = limit.due(platform_.clock().monotonicMs());
    if (count.what != Said::What::count) return;
    PROCESSOR_LOG(LOG_LEVEL_ERROR, what + std::to_string(count.times) + " more times in " +
                                       std::to_string(count.seconds) + " s, not logged one by one");
}

}  // namespace qrx
