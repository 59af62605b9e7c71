// Scan mode 2: the worker hands the queued requests over one by one, oldest
// first, whenever the desktop side looks ready: the command file reads "0",
// no prompt box is open, and the previous record file is gone or waitTime
// has run out. Before each record the capture window's clock is set.
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
            return;  // the previous record has not been taken yet
        Json::Value request;
        std::string scanCmd;
        if (!takeQueued(
                "processCache2", [](const std::string&) { return true; }, &request, &scanCmd))
            return;
        waitStart = now;
        setCaptureClock();
        exportScanInfo(request, !scanCmd.empty() && scanCmd[0] == 'C');
        file.rewrite("2" + scanCmd);
    } catch (const std::exception&) {
        cacheList.clear();
        PROCESSOR_LOG(LOG_LEVEL_ERROR, "processCache2 exceptions occur.");
    }
}

}  // namespace qrx
