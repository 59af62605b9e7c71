// Start-up of the processor: "Server.ini" beside the executable, the
// card-scanning application's registry key, and the check of the command
// file. Read once; a changed file or value takes effect at the next start.
#include <zmq.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/version.h"
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
// when size is set (intDefault its default), else an integer, which is
// noted when it is not from least to most.
struct Setting {
    const char* section;
    const char* key;
    const char* textDefault;
    int intDefault;
    std::string CProcessor::*text;
    int CProcessor::*number;
    int64_t CProcessor::*size = nullptr;
    int least = INT_MIN;
    int most = INT_MAX;
};

// Read in this order.
const Setting kSettings[] = {
    {"Server", "Address", "tcp://0.0.0.0:7106", 0, &CProcessor::address, nullptr},
    {"Server", "AddressEx", "tcp://0.0.0.0:7107", 0, &CProcessor::addressEx, nullptr},
    {"Server", "ScanMode", nullptr, 2, nullptr, &CProcessor::scanMode, nullptr, 0, 3},
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
    // The log is moved aside to "sock.log.1" before it passes 64 MiB (0 or
    // a negative value: no bound).
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

// The number an integer setting's whole text stands for, as the profile
// reader reads it: an optional sign, then decimal digits or "0x" and
// hexadecimal digits, and nothing else. *fits tells whether it is within
// 32 bits, where the reader would wrap it.
bool wholeNumber(const std::string& text, int64_t* value, bool* fits) {
    size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
    const bool hex = text.size() > i + 2 && text[i] == '0' && (text[i + 1] | 0x20) == 'x';
    const size_t first = hex ? i + 2 : i;
    if (first == text.size()) return false;
    int64_t number = 0;
    for (size_t d = first; d < text.size(); ++d) {
        const unsigned char c = static_cast<unsigned char>(text[d]);
        if (hex ? !std::isxdigit(c) : !std::isdigit(c)) return false;
        const int digit = std::isdigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
        number = std::min<int64_t>(number * (hex ? 16 : 10) + digit, int64_t{1} << 40);
    }
    *value = text[0] == '-' ? -number : number;
    *fits = *value >= INT_MIN && *value <= INT_MAX;
    return true;
}

// A size as an operator would write it: "64MB" rather than 67108864.
std::string sizeText(int64_t bytes) {
    for (const auto& [shift, unit] : {std::pair{30, "GB"}, {20, "MB"}, {10, "KB"}}) {
        if (bytes != 0 && bytes % (int64_t{1} << shift) == 0)
            return std::to_string(bytes >> shift) + unit;
    }
    return std::to_string(bytes);
}

// Key and section names are compared as the profile functions compare them.
bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
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
    const std::string iniPath = settingsFile();
    PROCESSOR_REPORT(Event::Started,
                     std::string("QRX Scan Server ") + serverVersion() + " starts, settings " +
                         iniPath +
                         (platform_.fileExists(iniPath) ? "" : " (missing: all defaults)"));
    for (const SettingNote& note : settingNotes_)
        PROCESSOR_REPORT(Event::SettingNotAsWritten, note.text, note.text);
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
            checkLength(iniPath, s.section, s.key,
                        this->*s.text = platform_.profileString(iniPath, s.section, s.key,
                                                                s.textDefault, kProfileBufferSize));
        else if (s.size != nullptr)
            this->*s.size = readSize(iniPath, s.section, s.key, s.intDefault);
        else
            checkInteger(
                iniPath, s.section, s.key,
                this->*s.number = platform_.profileInt(iniPath, s.section, s.key, s.intDefault),
                s.least, s.most, s.intDefault);
    }
    checkUnread(iniPath);
}

void CProcessor::checkLength(const std::string& iniPath, const char* section, const char* key,
                             const std::string& used) {
    constexpr size_t kLongerThanAnyUse = 4096;
    const std::string text = platform_.profileString(iniPath, section, key, "", kLongerThanAnyUse);
    if (text.size() <= used.size()) return;
    settingNotes_.push_back({key, std::string(key) + "=" + text + " in Server.ini is longer than " +
                                      std::to_string(kProfileBufferSize - 1) +
                                      " bytes: its first " +
                                      std::to_string(kProfileBufferSize - 1) + " used"});
}

void CProcessor::checkInteger(const std::string& iniPath, const char* section, const char* key,
                              int used, int least, int most, int example) {
    const std::string text = platform_.profileString(iniPath, section, key, "", kProfileBufferSize);
    if (text.empty()) return;  // missing: the default
    int64_t number = 0;
    bool fits = false;
    const bool whole = wholeNumber(text, &number, &fits);
    if (whole && fits && number >= least && number <= most) return;
    const std::string range =
        least == INT_MIN && most == INT_MAX
            ? std::string()
            : " from " + std::to_string(least) + " to " + std::to_string(most);
    const std::string why = !whole  ? "not a whole number"
                            : !fits ? "too large a number"
                                    : "not" + range;
    settingNotes_.push_back({key, std::string(key) + "=" + text + " in Server.ini is " + why +
                                      ": " + std::to_string(used) + " used; write a whole number" +
                                      range + ", digits only, as " + key + "=" +
                                      std::to_string(example)});
}

