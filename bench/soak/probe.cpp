#include "soak/probe.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench_support.h"

namespace qrx::soak {
namespace fs = std::filesystem;
namespace {

// The sum of the fields of /proc/PID/smaps_rollup whose names begin with
// prefix, in KB.
long smapsKb(pid_t pid, const std::string& prefix) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    long total = 0;
    while (std::getline(rollup, line))
        if (line.rfind(prefix, 0) == 0) total += std::atol(line.c_str() + line.find(':') + 1);
    return total;
}

long openFiles(pid_t pid) {
    std::error_code error;
    long count = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error))
        ++count;
    return count;
}

// The helper's line: it replaces the whole file by a rename, so a read
// sees the old line or the new one, never half of one.
std::string firstLine(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

ProcessSample Probe::sample(pid_t pid) const {
    ProcessSample sample;
    sample.residentKb = bench::statusKb(pid, "VmRSS");
    sample.alive = pid > 0 && sample.residentKb > 0;
    if (!sample.alive) return sample;
    sample.threads = bench::statusKb(pid, "Threads");
    if (statsFile_.empty()) {
        sample.privateKb = smapsKb(pid, "Private_");
        sample.handles = openFiles(pid);
        return sample;
    }
    // "<windows pid> <handles> <private bytes> <working set bytes>"
    std::istringstream fields(firstLine(statsFile_));
    long windowsPid = 0, privateBytes = 0;
    fields >> windowsPid >> sample.handles >> privateBytes;
    sample.privateKb = privateBytes / 1024;
    // Wine gives no private bytes of another process: the Linux process's
    // own count then, Wine's part included.
    if (sample.privateKb == 0) sample.privateKb = smapsKb(pid, "Private_");
    return sample;
}

}  // namespace qrx::soak
