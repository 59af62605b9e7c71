// The soak's plan: two phases (scan mode 2, then scan mode 1 after a
// restart), each with the same five faults at fixed places in its time,
// each lasting a tenth of the phase.
#pragma once

#include <string>
#include <vector>

namespace qrx::soak {

struct PlannedFault {
    std::string name;    // prompt-box, full-disk, unwritable, log-viewer, connections
    std::string folder;  // result or result_jw, for the two that take a result folder
    double from, to;     // fractions of the phase's time for cards
};

// The faults of phase 0 or 1. The prompt box, which holds back every card,
// comes first after the first tenth, so that the largest queue is met early
// and the halves after it compare like with like; the two folder faults
// take a folder each, swapped in the second phase.
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
