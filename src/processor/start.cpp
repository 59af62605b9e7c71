// The processor's start: the settings (settings/), the capture clock, the
// log's bound, the two path lines of the log, the check of the command file,
// and the start event with a note for each value not read as written.
#include <zmq.h>

#include <string>

#include "base/version.h"
#include "log/log.h"
#include "processor/processor.h"
#include "processor/scan_cmd_file.h"

namespace qrx {

void CProcessor::init() {
    startedAt_ = platform_.clock().now();
    pendingSince = 0;
    waitStart = 0;
    loadSettings();
    setCaptureClock();
    setLogMaxSize(settings_.maxLogSize);
    readScanPaths();
    PROCESSOR_LOG(LOG_LEVEL_INFO, settings_.scanCmdPath);
    PROCESSOR_LOG(LOG_LEVEL_INFO, settings_.scanResultDir);
    if (answerLeftoverCommand(platform_, settings_.scanCmdPath))
        PROCESSOR_LOG(LOG_LEVEL_ERROR, "CProcessor::init error type!");
    // After the start-up check's line: the log begins as it always has.
    PROCESSOR_REPORT(Event::Started, std::string("QRX Scan Server ") + serverVersion() +
                                         " starts, settings " + settings_.iniPath +
                                         (settings_.iniFound ? "" : " (missing: all defaults)"));
    for (const SettingNote& note : settings_.notes) {
        if (note.remark)
            PROCESSOR_LOG(LOG_LEVEL_INFO, note.text);
        else
            PROCESSOR_REPORT(Event::SettingNotAsWritten, note.text, note.text);
    }
}

void CProcessor::loadSettings() {
    readIniSettings(platform_, &settings_);
}

void CProcessor::readScanPaths() {
    qrx::readScanPaths(platform_, &settings_);
}

bool CProcessor::loadCurveKeys() {
    std::string failure;
    if (!readCurveKeys(platform_, settings_, &curveKeys_, &failure)) {
        PROCESSOR_REPORT(Event::ServerStops,
                         failure + ": the server stops, it never serves plain text");
        return false;
    }
    if (curveKeys_.secretKey.empty()) return true;
    char publicKey[kCurveKeyTextSize + 1] = {};
    zmq_curve_public(publicKey, encodeCurveKey(curveKeys_.secretKey).c_str());
    PROCESSOR_LOG(LOG_LEVEL_INFO, std::string("CURVE on, server public key ") + publicKey);
    const size_t admitted = curveKeys_.clientKeys.size();
    if (curveKeys_.allowlist())
        PROCESSOR_LOG(LOG_LEVEL_INFO, "CURVE clients admitted: the " + std::to_string(admitted) +
                                          (admitted == 1 ? " key of " : " keys of ") +
                                          curveKeys_.clientKeysPath);
    else
        PROCESSOR_LOG(LOG_LEVEL_INFO, "CURVE clients admitted: any that has the server public key");
    return true;
}

}  // namespace qrx
