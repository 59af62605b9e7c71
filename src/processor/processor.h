// CProcessor: the one service object of the scan server. It owns every
// piece of lasting state (the settings it runs with, the workers' working
// fields, the issued codes and the queue of accepted card records), and its
// operations are spread over files named after what they do:
//   start.cpp           init, loadSettings, readScanPaths, loadCurveKeys
//                       (settings/ reads the values, scan_cmd_file.h checks
//                       the command file)
//   capture_clock.cpp   setCaptureClock
//   request_handler.cpp handleRequest, makeCode
//   request_loop.cpp    run
//   processor.cpp       exportScanInfo (export/scan_info_record.h writes the
//                       files); processor_log.h the log calls
//   workers/scan_command_worker.cpp  processCache1 (scan mode 1)
//   workers/capture_window_worker.cpp  processCache2 (scan mode 2)
//   workers/queued_request.cpp  findQueued, writeRecord and handOver, which both
//                       workers share; folder_retry.h the retry of a place a
//                       hand-over could not write
#pragma once

#include <json/value.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log/event_log.h"
#include "platform/platform.h"
#include "processor/folder_retry.h"
#include "processor/processor_log.h"
#include "processor/record_queue.h"
#include "settings/curve_keys.h"
#include "settings/settings.h"

namespace qrx {

struct QueuedCard;
struct RecordFiles;
class ScanCmdFile;

// The request as the log keeps it with LogImages=0: the text of each image
// member ("cardiamgedata", "headiamgedata") replaced by its length, as
// "<base64, N bytes>", and every other byte as it came. A request that is
// not a JSON object is kept whole up to 1 KiB, too short for a photograph;
// past that, and for one that names an image twice, only its length is
// said. It throws nothing.
std::string requestWithoutImages(std::string_view request);

class CProcessor {
  public:
    // Everything the processor takes from the operating system comes from
    // platform, which must outlive it. It runs with settings until init
    // reads them from "Server.ini" and the registry.
    explicit CProcessor(Platform& platform, Settings settings = Settings())
        : settings_(std::move(settings)), folderRetry(platform), platform_(platform) {}
    CProcessor(const CProcessor&) = delete;
    CProcessor& operator=(const CProcessor&) = delete;

    // Once, before run: settings, capture clock, registry paths, the two path
    // log lines and the start-up check of the command file.
    void init();
    // "Server.ini" and the registry key into settings().
    void loadSettings();
    void readScanPaths();
    const Settings& settings() const { return settings_; }
    // Reads the CURVE key files that the settings name into curveKeys(), and
    // logs the server's public key. True when none is set or all were read;
    // false, with one level-3 line naming the setting, its path and why,
    // when a file set cannot be read, holds a malformed key, or this build
    // of ZeroMQ has no CURVE.
    bool loadCurveKeys();
    const CurveKeys& curveKeys() const { return curveKeys_; }
    // Writes the local hour and minute into the capture window's controls.
    void setCaptureClock();
    // The request loop over both endpoints. Never returns: a request to end
    // the process (Process::watchForStop) ends it with stopOnRequest.
    [[noreturn]] void run();
    // Logs, and reports as an event, that the server stops on the request
    // why names, with how many queued cards end with it and their "ScanCmd"
    // texts (nothing else of them), then ends the process with status 0.
    [[noreturn]] void stopOnRequest(const std::string& why);
    // Fills reply (JSON null on entry) for one request text; updates codeSet
    // and cacheList. No exception leaves it. The text is only read, and not
    // kept after the call.
    void handleRequest(std::string_view request, Json::Value& reply);
    std::string makeCode();
    // Writes request as a record with its two images into the result folder
    // of its kind (settings().folderOf(isC)); *files gets the names written. Returns
    // false, with *failure set to why and what was written removed, when
    // the three files cannot all be written whole. It only writes: the
    // hand-over decides what a failure means.
    bool exportScanInfo(const Json::Value& request, bool isC, RecordFiles* files,
                        std::string* failure);
    // One step of the scan-mode-1 worker: take a command letter, time it
    // out, or answer it with the oldest queued request of its kind.
    void processCache1();
    // One step of the scan-mode-2 worker: hand the oldest queued request over
    // when the desktop side is ready for it.
    void processCache2();
    // The queued records, oldest first.
    const RecordQueue& queue() const { return cacheList; }
    // Whether a scan command (mode 1) waits for its answer.
    bool commandPending() const { return !pendingCmd.empty(); }
    // What the status file tells of the processor (status_file.h).
    const Moment& startedAt() const { return startedAt_; }
    const Moment& lastHandOver() const { return lastHandOver_; }
    const FolderRetry& folderRetries() const { return folderRetry; }
    const std::string& owedCommand() const { return owedCommand_; }

