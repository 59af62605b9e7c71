// "ScanServer --watch": a watcher process that starts the server as its
// child and starts it again when it ends abnormally, so that a crash in the
// morning does not leave the desk without a server for the day.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qrx {

// The option, and the single-copy name that keeps one watcher a session.
constexpr const char kWatchOption[] = "--watch";
constexpr const char kWatcherInstanceName[] = "QRXScanServerWatcher";

// The wait before each start again: 1 s, doubling up to 5 minutes, and 1 s
// again once the server ran an hour before it ended.
class RestartDelay {
  public:
    static constexpr int64_t kFirstMs = 1000;
    static constexpr int64_t kMostMs = 5 * 60 * 1000;
    static constexpr int64_t kSteadyRunMs = 60 * 60 * 1000;

    // The wait after a run of ranMs.
    int64_t next(int64_t ranMs);

  private:
    int64_t delayMs_ = kFirstMs;
};

// What the watcher does when its server ends with code, unless the watcher
// was asked to stop as well (a logoff, a shutdown and "taskkill /IM
// ScanServer.exe" reach both), which ends both: 2 at the first start is a
// start that would only fail again (no endpoint bound, a key file
// unusable), and so is 1 while another copy runs (anotherCopyRuns);
// otherwise 1 is a program ended from outside (taskkill /F gives 1 on
// Windows, 0 under Wine). Everything else starts it again: a crash above
// all, a server stopped alone, and 2 after a crash (a port the crashed
// copy's connections still hold for a while).
enum class AfterEnd { StopWatching, StartAgain };
AfterEnd afterEnd(uint32_t code, bool anotherCopyRuns, bool firstStart);

// Runs the watcher: serverArguments are passed to each server it starts.
// Returns its exit status: 0 after a stop asked for (the watcher stops its
// server first), 1 when another watcher or another server runs, 2 after a
// server's start that would only fail again.
int watchServer(Platform& platform, const std::vector<std::string>& serverArguments);

}  // namespace qrx
