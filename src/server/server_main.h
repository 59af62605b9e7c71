// The process entry's logic, shared by main (POSIX) and WinMain (Windows).
#pragma once

#include "platform/platform.h"

namespace qrx {

// The name of the single-instance guard.
constexpr const char kInstanceName[] = "QRXScanServerMutex";

// Admits one running copy: returns 1 at once when another copy holds the
// guard (nothing logged, nothing touched). Otherwise logs "Server Start",
// builds the processor, initialises it and serves forever.
int serverMain(Platform& platform);

}  // namespace qrx
