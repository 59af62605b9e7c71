// Start-up of the processor: "Server.ini" beside the executable, the
// card-scanning application's registry key, and the check of the command
// file. Read once; a changed file or value takes effect at the next start.
#include <zmq.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "log/log.h"
#include "processor/curve_keys.h"
#include "processor/processor.h"
#include "processor/scan_cmd_file.h"

namespace qrx {
namespace {

constexpr size_t kProfileBufferSize = 260;  // texts are cut to 259 bytes
constexpr const char kRegistryKey[] = "SOFTWARE\\Quorvane";
constexpr const char kDefaultScanCmdPath[] = "scancmd.scc";
// "社会信息采集系统" in GBK, compared as bytes against window titles.
constexpr const char kDefaultCaption[] =
    "\xC9\xE7\xBB\xE1\xD0\xC5\xCF\xA2\xB2\xC9\xBC\xAF\xCF\xB5\xCD\xB3";

// One key of "Server.ini". A setting is a text when text is set, a size
// when size is set (intDefault its default), else an integer.
struct Setting {
    const char* section;
    const char* key;
    const char* textDefault;
    int intDefault;
    std::string CProcessor::*text;
    int CProcessor::*number;
    int64_t CProcessor::*size = nullptr;
};

// Read in this order.
const Setting kSettings[] = {
    {"Server", "Address", "tcp://0.0.0.0:7106", 0, &CProcessor::address, nullptr},
    {"Server", "AddressEx", "tcp://0.0.0.0:7107", 0, &CProcessor::addressEx, nullptr},
    {"Server", "ScanMode", nullptr, 2, nullptr, &CProcessor::scanMode},
    {"Server", "WaitTime", nullptr, 180, nullptr, &CProcessor::waitTime},
    {"SheCai", "Caption", kDefaultCaption, 0, &CProcessor::caption, nullptr},
    {"SheCai", "HourCtrlId", nullptr, 49, nullptr, &CProcessor::hourCtrlId},
    {"SheCai", "MinuteCtrlId", nullptr, 53, nullptr, &CProcessor::minuteCtrlId},
    // The bounds on memory (0: none). A request is at most 4 MiB (a card
    // with both photographs is about 70 KB), at most 100,000 codes wait to
    // be spent, and the queue holds at most 256 MiB.
    {"Server", "MaxRequestSize", nullptr, 4 << 20, nullptr, &CProcessor::maxRequestSize},
    {"Server", "MaxCodes", nullptr, 100000, nullptr, &CProcessor::maxCodes},
    {"Server", "MaxCacheSize", nullptr, 256 << 20, nullptr, &CProcessor::maxCacheSize},
    // Connections admitted at once, in all and from one address. Each may
    // hold about five requests and 2 MiB of replies: 32 of them bound what
    // clients can make the 32-bit build hold, and a desk has a handful.
    {"Server", "MaxConnections", nullptr, 32, nullptr, &CProcessor::maxConnections},
    {"Server", "MaxConnectionsPerAddress", nullptr, 16, nullptr,
     &CProcessor::maxConnectionsPerAddress},
    // A capture application that stops handling messages holds each clock
    // control's text up at most this long (milliseconds), not forever.
    {"SheCai", "ClockTimeout", nullptr, CProcessor::kDefaultClockTimeoutMs, nullptr,
     &CProcessor::clockTimeout},
    // The log is moved aside to "sock.log.1" before it passes 64 MiB.
    {"Server", "MaxLogSize", nullptr, 64 << 20, nullptr, nullptr, &CProcessor::maxLogSize},
    // CURVE security: unset, the endpoints speak plain text.
    {"Security", "CurveSecretKeyFile", "", 0, &CProcessor::curveSecretKeyFile, nullptr},
    {"Security", "CurveClientKeys", "", 0, &CProcessor::curveClientKeysFile, nullptr},
};

constexpr int64_t kLeastSize = int64_t{1} << 20;

// A size as an operator writes it: whole bytes, or a whole number followed
// by KB, MB or GB (1024-based, any letter case), in 64 bits. False for
// anything else, a number too great for 64 bits included.
bool parseSize(const std::string& text, int64_t* bytes) {
    size_t digits = 0;
    int64_t number = 0;
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    for (; digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]));
         ++digits) {
        const int digit = text[digits] - '0';
        if (number > (kMax - digit) / 10) return false;
        number = number * 10 + digit;
    }
    if (digits == 0) return false;
    std::string unit;
    for (size_t i = digits; i < text.size(); ++i)
        unit += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    const int shift = unit.empty()   ? 0
                      : unit == "KB" ? 10
                      : unit == "MB" ? 20
                      : unit == "GB" ? 30
                                     : -1;
    if (shift < 0 || number > (kMax >> shift)) return false;
    *bytes = number << shift;
    return true;
}

