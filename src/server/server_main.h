// The process entry's logic, shared by main (POSIX) and WinMain (Windows).
#pragma once

#include <string>

#include "platform/platform.h"

namespace qrx {

// The name of the single-instance guard.
constexpr const char kInstanceName[] = "QRXScanServerMutex";
// The one command-line option: print the settings and exit.
constexpr const char kSettingsOption[] = "--settings";
constexpr int kExitBadOption = 3;

// With no options: admits one running copy, returning 1 at once when another
// copy holds the guard (nothing logged, nothing touched); otherwise logs
// "Server Start", builds the processor, initialises it and serves forever.
// With options kSettingsOption: prints CProcessor::settingsReport on standard
// output and returns 0, without the guard, a log line, a socket or a file
// written. Any other options: one line on standard error, kExitBadOption.
int serverMain(Platform& platform, const std::string& options);

}  // namespace qrx
