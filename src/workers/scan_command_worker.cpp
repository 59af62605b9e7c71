// Scan mode 1: the card-scanning application asks for a card by writing "C"
// or "F" into the command file. The worker answers "1" (taken), then "2" and
// the record's "ScanCmd" text once the oldest queued request of that kind is
// written into the result folder, or "5" when there is none or no request
// came within 30 seconds. While that record cannot be written or
// announced, the command stays pending, answered "1", until its 30 seconds
// have passed; then it is answered "5". The card stays queued in its place
// for the next command of its kind.
#include <exception>

#include "export/scan_info_record.h"
#include "log/log.h"
#include "processor/processor.h"
#include "processor/scan_cmd_file.h"
#include "workers/queued_request.h"

namespace qrx {
namespace {

// How long a command waits for a card, in monotonic milliseconds.
constexpr int64_t kPendingTimeoutMs = 30 * 1000;

}  // namespace

void CProcessor::processCache1() {
    if (!payOwedCommand()) return;
    if (pendingCmd.empty()) {
        takeScanCommand();
        return;
    }
    if (!pendingCommandDue()) return;
    ScanCmdFile file(platform_, settings_.scanCmdPath);
    // The application holds the file at this moment: nothing can be told
    // from it, so the command stays pending and the file is read next turn.
    if (!file.opened()) return;
    if (cacheList.empty())
        expirePendingCommand(file);
    else
        answerPendingCommand(file);
}

void CProcessor::takeScanCommand() {
    ScanCmdFile file(platform_, settings_.scanCmdPath);
    if (file.first() != 'C' && file.first() != 'F') return;
    pendingSince = platform_.clock().monotonicMs();
    pendingCmd = std::string(1, file.first());
    writeAnswer(file, "1");
}

bool CProcessor::pendingTimedOut() {
    return platform_.clock().monotonicMs() - pendingSince > kPendingTimeoutMs;
}

bool CProcessor::pendingCommandDue() {
    const char kind = pendingCmd[0];
    const bool cardWaits = cacheList.empty() ||
                           (cacheList.count(kind) > 0 && !canTry(settings_.folderOf(kind == 'C')));
    return !cardWaits || pendingTimedOut();
}

void CProcessor::expirePendingCommand(ScanCmdFile& file) {
    if (file.first() != '1') return;  // the application has moved on; look again next turn
    writeAnswer(file, "5");           // answered, though the answer may be owed
    pendingCmd.clear();
}

void CProcessor::answerPendingCommand(ScanCmdFile& file) {
    const char kind = pendingCmd[0];
    QueuedCard card;
    RecordFiles files;
    try {
        if (file.first() != '1') {
            pendingCmd.clear();
            PROCESSOR_LOG(LOG_LEVEL_ERROR, "processCache error type!");
            return;
        }
        auto answerNone = [&] {
            pendingCmd.clear();
            writeAnswer(file, "5");
        };
        if (!findQueued(
                "processCache1", [kind](char queued) { return queued == kind; }, &card))
            answerNone();  // nothing of the kind
        else if (canTry(settings_.folderOf(kind == 'C')) && writeRecord(card, &files) &&
                 handOver(file, card, files))
            pendingCmd.clear();  // handed over
        else if (pendingTimedOut())
            answerNone();  // its record could not be handed over within the 30 s
    } catch (const std::exception&) {
        // The command stays pending: the next card of its kind answers it,
        // or "5" once its 30 seconds are over.
        workerFailed("processCache1", card, files);
    }
}

}  // namespace qrx