// A result folder ends in a separator unless it is empty.
std::string asFolder(std::string path, char separator) {
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += separator;
    return path;
}

// A path that names its place by itself: from a root or a drive.
bool isAbsolutePath(const std::string& path) {
    if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
    return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

}  // namespace

void CProcessor::init() {
    pendingSince = 0;
    waitStart = 0;
    loadSettings();
    setCaptureClock();
    setLogMaxSize(maxLogSize);
    readScanPaths();
    PROCESSOR_LOG(LOG_LEVEL_INFO, scanCmdPath);
    PROCESSOR_LOG(LOG_LEVEL_INFO, scanResultDir);
    for (const std::string& note : settingNotes_) PROCESSOR_LOG(LOG_LEVEL_ERROR, note);
    checkCommandFileAtStart();
}

std::string CProcessor::settingsFile() {
    std::string path = platform_.executablePath();
    size_t folderEnd = path.rfind(platform_.pathSeparator());
    if (folderEnd != std::string::npos) path.erase(folderEnd + 1);
    return path + "Server.ini";
}

void CProcessor::loadSettings() {
    const std::string iniPath = settingsFile();
    settingNotes_.clear();
    for (const Setting& s : kSettings) {
        if (s.text != nullptr)
            this->*s.text = platform_.profileString(iniPath, s.section, s.key, s.textDefault,
                                                    kProfileBufferSize);
        else if (s.size != nullptr)
            this->*s.size = readSize(iniPath, s.section, s.key, s.intDefault);
        else
            this->*s.number = platform_.profileInt(iniPath, s.section, s.key, s.intDefault);
    }
}

// A value that is not a size gives the default, one below 1 MiB (but 0) the
// least size; either way a note names the key, the value written and the
// value used.
int64_t CProcessor::readSize(const std::string& iniPath, const char* section, const char* key,
                             int64_t fallback) {
    const std::string text = platform_.profileString(iniPath, section, key, "", kProfileBufferSize);
    if (text.empty()) return fallback;  // missing, as an empty integer reads
    int64_t bytes = 0;
    const char* why = nullptr;
    if (!parseSize(text, &bytes)) {
        why = "not a whole number of bytes, KB, MB or GB";
        bytes = fallback;
    } else if (bytes != 0 && bytes < kLeastSize) {
        why = "below 1 MB";
        bytes = kLeastSize;
    }
    if (why != nullptr)
        settingNotes_.push_back(std::string(key) + "=" + text + " in Server.ini is " + why + ": " +
                                std::to_string(bytes) + " used");
    return bytes;
}

std::string CProcessor::settingsReport() {
    loadSettings();
    readScanPaths();
    std::string report;
    // Values start in column 20, or two places past a longer name.
    auto line = [&report](const std::string& name, const std::string& value) {
        report += name + std::string(std::max<size_t>(20, name.size() + 2) - name.size(), ' ') +
                  value + "\n";
    };
    const std::string iniPath = settingsFile();
    line("Server.ini", platform_.hostPath(iniPath) +
                           (platform_.fileExists(iniPath) ? "" : " (missing: all defaults)"));
    for (const Setting& s : kSettings)
        line(s.key, s.text != nullptr   ? this->*s.text
                    : s.size != nullptr ? std::to_string(this->*s.size)
                                        : std::to_string(this->*s.number));
    for (const std::string& note : settingNotes_) line("note", note);
    line("ScanCmdPath", platform_.hostPath(scanCmdPath));
    line("ScanResult", platform_.hostPath(scanResultDir));
    line("ScanResult_jw", platform_.hostPath(scanResultJwDir));
    line("log", platform_.hostPath(logConfig().path));
    line("CURVE", curveSecretKeyFile.empty() && curveClientKeysFile.empty() ? "off" : "on");
    return report;
}

