// The status file: what the running server holds and how its places fare,
// for "ScanServer --status" and for a monitoring script. It is "status.json"
// in the log's folder. The request loop offers the server's state once a
// turn; the state is built at most once a second and written only when it
// differs from the last one written, as a new file moved over the old, so a
// reader never finds half of one. It holds no card data: counts, times,
// paths, and why a place fails.
//
// Each time is a moment: {"at": "2026-12-10 09:41:07", "tick": N}, "at" by
// the wall clock and "tick" the monotonic milliseconds of the machine, by
// which a reader on the same machine tells an age; null for none.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace qrx {

class CProcessor;

constexpr const char kStatusFileName[] = "status.json";
// The watcher's own (server/watcher.h): its process and its restarts.
constexpr const char kWatcherFileName[] = "watcher.json";

// The status file (or another, name) beside the log at logPath, in its
// folder.
std::string statusFilePath(const std::string& logPath, const char* name = kStatusFileName);

// "YYYY-MM-DD HH:MM:SS".
std::string localTimeText(const LocalTime& time);
Json::Value momentJson(const Moment& moment);

// What the request loop counts beside the processor.
struct LoopCounts {
    size_t connectionsOpen = 0;
    int64_t connectionsRefused = 0;
    int64_t repliesDropped = 0;
};

// The state of processor and its loop, as the status file holds it.
Json::Value serverStatus(CProcessor& processor, const LoopCounts& loop);

class StatusFile {
  public:
    static constexpr int64_t kIntervalMs = 1000;

    StatusFile(Platform& platform, std::string path)
        : platform_(platform), path_(std::move(path)) {}

    const std::string& path() const { return path_; }
    // Whether a status is to be built now: none was in the last second.
    bool due();
    // Writes status, with the moment it is written, when it differs from
    // the last one written. A file that cannot be written twice running is
    // logged, and so is the end of that; once alone (a --status reading it
    // the moment it is replaced, on Windows) is only tried again. The
    // server goes on either way.
    void write(const Json::Value& status);

  private:
    Platform& platform_;
    std::string path_;
    int64_t builtAtMs_ = 0;
    bool built_ = false;
    std::string lastWritten_;  // the text without its moment
    static constexpr int kFailuresLogged = 2;
    int failures_ = 0;  // the writes that failed one after another
};

}  // namespace qrx
