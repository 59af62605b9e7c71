// The process entry's logic, shared by main (POSIX) and WinMain (Windows).
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace qrx {

// The name of the single-instance guard.
constexpr const char kInstanceName[] = "QRXScanServerMutex";
// The one command-line option: print the settings and exit.
constexpr const char kSettingsOption[] = "--settings";

// arguments: the command line's, without the program's name. With
// kSettingsOption among them: prints CProcessor::settingsReport on standard
// output and returns, without the guard, a log line, a socket or a file
// written: 1 when a value is not read as written (CProcessor::settingNotes),
// otherwise 0. Otherwise admits one running copy, returning 1 at once when
// another copy holds the guard (nothing logged, nothing touched); then logs
// "Server Start", builds the processor, initialises it, logs one level-3
// line naming the arguments when there are any (they are ignored), and
// serves forever.
int serverMain(Platform& platform, const std::vector<std::string>& arguments);

}  // namespace qrx
