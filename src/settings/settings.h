// What the server runs with, read once at start: "Server.ini" beside the
// executable and the card-scanning application's registry key. Reading is
// plain work over the platform: it logs nothing and touches no other file,
// so the start, the settings report and tests read the same value. A
// changed file or value takes effect at the next start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qrx {

// A value not read as written, a key or section the server does not read,
// or a file or registry value that leaves the desk on a default: the name
// it is shown beside (a key, "[section]", "Server.ini", a registry value or
// "CURVE") and one line saying what was written, what is used and how to
// mend it. A remark is a documented choice worth knowing, not a mistake.
struct SettingNote {
    std::string key;
    std::string text;
    bool remark = false;
};

struct Settings {
    static constexpr int kDefaultClockTimeoutMs = 2000;

    // "Server.ini" beside the executable, and whether it is there.
    std::string iniPath;
    bool iniFound = false;

    std::string address;
    std::string addressEx;
    int scanMode = 0;
    int waitTime = 0;
    std::string caption;
    int hourCtrlId = 0;
    int minuteCtrlId = 0;
    // How long each clock control may take its text; past it (or when the
    // capture application is hung) the hand-over goes on without the clock.
    int clockTimeout = 0;  // milliseconds; 0 or less: kDefaultClockTimeoutMs
    // The bounds on memory; 0 means no bound.
    int64_t maxRequestSize = 0;  // bytes of one request, set on both sockets
    int maxCodes = 0;            // issued, unspent codes; the oldest is forgotten first
    int64_t maxCacheSize = 0;    // bytes of all queued records together
    // Connections admitted at once, in all and from one address (0 or less:
    // no bound): one past either is refused at its handshake.
    int maxConnections = 0;
    int maxConnectionsPerAddress = 0;
    // The bound on "sock.log" in bytes, past which it is moved to
    // "sock.log.1"; 0: no bound. At least 1 MiB otherwise. Every size
    // setting is read alike: bytes, or a whole number and KB, MB or GB.
    int64_t maxLogSize = 0;
    // Whether a logged request keeps its photographs (1), or has each image
    // member's text replaced by its length (0).
    int logImages = 1;
    // CURVE security, from section "Security": the files of the server's
    // secret key and of the client keys admitted; empty: unset.
    std::string curveSecretKeyFile;
    std::string curveClientKeysFile;

    // From the registry key: the command file, and the result folders of
    // C-command records and of the others (each ending in a separator).
    std::string scanCmdPath;
    std::string scanResultDir;
    std::string scanResultJwDir;

    // Those of the last reading of "Server.ini" and the registry key.
    std::vector<SettingNote> notes;
    // Whether a note (not a remark) says something was not read as written.
    bool hasNotes() const;

    // The result folder of a kind: scanResultDir for C, else scanResultJwDir.
    const std::string& folderOf(bool isC) const { return isC ? scanResultDir : scanResultJwDir; }
    bool curveOn() const { return !curveSecretKeyFile.empty() || !curveClientKeysFile.empty(); }
};

// The executable's folder, with its separator at the end: "Server.ini" and
// relative key files are found there.
std::string executableFolder(Platform& platform);

// Every key of "Server.ini" into *settings, in the table's order, with a
// note for each value not read as written and each key or section the
// server does not read. A UTF-8 byte-order mark is read past and noted; a
// file that begins with the UTF-16LE mark is read converted to the system's
// code page, as the profile functions read it.
void readIniSettings(Platform& platform, Settings* settings);
// The command file and the result folders from the registry key; in scan
// modes 1 to 3 (read before), a missing key or an empty value is noted with
// the working folder the server uses instead.
void readScanPaths(Platform& platform, Settings* settings);
// Both, and the CURVE key files read as a start reads them: a file a start
// would stop on is noted.
Settings readSettings(Platform& platform);

// The settings one a line, name and value, as "--settings" prints them:
// "Server.ini", each key of it, each followed by a "note" line for each of
// its values not read as written, the keys and sections of the file that the
// server does not read, the three registry paths, the log file and whether
// CURVE is on. Paths are where they live on this machine; every value is as
// the terminal shows it (terminalText).
std::string settingsReport(Platform& platform, const Settings& settings,
                           const std::string& logPath);

}  // namespace qrx
