#include "workers/queued_request.h"

#include <cstdlib>

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
        card->entry = entry;
        card->inHand = true;
        Json::Value parsed;
        std::string text;
        const char* broken = !parseJson(entry->text, &parsed) ? "that is not JSON"
                             : !scanCmdText(parsed, &text)    ? "whose ScanCmd is not text"
                                                              : nullptr;
        if (broken != nullptr) {
            // Only this entry is broken: the others keep their places. The
            // line says what was wrong, never what the entry holds.
            entry = cacheList.erase(entry);
            card->inHand = false;
            PROCESSOR_LOG(LOG_LEVEL_ERROR,
                          std::string(worker) + " dropped a queued request " + broken);
            continue;
        }
        card->request = std::move(parsed);
        card->scanCmd = std::move(text);
        return true;
    }
    return false;
}

void CProcessor::workerFailed(const char* worker, QueuedCard& card, const RecordFiles& files) {
    PROCESSOR_LOG(LOG_LEVEL_ERROR, std::string(worker) + " exceptions occur.");
    if (!card.inHand) return;  // no card was taken up: every one keeps its place
    // The card in hand goes, with whatever of its record was written and
    // not announced; the rest stay queued.
    std::string standing;
    if (!files.record.empty()) removeRecordFiles(platform_, files, &standing);
    removeFiles(platform_, card.entry->leftovers, &standing);
    const std::string scanCmd = card.request.isNull()
                                    ? std::string("a queued card not yet read back")
                                    : "the queued card \"" + card.scanCmd + "\"";
    cacheList.erase(card.entry);
    card.inHand = false;
    PROCESSOR_LOG(LOG_LEVEL_ERROR,
                  std::string(worker) + " dropped " + scanCmd + "; " +
                      std::to_string(cacheList.size()) + " stay queued" +
                      (standing.empty() ? "" : "; its files not announced stand: " + standing));
}

void CProcessor::stopOnRequest(const std::string& why) {
    // Those whose ScanCmd cannot be read back are counted all the same.
    std::string scanCmds;
    for (const QueuedRecord& entry : cacheList) {
        Json::Value parsed;
        std::string text = "?";
        if (parseJson(entry.text, &parsed)) scanCmdText(parsed, &text);
        scanCmds += " \"" + text + "\"";
    }
    const size_t count = cacheList.size();
    PROCESSOR_REPORT(Event::ServerStops,
                     "asked to stop (" + why + "): the server stops; " + std::to_string(count) +
                         (count == 1 ? " queued card ends" : " queued cards end") +
                         (count == 0 ? std::string() : " with it, their ScanCmd:" + scanCmds));
    std::exit(0);
}

bool CProcessor::canTry(const std::string& folder) {
    return !folderRetry.waiting(folder) && !folderRetry.waiting(settings_.scanCmdPath);
}

bool CProcessor::tookUnannounced(QueuedCard& card) {
    for (const std::string& standing : card.entry->leftovers) {
        const bool record =
            standing.size() > 4 && standing.compare(standing.size() - 4, 4, ".xml") == 0;
        if (!record || platform_.files().fileExists(standing)) continue;
        const std::string path = standing;  // the entry goes now
        cacheList.erase(card.entry);
        card.inHand = false;
        PROCESSOR_LOG(LOG_LEVEL_ERROR, "the record \"" + path + "\" of \"" + card.scanCmd +
                                           "\", not announced, is gone: the desktop side took "
                                           "it, so its card is not written again");
        return true;
    }
    return false;
}

bool CProcessor::writeRecord(QueuedCard& card, RecordFiles* files) {
    const bool isC = card.entry->kind == 'C';
    const std::string& folder = settings_.folderOf(isC);
    std::string failure;
    std::vector<std::string>& leftovers = card.entry->leftovers;
    if (!leftovers.empty() && !platform_.files().fileExists(folder)) {
        // A folder that cannot be reached (a share gone) tells nothing of
        // the files that stood in it: neither that the desk took them nor
        // that they are gone.
        failure = "it cannot be reached, and the files of its record not announced may stand";
    } else if (tookUnannounced(card)) {
        return false;
    } else {
        // The files of an earlier try whose announcement failed go first:
        // the card is never written again beside a whole record of it.
        if (!leftovers.empty()) leftovers = removeFiles(platform_, leftovers, &failure);
        if (!leftovers.empty()) {
            failure = "the files of its record not announced stand: " + failure;
        } else {
            // Until a record was written there, the partial records a crash
            // may have left are looked for.
            if (!folderRetry.tookRecord(folder)) removePartialRecords(platform_, folder);
            if (exportScanInfo(card.request, isC, files, &failure)) return true;
        }
    }
    if (folderRetry.failed(folder, failure))
        placeFails(folder, __LINE__,
                   "cannot write a record into \"" + folder + "\": " + failure +
                       "; the card stays queued and is tried again");
    return false;
}

