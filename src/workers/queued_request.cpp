#include "workers/queued_request.h"

#include "export/scan_info_record.h"
#include "jsontext/styled_json.h"
#include "log/log.h"
#include "processor/processor.h"
#include "processor/scan_cmd_file.h"

namespace qrx {

bool scanCmdText(const Json::Value& request, std::string* text) {
    if (!request.isObject()) return false;
    const Json::Value& scanCmd = request["ScanCmd"];
    if (scanCmd.isArray() || scanCmd.isObject()) return false;
    *text = scanCmd.asString();
    return true;
}

bool CProcessor::findQueued(const char* worker, const std::function<bool(char)>& wanted,
                            QueuedCard* card) {
    for (auto entry = cacheList.begin(); entry != cacheList.end();) {
        if (!wanted(entry->kind)) {
            ++entry;
            continue;
        }
        ++recordsRead;
        Json::Value parsed;
        std::string text;
        if (!parseJson(entry->text, &parsed)) {
            entry = cacheList.erase(entry);
            continue;
        }
        if (!scanCmdText(parsed, &text)) {
            // Only this entry is broken: the others keep their places.
            entry = cacheList.erase(entry);
            PROCESSOR_LOG(
                LOG_LEVEL_ERROR,
                std::string(worker) + " dropped a queued request whose ScanCmd is not text");
            continue;
        }
        card->entry = entry;
        card->request = std::move(parsed);
        card->scanCmd = std::move(text);
        return true;
    }
    return false;
}

bool CProcessor::handOver(ScanCmdFile& file, QueuedCard& card, bool setClock) {
    const bool isC = card.entry->kind == 'C';
    RecordFiles files;
    if (!exportScanInfo(card.request, isC, &files)) return false;
    // The clock goes with a record that is there to be taken, once a card.
    if (setClock) setCaptureClock();
    std::string failure;
    if (!file.rewrite("2" + card.scanCmd, &failure)) {
        // Not announced, so not handed over: the command file gets back what
        // it read, and the record goes, lest the desktop side take it later.
        file.rewrite(std::string(1, file.first()));
        removeRecordFiles(platform_, files);
        folderFailed(folderOf(isC), "cannot announce it in \"" + scanCmdPath + "\": " + failure);
        return false;
    }
    cacheList.erase(card.entry);
    folderWorks(folderOf(isC));
    return true;
}

}  // namespace qrx
