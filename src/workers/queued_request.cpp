#include "workers/queued_request.h"

#include "jsontext/styled_json.h"
#include "log/log.h"
#include "processor/processor.h"

namespace qrx {

bool scanCmdText(const Json::Value& request, std::string* text) {
    if (!request.isObject()) return false;
    const Json::Value& scanCmd = request["ScanCmd"];
    if (scanCmd.isArray() || scanCmd.isObject()) return false;
    *text = scanCmd.asString();
    return true;
}

bool CProcessor::findQueued(const char* worker,
                            const std::function<bool(const std::string&)>& wanted,
                            RecordQueue::const_iterator* found, Json::Value* request,
                            std::string* scanCmd) {
    for (auto entry = cacheList.begin(); entry != cacheList.end();) {
        Json::Value parsed;
        std::string text;
        if (!parseJson(*entry, &parsed)) {
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
        if (!wanted(text)) {
            ++entry;
            continue;
        }
        *found = entry;
        *request = std::move(parsed);
        *scanCmd = std::move(text);
        return true;
    }
    return false;
}

bool CProcessor::handOver(RecordQueue::const_iterator entry, const Json::Value& request, bool isC) {
    if (!exportScanInfo(request, isC)) {
        exportRetryAt = platform_.epochSeconds() + kExportRetrySeconds;
        return false;
    }
    cacheList.erase(entry);
    return true;
}

}  // namespace qrx
