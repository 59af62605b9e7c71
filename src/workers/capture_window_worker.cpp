// Scan mode 2: the worker hands the queued requests over one by one, oldest
// first, whenever the desktop side looks ready: the command file reads "0",
// no prompt box is open, and the previous record file is gone or waitTime
// has run out. Before each record the capture window's clock is set. A record
// that cannot be written is not announced: the card stays first in the queue
// and is tried again a few seconds later.
#include <exception>

#include "log/log.h"
#include "processor/processor.h"
#include "processor/scan_cmd_file.h"

namespace qrx {
namespace {

// The desktop side's prompt box: dialog class "#32770", title "提示" in GBK.
constexpr const char kPromptClass[] = "#32770";
constexpr const char kPromptTitle[] = "\xCC\xE1\xCA\xBE";

}  // namespace

void CProcessor::processCache2() {
    if (cacheList.empty()) return;
    try {
        ScanCmdFile file(platform_, scanCmdPath);
        if (file.first() != '0') return;
        const int64_t now = platform_.epochSeconds();
        if (platform_.findWindow(kPromptClass, kPromptTitle) != 0) {
            waitStart = now;
            return;
        }
        if (platform_.fileExists(lastXmlPath) && now <= waitStart + static_cast<int64_t>(waitTime))
            return;                  // the previous record has not been taken yet
        if (!handOverDue()) return;  // the last record could not be written
        RecordQueue::const_iterator entry;
        Json::Value request;
        std::string scanCmd;
        if (!findQueued(
                "processCache2", [](const std::string&) { return true; }, &entry, &request,
                &scanCmd))
            return;
        setCaptureClock();
        // A record that cannot be written is not announced; its card stays
        // at the head of the queue.
        if (!handOver(entry, request, !scanCmd.empty() && scanCmd[0] == 'C')) return;
        waitStart = now;
        file.rewrite("2" + scanCmd);
    } catch (const std::exception&) {
        cacheList.clear();
        PROCESSOR_LOG(LOG_LEVEL_ERROR, "processCache2 exceptions occur.");
    }
}

}  // namespace qrx