bool CProcessor::loadCurveKeys() {
    curveSecretKey.clear();
    curveClientKeys.clear();
    curveAllowlist = false;
    if (curveSecretKeyFile.empty() && curveClientKeysFile.empty()) return true;

    std::string folder = platform_.executablePath();
    size_t folderEnd = folder.rfind(platform_.pathSeparator());
    folder.erase(folderEnd == std::string::npos ? 0 : folderEnd + 1);
    auto fail = [&](const char* setting, const std::string& path, const std::string& why) {
        PROCESSOR_LOG(LOG_LEVEL_ERROR, std::string(setting) + " " + path + ": " + why +
                                           ": the server stops, it never serves plain text");
        curveSecretKey.clear();
        curveClientKeys.clear();
        curveAllowlist = false;
        return false;
    };
    // Reads one file a setting names; a relative path is taken from the
    // executable's folder, where "Server.ini" is.
    auto read = [&](const std::string& setting, std::string* path, std::string* text,
                    std::string* why) {
        if (!isAbsolutePath(setting))
            *path = folder + setting;
        else
            *path = setting;
        std::string reason;
        if (platform_.readFileContent(*path, text, &reason)) return true;
        *why = "cannot read it: " + reason;
        return false;
    };

    std::string path, text, why;
    if (curveSecretKeyFile.empty())
        return fail("CurveClientKeys", curveClientKeysFile,
                    "a client list needs CurveSecretKeyFile, which is not set");
    if (!zmq_has("curve"))
        return fail("CurveSecretKeyFile", curveSecretKeyFile,
                    "this build of ZeroMQ has no CURVE security");
    if (!read(curveSecretKeyFile, &path, &text, &why) ||
        !parseSecretKeyFile(text, &curveSecretKey, &why))
        return fail("CurveSecretKeyFile", path, why);
    if (!curveClientKeysFile.empty()) {
        if (!read(curveClientKeysFile, &path, &text, &why) ||
            !parseClientKeyList(text, &curveClientKeys, &why))
            return fail("CurveClientKeys", path, why);
        curveAllowlist = true;
    }

    char publicKey[kCurveKeyTextSize + 1] = {};
    const std::string secretText = encodeCurveKey(curveSecretKey);
    zmq_curve_public(publicKey, secretText.c_str());
    PROCESSOR_LOG(LOG_LEVEL_INFO, std::string("CURVE on, server public key ") + publicKey);
    if (curveAllowlist)
        PROCESSOR_LOG(LOG_LEVEL_INFO,
                      "CURVE clients admitted: the " + std::to_string(curveClientKeys.size()) +
                          (curveClientKeys.size() == 1 ? " key of " : " keys of ") + path);
    else
        PROCESSOR_LOG(LOG_LEVEL_INFO, "CURVE clients admitted: any that has the server public key");
    return true;
}

void CProcessor::readScanPaths() {
    std::unique_ptr<RegistryKey> key = platform_.openMachineKey(kRegistryKey);
    std::string cmdPath, resultDir, resultJwDir;
    if (key) {
        key->queryString("ScanCmdPath", &cmdPath);
        key->queryString("ScanResult", &resultDir);
        key->queryString("ScanResult_jw", &resultJwDir);
    }
    const char separator = platform_.pathSeparator();
    scanCmdPath = cmdPath.empty() ? kDefaultScanCmdPath : cmdPath;
    scanResultDir = asFolder(resultDir, separator);
    scanResultJwDir = asFolder(resultJwDir, separator);
}

// A "1" left in the command file is a command that an earlier run took and
// never answered; it is answered "5" so the scanning application does not
// wait for it forever.
void CProcessor::checkCommandFileAtStart() {
    ScanCmdFile file(platform_, scanCmdPath);
    if (file.first() != '1') return;
    file.rewrite("5");
    PROCESSOR_LOG(LOG_LEVEL_ERROR, "CProcessor::init error type!");
}

}  // namespace qrx
