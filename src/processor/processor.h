// CProcessor: the one service object of the scan server. It holds every
// piece of lasting state (settings, the workers' working fields, the issued
// codes and the queue of accepted card records) as plain fields, and its
// operations are spread over files named after what they do:
//   settings.cpp        init, loadSettings, readScanPaths, the command-file check
//   capture_clock.cpp   setCaptureClock
//   request_handler.cpp handleRequest, makeCode
//   request_loop.cpp    run
//   export/scan_info_record.cpp  exportScanInfo
#pragma once

#include <json/value.h>

#include <cstdint>
#include <list>
#include <set>
#include <string>

#include "platform/platform.h"

namespace qrx {

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
    // Writes the local hour and minute into the capture window's controls.
    void setCaptureClock();
    // The request loop over both endpoints. Never returns.
    [[noreturn]] void run();
    // Fills reply (JSON null on entry) for one request text; updates codeSet
    // and cacheList. No exception leaves it.
    void handleRequest(const std::string& request, Json::Value& reply);
    std::string makeCode();
    // Writes request as a record with its two images into scanResultDir
    // (isC) or scanResultJwDir and sets lastXmlPath. Failures are logged, not
    // returned: the result is always true.
    bool exportScanInfo(const Json::Value& request, bool isC);

    Platform& platform() { return platform_; }
    // The log call of the processor's own sites.
    void log(int level, int line, const std::string& message);

    int scanMode = 0;
    int waitTime = 0;
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
    std::list<std::string> cacheList;
    std::string caption;
    int hourCtrlId = 0;
    int minuteCtrlId = 0;

  private:
    void checkCommandFileAtStart();
    void handleCardSubmission(const Json::Value& root, Json::Value& reply);

    Platform& platform_;
};

#define PROCESSOR_LOG(level, message) log((level), __LINE__, (message))

}  // namespace qrx
