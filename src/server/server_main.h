// The process entry's logic, shared by main (POSIX) and WinMain (Windows).
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace qrx {

// The name of the single-instance guard.
constexpr const char kInstanceName[] = "QRXScanServerMutex";
// The command-line options. Each prints on standard output and exits:
// the settings a start would use, the usage, the version.
constexpr const char kSettingsOption[] = "--settings";
constexpr const char kHelpOption[] = "--help";  // and -h, -? and /?
constexpr const char kVersionOption[] = "--version";

// Whether arguments hold an option that prints and exits.
bool printsAndExits(const std::vector<std::string>& arguments);

// arguments: the command line's, without the program's name. With an option
// among them (--help before --version before --settings before --status):
// prints its text on standard output and returns, without the guard, a log
// line, a socket or a file written; --settings returns 1 when a value is not
// read as written (Settings::hasNotes), otherwise 0; --status returns 0, 1
// or 3 (status_report.h). Without one, admits one running copy, returning 1
// when another copy holds the guard (nothing logged, nothing touched); then
// removes the last copy's status file, logs "Server Start", builds the
// processor, initialises it, logs one level-3 line naming the arguments
// when there are any (they are ignored), and serves forever.
int serverMain(Platform& platform, const std::vector<std::string>& arguments);

}  // namespace qrx
