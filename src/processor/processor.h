// CProcessor: the one service object of the scan server. It holds every
// piece of lasting state (settings, the workers' working fields, the issued
// codes and the queue of accepted card records) as plain fields, and its
// operations are spread over files named after what they do:
//   settings.cpp        init, loadSettings, readScanPaths, the command-file check,
//                       loadCurveKeys, settingsReport
//   capture_clock.cpp   setCaptureClock
//   request_handler.cpp handleRequest, makeCode
//   request_loop.cpp    run
//   export/scan_info_record.cpp  exportScanInfo
//   workers/scan_command_worker.cpp  processCache1 (scan mode 1)
//   workers/capture_window_worker.cpp  processCache2 (scan mode 2)
//   workers/queued_request.cpp  findQueued and handOver, which both workers share
#pragma once

#include <json/value.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "processor/record_queue.h"

namespace qrx {

struct RecordFiles;
class RateLimit;
class ScanCmdFile;

// The source name that the processor's log lines carry.
constexpr const char kProcessorLogSource[] = "Processor.cpp";

class CProcessor {
  public:
    // Everything the processor takes from the operating system comes from
    // platform, which must outlive it.
    explicit CProcessor(Platform& platform) : platform_(platform) {}
    CProcessor(const CProcessor&) = delete;
    CProcessor& operator=(const CProcessor&) = delete;

    // Once, before run: settings, capture clock, registry paths, the two path
    // log lines and the start-up check of the command file.
    void init();
    void loadSettings();
    void readScanPaths();
    // Reads the settings as init does, touching nothing else (no clock, no
    // command file, no log line), and returns them one a line, name and
    // value: "Server.ini", each key of it, the three registry paths, the log
    // file and whether CURVE is on. Paths are where they live on this machine.
    std::string settingsReport();
    // Reads the CURVE key files that the settings name into curveSecretKey
    // and curveClientKeys, and logs the server's public key. True when none
    // is set or all were read; false, with one level-3 line naming the
    // setting, its path and why, when a file set cannot be read, holds a
    // malformed key, or this build of ZeroMQ has no CURVE.
    bool loadCurveKeys();
    // Writes the local hour and minute into the capture window's controls.
    void setCaptureClock();
    // The request loop over both endpoints. Never returns.
    [[noreturn]] void run();
    // Fills reply (JSON null on entry) for one request text; updates codeSet
    // and cacheList. No exception leaves it. The text is only read, and not
    // kept after the call.
    void handleRequest(std::string_view request, Json::Value& reply);
    std::string makeCode();
    // Writes request as a record with its two images into scanResultDir
    // (isC) or scanResultJwDir and sets lastXmlPath; *files, when given,
    // gets the names written. Returns false, leaving no file behind, when
    // the three files cannot all be written whole; the folder then waits
    // for its retry (folderFailed).
    bool exportScanInfo(const Json::Value& request, bool isC, RecordFiles* files = nullptr);
    // One step of the scan-mode-1 worker: take a command letter, time it
    // out, or answer it with the oldest queued request of its kind.
    void processCache1();
    // One step of the scan-mode-2 worker: hand the oldest queued request over
    // when the desktop side is ready for it.
    void processCache2();

    Platform& platform() { return platform_; }
    // The log call of the processor's own sites.
    void log(int level, int line, const std::string& message);
    // The same for a text that ends at its first NUL; nothing is copied.
    void log(int level, int line, const char* message);
    // The same for bytes that need not be terminated: they end at their
    // first NUL or at their end.
    void log(int level, int line, std::string_view message);
    // Writes limit's count line at level 3, "<what>N more times in S s, not
    // logged one by one", when one is due (RateLimit::countDue).
    void logCountDue(RateLimit& limit, const std::string& what);