    Platform& platform() { return platform_; }
    // The processor's log calls (processor_log.h), for its own sites and the
    // request loop's.
    void log(int level, int line, std::string_view message) { log_.log(level, line, message); }
    void report(Event event, int line, const std::string& message,
                const std::string& subject = std::string()) {
        log_.report(event, line, message, subject);
    }
    void logCountDue(RateLimit& limit, const std::string& what) { log_.logCountDue(limit, what); }
    EventLog& events() { return log_.events(); }
    ProcessorLog& processorLog() { return log_; }

  private:
    friend class CProcessorPeer;  // tests' view of the working state

    // Takes the request's "code" out of request for the reply.
    void handleCardSubmission(Json::Value& request, Json::Value& reply);
    // Puts a new code into codeSet, forgetting the oldest unspent codes
    // beyond maxCodes.
    void keepIssuedCode(const std::string& code);
    void takeScanCommand();
    // Whether the pending command has waited more than its 30 seconds.
    bool pendingTimedOut();
    // Whether the command file is to be read for the pending command this
    // turn: while no card can answer it (none is queued, or those of its
    // kind wait for their retry), not until it times out.
    bool pendingCommandDue();
    void expirePendingCommand(ScanCmdFile& file);
    void answerPendingCommand(ScanCmdFile& file);
    // The oldest queued card whose kind is wanted, read back from its text.
    // Only wanted entries are read: one that cannot be (not JSON, or a
    // ScanCmd that is not text) is dropped on its own and the walk goes on.
    // False when there is none.
    bool findQueued(const char* worker, const std::function<bool(char)>& wanted, QueuedCard* card);
    // Whether a record may be tried in folder now: neither the folder nor
    // the command file waits for its retry.
    bool canTry(const std::string& folder);
    // The first half of a hand-over: writes the card's record into its
    // folder (*files: the names), once the files a failed announcement of
    // the card left are gone. When it cannot, nothing new of it is left, the
    // folder waits for its retry, logged, and false is returned.
    bool writeRecord(QueuedCard& card, RecordFiles* files);
    // Whether the record of card that stood after a failed announcement has
    // gone since: the desktop side took it (as it may when the announcement
    // got partly written), so the card is taken out of the queue, logged,
    // and not written again.
    bool tookUnannounced(QueuedCard& card);
    // The second half: announces the written record in file as "2" + its
    // ScanCmd and only then takes the card out of the queue. When the
    // announcement fails, the record is taken back (unannounce), the card
    // keeps its place and the command file waits for its retry, logged;
    // false is returned.
    bool handOver(ScanCmdFile& file, QueuedCard& card, const RecordFiles& files);
    // Rewrites file with bytes, a one-byte answer; when that fails, logs it
    // and owes it: it is written again each turn until it goes in.
    bool writeAnswer(ScanCmdFile& file, const std::string& bytes);
    // Writes what the command file is owed, first in each worker's step.
    // True when nothing is owed (any more): the step goes on.
    bool payOwedCommand();
    // A worker's step failed with an exception: the worker's line, and the
    // card in hand (when one is) dropped with the files of its record that
    // were not announced, logged by its ScanCmd. Every other card stays.
    void workerFailed(const char* worker, QueuedCard& card, const RecordFiles& files);
    // After a failed announcement: the command file gets back the byte it
    // read and the record's files are removed; a failure of either is
    // logged, and the files that stand are kept with the card.
    void unannounce(ScanCmdFile& file, const QueuedCard& card, const RecordFiles& files);
    // A place a hand-over writes (a result folder, the command file) fails,
    // or works again: the line at level 3, and the place's state in the
    // event log (its latest event tells it).
    void placeFails(const std::string& place, int line, const std::string& message);
    void placeWorks(const std::string& place, int line, const std::string& message);

    Settings settings_;
    CurveKeys curveKeys_;
    // Which result folders, and whether the command file, wait for their
    // retry after a record could not be written or announced there.
    FolderRetry folderRetry;
    // When the pending command was taken and when the current wait for the
    // previous record began, in milliseconds of the monotonic clock: a time
    // sync that steps the wall clock neither stretches nor cuts a wait.
    int64_t pendingSince = 0;
    int64_t waitStart = 0;
    std::string pendingCmd;
    // What the command file must be made to hold because writing it failed:
    // an answer ("1", "5") or the byte a failed announcement cut away. Until
    // it is written nothing else is, and no worker reads the file.
    std::string owedCommand_;
    // The record last handed over (written and announced), and when.
    std::string lastXmlPath;
    Moment lastHandOver_;
    // When init ran: the server's start.
    Moment startedAt_;
    std::set<std::string> codeSet;
    RecordQueue cacheList;
    // The queued records the workers have read back (parsed): a hand-over
    // reads only the card it takes.
    uint64_t recordsRead = 0;

    Platform& platform_;
    ProcessorLog log_{platform_};
    // codeSet's codes in the order they were issued; spent ones are passed
    // over when met, and cleared out once they are the greater part.
    std::deque<std::string> codeOrder_;
};

}  // namespace qrx