bool CProcessor::handOver(ScanCmdFile& file, QueuedCard& card, const RecordFiles& files) {
    std::string failure;
    if (!file.rewrite("2" + card.scanCmd, &failure)) {
        // Not announced, so not handed over: the command file gets back what
        // it read, and the record goes, lest the desktop side take it later.
        unannounce(file, card, files);
        if (folderRetry.failed(settings_.scanCmdPath, failure))
            placeFails(settings_.scanCmdPath, __LINE__,
                       "cannot announce a record in \"" + settings_.scanCmdPath + "\": " + failure +
                           "; the card stays queued and is tried again");
        return false;
    }
    // Announced: the card is the desktop side's now, whatever comes next.
    const std::string& folder = settings_.folderOf(card.entry->kind == 'C');
    cacheList.erase(card.entry);
    card.inHand = false;
    lastXmlPath = files.record;
    lastHandOver_ = platform_.clock().now();
    if (folderRetry.worked(folder))
        placeWorks(folder, __LINE__, "records are written again, into \"" + folder + "\"");
    if (folderRetry.worked(settings_.scanCmdPath))
        placeWorks(settings_.scanCmdPath, __LINE__,
                   "records are announced again in \"" + settings_.scanCmdPath + "\"");
    return true;
}

void CProcessor::placeFails(const std::string& place, int line, const std::string& message) {
    log(LOG_LEVEL_ERROR, line, message);
    events().reportFailing(Event::FolderFails, message, place);
}

void CProcessor::placeWorks(const std::string& place, int line, const std::string& message) {
    // Kept at level 3 in the log, beside the failure it ends.
    log(LOG_LEVEL_ERROR, line, message);
    events().reportWorking(Event::FolderWorks, message, place);
}

bool CProcessor::writeAnswer(ScanCmdFile& file, const std::string& bytes) {
    std::string failure;
    if (file.rewrite(bytes, &failure)) return true;
    owedCommand_ = bytes;
    PROCESSOR_LOG(LOG_LEVEL_ERROR, "cannot write \"" + bytes + "\" in \"" + settings_.scanCmdPath +
                                       "\": " + failure + "; it is written again each turn");
    return false;
}

bool CProcessor::payOwedCommand() {
    if (owedCommand_.empty()) return true;
    ScanCmdFile file(platform_, settings_.scanCmdPath);
    if (!file.rewrite(owedCommand_)) return false;
    PROCESSOR_LOG(LOG_LEVEL_ERROR,
                  "\"" + owedCommand_ + "\" is written in \"" + settings_.scanCmdPath + "\" now");
    owedCommand_.clear();
    return true;
}

void CProcessor::unannounce(ScanCmdFile& file, const QueuedCard& card, const RecordFiles& files) {
    const std::string first(1, file.first());
    std::string failure;
    // Left cut short, the file would read as nothing the desktop side or the
    // workers wait for, and the desk would stand still for good.
    if (!file.rewrite(first, &failure)) {
        owedCommand_ = first;
        PROCESSOR_LOG(LOG_LEVEL_ERROR, "cannot restore \"" + first + "\" in \"" +
                                           settings_.scanCmdPath +
                                           "\" after a failed announcement: " + failure +
                                           "; it is written again each turn");
    }
    std::string standing;
    card.entry->leftovers = removeRecordFiles(platform_, files, &standing);
    if (!card.entry->leftovers.empty())
        PROCESSOR_LOG(LOG_LEVEL_ERROR,
                      "cannot remove the files of a record not announced: " + standing +
                          "; they are removed before its card is written again");
}

}  // namespace qrx
