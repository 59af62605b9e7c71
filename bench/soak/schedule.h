// The soak's plan: two phases (scan mode 2, then scan mode 1 after a
// restart), each with the same five faults at fixed places in its time.
#pragma once

#include <string>
#include <vector>

namespace qrx::soak {

struct PlannedFault {
    std::string name;    // prompt-box, full-disk, unwritable, log-viewer, connections
    std::string folder;  // result or result_jw, for the two that take a result folder
    double from, to;     // fractions of the phase's time for cards
};

// The faults of phase 0 or 1. The two that raise the server's memory the
// most come first after the first tenth: the prompt box, which holds back
// every card (the largest queue), and the hostile connections (libzmq's
// buffers), one after the other from the first tenth on. The allocator
// keeps what they took for later, so both halves' samples outside the
// faults come after them and compare like with like: growth past that is
// a leak. Each fault lasts nine hundredths of the phase. The
// two folder faults take a folder each, swapped in the second phase.
std::vector<PlannedFault> faultsOfPhase(int phase);

// A fault as it happened, in seconds since the soak began.
struct FaultWindow {
    std::string name, folder;
    int phase = 0;
    double begin = 0, end = -1;  // end < 0: still on
    bool contains(double at) const { return at >= begin && (end < 0 || at < end); }
};

bool inAnyFault(const std::vector<FaultWindow>& windows, double at);

}  // namespace qrx::soak
