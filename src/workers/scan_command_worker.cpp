// Scan mode 1: the card-scanning application asks for a card by writing "C"
// or "F" into the command file. The worker answers "1" (taken), then "2" and
// the record's "ScanCmd" text once the oldest queued request of that kind is
// written into the result folder, or "5" when there is none or no request
// came within 30 seconds. While that record cannot be written the command
// stays pending, answered "1", and the card queued.
#include <exception>

#include "log/log.h"
#include "processor/processor.h"
#include "processor/scan_cmd_file.h"

namespace qrx {
namespace {

constexpr int64_t kPendingTimeoutSeconds = 30;

}  // namespace

void CProcessor::processCache1() {
    if (pendingCmd.empty())
        takeScanCommand();
    else if (cacheList.empty())
        expirePendingCommand();
    else
        answerPendingCommand();
}

void CProcessor::takeScanCommand() {
    ScanCmdFile file(platform_, scanCmdPath);
    if (file.first() != 'C' && file.first() != 'F') return;
    pendingSince = platform_.epochSeconds();
    pendingCmd = std::string(1, file.first());
    file.rewrite("1");
}

void CProcessor::expirePendingCommand() {
    if (pendingSince + kPendingTimeoutSeconds >= platform_.epochSeconds()) return;
    ScanCmdFile file(platform_, scanCmdPath);
    if (file.first() != '1') return;  // the application has moved on; look again next turn
    file.rewrite("5");
    pendingCmd.clear();
}

void CProcessor::answerPendingCommand() {
    if (!handOverDue()) return;  // the last record could not be written
    try {
        ScanCmdFile file(platform_, scanCmdPath);
        if (file.first() != '1') {
            pendingCmd.clear();
            PROCESSOR_LOG(LOG_LEVEL_ERROR, "processCache error type!");
            return;
        }
        RecordQueue::const_iterator entry;
        Json::Value request;
        std::string scanCmd;
        bool found = findQueued(
            "processCache1",
            [this](const std::string& text) { return !text.empty() && text[0] == pendingCmd[0]; },
            &entry, &request, &scanCmd);
        if (!found) {
            pendingCmd.clear();
            file.rewrite("5");
            return;
        }
        // A record that cannot be written is not announced: the command stays
        // pending and the card queued in its place.
        if (!handOver(entry, request, pendingCmd == "C")) return;
        pendingCmd.clear();
        file.rewrite("2" + scanCmd);
    } catch (const std::exception&) {
        pendingCmd.clear();
        cacheList.clear();
        PROCESSOR_LOG(LOG_LEVEL_ERROR, "processCache1 exceptions occur.");
    }
}

}  // namespace qrx
