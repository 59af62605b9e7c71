#include "processor/status_file.h"

#include <cstdio>

#include "base/version.h"
#include "jsontext/styled_json.h"
#include "log/log.h"
#include "processor/processor.h"

namespace qrx {
namespace {

// A place a hand-over writes: the folder of "C" cards, the folder of the
// others, the command file. An empty path is the working folder, where the
// records then go (--settings notes it). owed: what the place must be made
// to hold and could not be written yet (the command file's answer or a
// byte given back), empty when nothing is.
Json::Value placeStatus(CProcessor& processor, const char* name, const std::string& path,
                        const std::string& owed = std::string()) {
    const FolderRetry& retries = processor.folderRetries();
    Json::Value place(Json::objectValue);
    place["place"] = name;
    place["path"] =
        path.empty() ? "(the working folder)" : processor.platform().files().hostPath(path);
    const Moment since = retries.failingSince(path);
    place["working"] = !since.known() && owed.empty();
    place["failingSince"] = momentJson(since);
    place["why"] = since.known() || owed.empty()
                       ? retries.failingWhy(path)
                       : "\"" + owed + "\" could not be written in it yet: it is tried each turn";
    return place;
}

Json::Value queueStatus(const CProcessor& processor) {
    const RecordQueue& queue = processor.queue();
    Json::Value queued(Json::objectValue);
    queued["total"] = static_cast<Json::UInt64>(queue.size());
    Json::Value kinds(Json::objectValue);
    for (int kind = 0; kind < 256; ++kind) {
        const size_t count = queue.count(static_cast<char>(kind));
        if (count > 0)
            kinds[std::string(kind == 0 ? 0 : 1, static_cast<char>(kind))] =
                static_cast<Json::UInt64>(count);
    }
    queued["byKind"] = kinds;
    queued["oldestTick"] = queue.empty()
                               ? Json::Value()
                               : Json::Value(static_cast<Json::Int64>(queue.front().queuedAtMs));
    queued["lastHandOver"] = momentJson(processor.lastHandOver());
    return queued;
}

Json::Value logStatus(Platform& platform) {
    const CLogConfig& config = logConfig();
    Json::Value log(Json::objectValue);
    log["path"] = platform.files().hostPath(config.path);
    log["rotatable"] = !config.rotation.failingSince().known();
    log["failingSince"] = momentJson(config.rotation.failingSince());
    log["why"] = config.rotation.failingWhy();
    return log;
}

}  // namespace

std::string statusFilePath(const std::string& logPath, const char* name) {
    const size_t slash = logPath.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : logPath.substr(0, slash + 1)) + name;
}

std::string localTimeText(const LocalTime& t) {
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

Json::Value momentJson(const Moment& moment) {
    if (!moment.known()) return Json::Value();
    Json::Value value(Json::objectValue);
    value["at"] = localTimeText(moment.local);
    value["tick"] = static_cast<Json::Int64>(moment.tickMs);
    return value;
}

Json::Value serverStatus(CProcessor& processor, const LoopCounts& loop) {
    const Settings& settings = processor.settings();
    Json::Value status(Json::objectValue);
    Json::Value& server = status["server"];
    server["version"] = serverVersion();
    server["pid"] = processor.platform().process().processId();
    server["started"] = momentJson(processor.startedAt());
    server["settingsFile"] = settings.iniPath;
    server["address"] = settings.address;
    server["addressEx"] = settings.addressEx;
    server["scanMode"] = settings.scanMode;
    server["curve"] = !processor.curveKeys().secretKey.empty();
    status["queue"] = queueStatus(processor);
    // In scan mode 0 nothing is handed over, and no place is written.
    Json::Value& places = status["places"] = Json::Value(Json::arrayValue);
    if ((settings.scanMode & 3) != 0) {
        places.append(placeStatus(processor, "result folder of C cards", settings.scanResultDir));
        places.append(
            placeStatus(processor, "result folder of the other cards", settings.scanResultJwDir));
        places.append(
            placeStatus(processor, "command file", settings.scanCmdPath, processor.owedCommand()));
    }
    Json::Value& connections = status["connections"];
    connections["open"] = static_cast<Json::UInt64>(loop.connectionsOpen);
    connections["refused"] = static_cast<Json::Int64>(loop.connectionsRefused);
    status["repliesDropped"] = static_cast<Json::Int64>(loop.repliesDropped);
    status["log"] = logStatus(processor.platform());
    return status;
}

bool StatusFile::due() {
    const int64_t now = platform_.clock().monotonicMs();
    if (built_ && now - builtAtMs_ < kIntervalMs) return false;
    built_ = true;
    builtAtMs_ = now;
    return true;
}

void StatusFile::write(const Json::Value& status) {
    const std::string text = styledText(status);
    if (text == lastWritten_) return;
    Json::Value stamped = status;
    stamped["written"] = momentJson(platform_.clock().now());
    const std::string whole = styledText(stamped);
    // Whole on the disk under another name first, then moved over the old.
    const std::string fresh = path_ + ".new";
    std::string failure;
    const bool written =
        platform_.files().writeNewFile(fresh, whole.data(), whole.size(), &failure) &&
        platform_.files().replaceFile(fresh, path_, &failure);
    if (written) {
        lastWritten_ = text;
        if (failures_ >= kFailuresLogged)
            logMessage(platform_, LOG_LEVEL_INFO, kProcessorLogSource, __LINE__,
                       ("the status file is written again: " + path_).c_str());
        failures_ = 0;
    } else if (++failures_ == kFailuresLogged) {
        logMessage(platform_, LOG_LEVEL_ERROR, kProcessorLogSource, __LINE__,
                   ("cannot write the status file " + path_ + ": " + failure +
                    "; ScanServer --status cannot tell how the server fares")
                       .c_str());
    }
}

}  // namespace qrx
