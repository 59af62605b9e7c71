#include "processor/processor.h"

#include "log/log.h"

namespace qrx {

void CProcessor::log(int level, int line, const std::string& message) {
    logMessage(platform_, level, kProcessorLogSource, line, message.c_str());
}

}  // namespace qrx
