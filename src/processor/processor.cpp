#include "processor/processor.h"

#include "log/log.h"

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

void CProcessor::report(Event event, int line, const std::string& message,
                        const std::string& subject) {
    log(eventLogLevel(event), line, message);
    events_.report(event, message, subject);
}

}  // namespace qrx
