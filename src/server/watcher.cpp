#include "server/watcher.h"

#include <algorithm>
#include <memory>

#include "log/event_log.h"
#include "log/log.h"
#include "processor/status_file.h"
#include "server/server_main.h"

namespace qrx {
namespace {

constexpr int kPollMs = 100;
// How long a server asked to stop may take before it is ended.
constexpr int64_t kStopGraceMs = 10 * 1000;

#define WATCHER_LOG(level, text) \
    logMessage(platform_, level, "Watcher.cpp", __LINE__, std::string(text).c_str())

std::string duration(int64_t ms) {
    const int64_t seconds = ms / 1000;
    if (seconds < 120) return std::to_string(seconds) + " s";
    if (seconds < 7200) return std::to_string(seconds / 60) + " min";
    return std::to_string(seconds / 3600) + " h " + std::to_string(seconds / 60 % 60) + " min";
}

class Watcher {
  public:
    Watcher(Platform& platform, std::vector<std::string> arguments)
        : platform_(platform), arguments_(std::move(arguments)) {}
    int run();

  private:
    // Waits up to ms, taking stop requests; false once a stop is asked.
    bool waitUnlessStopped(int64_t ms);
    // Waits for the server to end; false once a stop is asked, after it is
    // stopped.
    bool waitForEnd(ChildProcess& server, ProgramEnd* end);
    void stopServer(ChildProcess& server);
    bool anotherCopyRuns();
    void report(Event event, const std::string& text) {
        WATCHER_LOG(eventLogLevel(event), text);
        reportEvent(platform_, event, text);
    }

    // The watcher's file, for --status: its process, how many times it
    // started the server again, and the last of those.
    void writeFile(int restarts, const std::string& lastEnd);

    Platform& platform_;
    const std::vector<std::string> arguments_;
    std::string stopAsked_;
    RestartDelay delay_;
    StatusFile file_{platform_, statusFilePath(logConfig().path, kWatcherFileName)};
    Json::Value fileText_;  // what the file is to hold
};

void Watcher::writeFile(int restarts, const std::string& lastEnd) {
    Json::Value watcher(Json::objectValue);
    watcher["pid"] = platform_.process().processId();
    watcher["restarts"] = restarts;
    watcher["lastRestart"] = restarts > 0 ? momentJson(platform_.clock().now()) : Json::Value();
    watcher["lastEnd"] = lastEnd;
    fileText_ = watcher;
    file_.write(fileText_);
}

int Watcher::run() {
    platform_.process().watchForStop([this](const std::string& why) { stopAsked_ = why; });
    const std::string program = platform_.process().executablePath();
    WATCHER_LOG(LOG_LEVEL_INFO, "ScanServer --watch: the watcher starts, process " +
                                    std::to_string(platform_.process().processId()));
    writeFile(0, std::string());
    for (int starts = 1;; ++starts) {
        std::string failure;
        const int64_t startedAt = platform_.clock().monotonicMs();
        std::unique_ptr<ChildProcess> server =
            platform_.process().startProgram(program, arguments_, &failure);
        ProgramEnd end;
        if (server) {
            WATCHER_LOG(LOG_LEVEL_INFO,
                        "the watcher started the server, process " + std::to_string(server->id()));
            if (!waitForEnd(*server, &end)) return 0;
        } else {
            end.code = UINT32_MAX;
            end.said = "no start (" + failure + ")";
        }
        const int64_t ranMs = platform_.clock().monotonicMs() - startedAt;
        // A stop that reached both may reach the watcher a moment later.
        if (!waitUnlessStopped(end.code == 0 ? kStopGraceMs / 10 : 0)) {
            WATCHER_LOG(LOG_LEVEL_INFO,
                        "the server stopped on " + stopAsked_ + ", and so does the watcher");
            return 0;
        }
        if (afterEnd(end.code, end.code == 1 && anotherCopyRuns(), starts == 1) ==
            AfterEnd::StopWatching) {
            report(Event::WatcherStops,
                   "the server ended with " + end.said +
                       (end.code == 1 ? ", another copy runs" : ", a start that would fail again") +
                       ": the watcher stops");
            return static_cast<int>(end.code);
        }
        const int64_t waitMs = delay_.next(ranMs);
        report(Event::ServerRestarted, "the server ended with " + end.said + " after " +
                                           duration(ranMs) + ": started again in " +
                                           duration(waitMs) + " (restart " +
                                           std::to_string(starts) + ")");
        writeFile(starts, end.said);
        if (!waitUnlessStopped(waitMs)) {
            WATCHER_LOG(LOG_LEVEL_INFO, "the watcher stops on " + stopAsked_);
            return 0;
        }
    }
}

bool Watcher::waitUnlessStopped(int64_t ms) {
    const int64_t until = platform_.clock().monotonicMs() + ms;
    for (;;) {
        platform_.process().takeStopRequests();
        if (!stopAsked_.empty()) return false;
        const int64_t left = until - platform_.clock().monotonicMs();
        if (left <= 0) return true;
        platform_.clock().sleepMs(static_cast<int>(std::min<int64_t>(left, kPollMs)));
    }
}

bool Watcher::waitForEnd(ChildProcess& server, ProgramEnd* end) {
    while (!server.ended(end)) {
        // A write that failed (a --status reading the file) is tried again.
        if (file_.due()) file_.write(fileText_);
        if (!waitUnlessStopped(kPollMs)) {
            stopServer(server);
            return false;
        }
    }
    return true;
}

void Watcher::stopServer(ChildProcess& server) {
    WATCHER_LOG(LOG_LEVEL_INFO, "the watcher stops on " + stopAsked_ + ", and stops its server");
    server.askToStop();
    ProgramEnd end;
    const int64_t until = platform_.clock().monotonicMs() + kStopGraceMs;
    while (!server.ended(&end)) {
        platform_.process().takeStopRequests();  // a logoff waits on the answers
        if (platform_.clock().monotonicMs() >= until) {
            WATCHER_LOG(LOG_LEVEL_ERROR, "the server did not stop within " +
                                             duration(kStopGraceMs) + ": it is ended");
            server.kill();
            return;
        }
        platform_.clock().sleepMs(kPollMs);
    }
}

// Whether a server not started by this watcher holds the single-copy name.
bool Watcher::anotherCopyRuns() {
    return !platform_.process().claimSingleInstance(kInstanceName);
}

}  // namespace

int64_t RestartDelay::next(int64_t ranMs) {
    if (ranMs >= kSteadyRunMs) delayMs_ = kFirstMs;
    const int64_t wait = delayMs_;
    delayMs_ = std::min(delayMs_ * 2, kMostMs);
    return wait;
}

AfterEnd afterEnd(uint32_t code, bool anotherCopyRuns, bool firstStart) {
    if ((code == 2 && firstStart) || (code == 1 && anotherCopyRuns)) return AfterEnd::StopWatching;
    return AfterEnd::StartAgain;
}

int watchServer(Platform& platform, const std::vector<std::string>& serverArguments) {
    std::unique_ptr<InstanceClaim> claim =
        platform.process().claimSingleInstance(kWatcherInstanceName);
    if (!claim) return 1;
    return Watcher(platform, serverArguments).run();
}

}  // namespace qrx
