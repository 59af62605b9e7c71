// What the desktop programs do on the POSIX stand-in, for the desktop
// simulator: the command file under its lock, the records in the result
// folders, the capture window and the prompt box as folders of the desktop.
#pragma once

#include <string>
#include <vector>

#include "platform/platform_posix.h"

namespace qrx::desk {

// Where the card-scanning application's files are: the registry values of
// the prefix, or the paths given instead.
struct DeskPaths {
    std::string commandFile;                 // host paths
    std::vector<std::string> resultFolders;  // ScanResult, ScanResult_jw; empty when unknown
};
DeskPaths readDeskPaths(PosixPlatform& platform, const std::string& commandOverride,
                        const std::string& resultOverride, const std::string& resultJwOverride);

// The command file, opened and locked (flock) like the card-scanning
// application does, for each read or write only.
class CommandFile {
  public:
    explicit CommandFile(std::string path) : path_(std::move(path)) {}
    std::string read() const;
    void write(const std::string& content) const;
    // Holds the lock for the given time, as a busy application might.
    void hold(int milliseconds) const;

  private:
    std::string path_;
};

// One record taken from a result folder.
struct TakenRecord {
    std::string record;  // the record's file name
    std::string folder;
    std::vector<std::string> problems;  // empty when the record checked out
};

// Whether a record file waits in the result folders.
bool recordsWaiting(const DeskPaths& paths);

// Checks every record in the result folders (a SCAN_INFO document with CR LF
// lines whose two images exist) and moves it and its images into
// outFolder/ScanResult or outFolder/ScanResult_jw.
std::vector<TakenRecord> takeRecords(PosixPlatform& platform, const DeskPaths& paths,
                                     const std::string& outFolder);

// The capture application's window: title caption, hour control hourId,
// minute control minuteId. Returns the window's folder.
std::string showCaptureWindow(const std::string& prefix, const std::string& caption, int hourId,
                              int minuteId);
void closeWindow(const std::string& prefix, const std::string& name);
// The hour and minute texts the server last set, "HH:MM" ("--" when unset).
std::string captureClock(const std::string& prefix);
// The prompt box: class "#32770", title "提示" in GBK.
void openPromptBox(const std::string& prefix);

}  // namespace qrx::desk
