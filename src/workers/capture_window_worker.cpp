// Scan mode 2: the worker hands the queued requests over one by one, oldest
// first, whenever the desktop side looks ready: the command file reads "0",
// no prompt box is open, and the previous record file is gone or waitTime
// has run out. The capture window's clock is set once a card, between the
// record's writing and its announcement. A record that cannot be written or
// announced is not handed over: the card keeps its place among the cards of
// its kind, and its folder (or the command file) is tried again a few
// seconds later; meanwhile the cards of the other folder go on. A step that
// fails with an exception drops at most the card in hand.
#include <exception>

#include "export/scan_info_record.h"
#include "processor/processor.h"
#include "processor/scan_cmd_file.h"
#include "workers/queued_request.h"

namespace qrx {
namespace {

// The desktop side's prompt box: dialog class "#32770", title "提示" in GBK.
constexpr const char kPromptClass[] = "#32770";
constexpr const char kPromptTitle[] = "\xCC\xE1\xCA\xBE";

}  // namespace

void CProcessor::processCache2() {
    if (!payOwedCommand() || cacheList.empty()) return;
    QueuedCard card;
    RecordFiles files;
    try {
        ScanCmdFile file(platform_, settings_.scanCmdPath);
        if (file.first() != '0') return;
        const int64_t now = platform_.clock().monotonicMs();
        if (platform_.desktop().findWindow(kPromptClass, kPromptTitle) != 0) {
            waitStart = now;
            return;
        }
        // The previous record has not been taken yet: it is waited for until
        // waitTime whole seconds after waitStart's second have passed.
        if (platform_.files().fileExists(lastXmlPath) &&
            now / 1000 <= waitStart / 1000 + static_cast<int64_t>(settings_.waitTime))
            return;
        // The oldest card that can be tried: a folder waiting for its retry
        // holds back only the cards of its own kind, and while every folder
        // that holds cards waits (or the command file does), no record is
        // read.
        const bool cReady = cacheList.count('C') > 0 && canTry(settings_.scanResultDir);
        const bool otherReady =
            cacheList.size() > cacheList.count('C') && canTry(settings_.scanResultJwDir);
        if (!cReady && !otherReady) return;
        auto ready = [&](char kind) { return kind == 'C' ? cReady : otherReady; };
        if (!findQueued("processCache2", ready, &card) || !writeRecord(card, &files)) return;
        // The clock goes with a record that is there to be taken, once a card.
        setCaptureClock();
        if (!handOver(file, card, files)) return;
        waitStart = now;
    } catch (const std::exception&) {
        workerFailed("processCache2", card, files);
    }
}

}  // namespace qrx