    int scanMode = 0;
    int waitTime = 0;
    // How writing goes in one result folder: whether its last record could
    // not be written or announced, the time before which no record is tried
    // there again, when that was last logged, and whether the ".xml.part"
    // files a crash may have left there are gone.
    struct FolderState {
        bool failing = false;
        int64_t retryAt = 0;
        int64_t loggedAt = 0;
        bool swept = false;
    };
    // Keyed by the folder as configured (scanResultDir, scanResultJwDir).
    std::map<std::string, FolderState> folderStates;
    int64_t pendingSince = 0;
    int64_t waitStart = 0;
    std::string pendingCmd;
    std::string lastXmlPath;
    std::string scanCmdPath;
    std::string scanResultDir;
    std::string scanResultJwDir;
    std::string address;
    std::string addressEx;
    std::set<std::string> codeSet;
    RecordQueue cacheList;
    std::string caption;
    int hourCtrlId = 0;
    int minuteCtrlId = 0;
    // How long each clock control may take its text; past it (or when the
    // capture application is hung) the hand-over goes on without the clock.
    int clockTimeout = 0;  // milliseconds; 0 or less: kDefaultClockTimeoutMs
    // The bounds on memory, from "Server.ini"; 0 means no bound.
    int maxRequestSize = 0;  // bytes of one request, set on both sockets
    int maxCodes = 0;        // issued, unspent codes; the oldest is forgotten first
    int maxCacheSize = 0;    // bytes of all queued records together
    // Connections admitted at once, in all and from one address (0 or less:
    // no bound): one past either is refused at its handshake.
    int maxConnections = 0;
    int maxConnectionsPerAddress = 0;
    // The bound on "sock.log" in bytes, past which it is moved to
    // "sock.log.1"; 0: no bound. At least 1 MiB otherwise.
    int64_t maxLogSize = 0;
    // CURVE security, from section "Security" of "Server.ini": the files of
    // the server's secret key and of the client keys admitted; empty: unset.
    std::string curveSecretKeyFile;
    std::string curveClientKeysFile;
    // What loadCurveKeys read: the server's secret key (32 bytes; empty:
    // plain text) and, when curveAllowlist is set, the only client public
    // keys (32 bytes each) admitted.
    std::string curveSecretKey;
    bool curveAllowlist = false;
    std::set<std::string> curveClientKeys;

    static constexpr int kDefaultClockTimeoutMs = 2000;
    // After a record could not be written, the workers wait this long before
    // they try its folder again.
    static constexpr int64_t kExportRetrySeconds = 5;
    // While a folder keeps failing, its failure line comes again this often.
    static constexpr int64_t kFailureRelogSeconds = 600;

    // The result folder of a kind: scanResultDir for C, else scanResultJwDir.
    const std::string& folderOf(bool isC) const { return isC ? scanResultDir : scanResultJwDir; }
    // Whether folder is waiting for its retry after a failure.
    bool folderWaiting(const std::string& folder);
    // A record could not be written into folder or announced (why says
    // which): the folder waits kExportRetrySeconds. Logged when the folder
    // starts to fail and again each kFailureRelogSeconds while it fails.
    void folderFailed(const std::string& folder, const std::string& why);
    // A record of folder was handed over: one line if it had been failing.
    void folderWorks(const std::string& folder);

  private:
    // "Server.ini" beside the executable.
    std::string settingsFile();
    // A size setting ("64MB"); see settings.cpp.
    int64_t readSize(const std::string& iniPath, const char* section, const char* key,
                     int64_t fallback);
    void checkCommandFileAtStart();
    // Takes the request's "code" out of request for the reply.
    void handleCardSubmission(Json::Value& request, Json::Value& reply);
    // Puts a new code into codeSet, forgetting the oldest unspent codes
    // beyond maxCodes.
    void keepIssuedCode(const std::string& code);
    void takeScanCommand();
    void expirePendingCommand();
    void answerPendingCommand();
    // Walks cacheList from the front: drops entries that do not parse or
    // whose ScanCmd is not text, and finds the first whose ScanCmd text is
    // wanted, which stays queued. Returns false when none is.
    bool findQueued(const char* worker, const std::function<bool(const std::string&)>& wanted,
                    RecordQueue::const_iterator* entry, Json::Value* request, std::string* scanCmd);
    // Hands the found entry over: writes its record, sets the capture clock
    // (setClock), announces the record in file as "2" + scanCmd, and only
    // then takes the entry out of the queue. When the record cannot be
    // written or announced, its files are removed, the command file is left
    // as it read, the entry keeps its place and its folder waits for the
    // retry (folderFailed); returns false.
    bool handOver(ScanCmdFile& file, RecordQueue::const_iterator entry, const Json::Value& request,
                  const std::string& scanCmd, bool isC, bool setClock);

    Platform& platform_;
    // One line for each setting whose value was not used as written, for the
    // log at start and for settingsReport.
    std::vector<std::string> settingNotes_;
    // codeSet's codes in the order they were issued; spent ones are passed
    // over when met, and cleared out once they are the greater part.
    std::deque<std::string> codeOrder_;
};

#define PROCESSOR_LOG(level, message) log((level), __LINE__, (message))

}  // namespace qrx
