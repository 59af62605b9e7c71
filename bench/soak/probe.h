// What the server process holds, read every few seconds: resident and
// private memory, open handles and threads. On POSIX from /proc (private:
// smaps_rollup's Private_Clean and Private_Dirty; handles: the entries of
// /proc/PID/fd). Under Wine the server is a Linux process too, so resident
// memory and threads come from its /proc entry, but its handles are Windows
// handles: qrx-procstat.exe writes GetProcessHandleCount and the private
// bytes of GetProcessMemoryInfo into a file, replacing it whole each time.
// Where Wine answers those with nothing, the helper counts the server's
// entries in the system's handle list instead, and private memory is the
// Linux process's own from /proc, Wine's part of it included.
#pragma once

#include <sys/types.h>

#include <string>

namespace qrx::soak {

struct ProcessSample {
    bool alive = false;
    long residentKb = 0, privateKb = 0, handles = 0, threads = 0;
};

class Probe {
  public:
    // statsFile: the Windows helper's output; empty on POSIX.
    explicit Probe(std::string statsFile) : statsFile_(std::move(statsFile)) {}
    ProcessSample sample(pid_t pid) const;

  private:
    std::string statsFile_;
};

}  // namespace qrx::soak