void CProcessor::checkUnread(const std::string& iniPath) {
    std::vector<std::string> sections;
    for (const Setting& s : kSettings) {
        bool listed = false;
        for (const std::string& section : sections) listed = listed || section == s.section;
        if (!listed) sections.push_back(s.section);
    }
    const char* const kSections = "[Server], [SheCai] and [Security]";
    std::map<std::string, int> sectionsSeen;
    for (const std::string& name : platform_.profileNames(iniPath, "")) {
        std::string known;
        for (const std::string& section : sections)
            if (sameName(name, section)) known = section;
        const std::string shown = "[" + name + "]";
        if (known.empty())
            settingNotes_.push_back({shown, shown +
                                                " in Server.ini is not a section the server "
                                                "reads: its keys are not read; the sections "
                                                "are " +
                                                std::string(kSections)});
        else if (++sectionsSeen[known] == 2)
            settingNotes_.push_back({shown, shown + " comes again in Server.ini: only the keys "
                                                    "of its first one are read"});
    }
    for (const std::string& section : sections) {
        std::map<std::string, int> keysSeen;
        for (const std::string& name : platform_.profileNames(iniPath, section)) {
            const Setting* known = nullptr;
            const Setting* elsewhere = nullptr;
            for (const Setting& s : kSettings) {
                if (!sameName(name, s.key)) continue;
                (s.section == section ? known : elsewhere) = &s;
            }
            const std::string place = " in [" + section + "] of Server.ini ";
            if (known != nullptr) {
                if (++keysSeen[known->key] == 2)
                    settingNotes_.push_back(
                        {known->key, name + place + "comes again: only the first is read"});
                continue;
            }
            settingNotes_.push_back(
                {"[" + section + "] " + name,
                 name + place + "is not a key the server reads" +
                     (elsewhere != nullptr
                          ? ": it is read in [" + std::string(elsewhere->section) + "]"
                          : ": it is not read (misspelt?)")});
        }
    }
}

// A value that is not a size gives the default, one below 1 MiB (but 0) the
// least size, a negative one 0 (no bound), as older versions read it; each
// with a note that names the key, the value written and the value used.
int64_t CProcessor::readSize(const std::string& iniPath, const char* section, const char* key,
                             int64_t fallback) {
    const std::string text = platform_.profileString(iniPath, section, key, "", kProfileBufferSize);
    if (text.empty()) return fallback;  // missing, as an empty integer reads
    int64_t bytes = 0;
    const char* why = nullptr;
    if (text[0] == '-' && parseSize(text.substr(1), &bytes)) {
        why = "negative, which means no bound";
        bytes = 0;
    } else if (!parseSize(text, &bytes)) {
        why = "not a whole number of bytes, KB, MB or GB";
        bytes = fallback;
    } else if (bytes != 0 && bytes < kLeastSize) {
        why = "below 1 MB";
        bytes = kLeastSize;
    }
    if (why != nullptr)
        settingNotes_.push_back(
            {key, std::string(key) + "=" + text + " in Server.ini is " + why + ": " +
                      std::to_string(bytes) +
                      " used; write bytes, or a whole number and KB, MB or GB with no space, "
                      "at least 1MB, or 0 for no bound, as " +
                      key + "=" + sizeText(fallback)});
    return bytes;
}

std::string CProcessor::settingsReport() {
    loadSettings();
    readScanPaths();
    std::string report;
    // Values start in column 20, or two places past a longer name.
    auto line = [&](const std::string& name, const std::string& value) {
        report += name + std::string(std::max<size_t>(20, name.size() + 2) - name.size(), ' ') +
                  platform_.terminalText(value) + "\n";
    };
    auto notesOf = [&](const std::string& key) {
        for (const SettingNote& note : settingNotes_)
            if (note.key == key) line("note", note.text);
    };
    const std::string iniPath = settingsFile();
    line("Server.ini", platform_.hostPath(iniPath) +
                           (platform_.fileExists(iniPath) ? "" : " (missing: all defaults)"));
    for (const Setting& s : kSettings) {
        line(s.key, s.text != nullptr   ? this->*s.text
                    : s.size != nullptr ? std::to_string(this->*s.size)
                                        : std::to_string(this->*s.number));
        notesOf(s.key);
    }
    for (const SettingNote& note : settingNotes_) {
        bool beside = false;
        for (const Setting& s : kSettings) beside = beside || note.key == s.key;
        if (!beside) line("note", note.text);
    }
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
        PROCESSOR_REPORT(Event::ServerStops, std::string(setting) + " " + path + ": " + why +
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
