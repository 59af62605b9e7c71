// The soak's plan: two phases (scan mode 2, then scan mode 1 after a
// restart), each with the same cycle of five faults, twice, at fixed
// places in its time.
#pragma once

#include <string>
#include <vector>

namespace qrx::soak {

struct PlannedFault {
    std::string name;    // prompt-box, full-disk, unwritable, log-viewer, connections
    std::string folder;  // result or result_jw, for the two that take a result folder
    double from, to;     // fractions of the phase's time for cards
};

// The faults of phase 0 or 1, in order of their beginning: the same cycle
// twice, from the first tenth and from six tenths, which is where the
// second half that growth compares begins. A cycle has three slots: the
// prompt box (in scan mode 2 it holds back every card); a full disk under
// one result folder beside a burst of hostile connections; the other
// folder unwritable beside a log viewer. The cards that queue are then
// taken before the next cycle. Memory is compared between the halves at
// rest, and an allocator keeps part of what a queue took for the next
// one (Wine's heap much of it), so the first cycle's slots are longer:
// its queues are the largest past the first tenth, and what the heap
// keeps of them is the same after both cycles. Growth past that is a
// leak. A slot lasts seven hundredths of the phase in the first cycle,
// five and a half in the second; the two folder faults take a folder
// each, swapped in the second phase.
constexpr double kFirstCycle = 0.10, kFirstLength = 0.07;
constexpr double kSecondCycle = 0.60, kSecondLength = 0.055;
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
