#include "processor/processor.h"

#include "export/scan_info_record.h"
#include "log/log.h"
#include "log/rate_limit.h"

namespace qrx {

void CProcessor::log(int level, int line, const std::string& message) {
    log(level, line, message.c_str());
}

void CProcessor::log(int level, int line, const char* message) {
    logMessage(platform_, level, kProcessorLogSource, line, message);
}

void CProcessor::log(int level, int line, std::string_view message) {
    logMessage(platform_, level, kProcessorLogSource, line, message.data(), message.size());
}

bool CProcessor::exportScanInfo(const Json::Value& request, bool isC, RecordFiles* files,
                                std::string* failure) {
    return exportRecord(platform_, settings_.folderOf(isC), request, isC, files, failure);
}

void CProcessor::report(Event event, int line, const std::string& message,
                        const std::string& subject) {
    log(eventLogLevel(event), line, message);
    events_.report(event, message, subject);
}

void CProcessor::logCountDue(RateLimit& limit, const std::string& what) {
    int64_t seconds = 0;
    const int64_t count = limit.countDue(platform_.clock().monotonicMs(), &seconds);
    if (count == 0) return;
    PROCESSOR_LOG(LOG_LEVEL_ERROR, what + std::to_string(count) + " more times in " +
                                       std::to_string(seconds) + " s, not logged one by one");
}

}  // namespace qrx
