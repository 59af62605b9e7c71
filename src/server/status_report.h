// "ScanServer --status [--json]": reads the running server's status file
// (processor/status_file.h) and tells whoever looks after the desk, or a
// monitoring script, whether the server runs and how it fares.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace qrx {

constexpr const char kStatusOption[] = "--status";
constexpr const char kJsonOption[] = "--json";

// The exit statuses of --status.
constexpr int kStatusWell = 0;
constexpr int kStatusFault = 1;
constexpr int kStatusNotRunning = 3;

// What the reader found of the server beside the file's text.
struct StatusFacts {
    bool fileRead = false;
    std::string fileText;
    bool serverHeld = false;  // the single-copy name is held
    bool writerRuns = false;  // the process that wrote the file runs
    int64_t nowTick = 0;      // the reader's monotonic milliseconds
    // The watcher's file, when a watcher runs (--watch); else empty.
    std::string watcherText;
};

struct StatusAnswer {
    int exitStatus = kStatusNotRunning;
    std::string text;
};

// The report of facts: for a person, or with json the file's object with
// "running", "well", "faults", "oldestQueuedSeconds" and "watcher" (its
// process and restarts, null when none watches) added; a file that is not
// the running server's own goes under "lastStatus" instead. Running is the
// single-copy name held. The file is the running server's own when the
// process that wrote it runs and it was written since the machine started:
// a file left by a crash is told apart so. Well is running with the
// server's own file, every place working and the log rotatable.
StatusAnswer statusAnswer(const StatusFacts& facts, bool json);

// Reads the file at path and the process's facts, prints the report to
// standard output and returns its exit status.
int printStatus(Platform& platform, const std::string& path, bool json);

}  // namespace qrx
