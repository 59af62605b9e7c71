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

// The faults of phase 0 or 1: the same cycle of five twice, from the
// first tenth and from the middle of what is left, so that each half of
// the server's life past its first tenth sees the same faults in the
// same order. Memory is compared between the halves at rest, and the
// allocator keeps what a queue or a burst of connections took for the
// next one (Wine's heap more than glibc's), so only the same history on
// both sides makes the halves comparable: growth past that is a leak.
// In a cycle the three faults that queue cards come first (the prompt
// box holds back every card in scan mode 2, each folder fault one kind),
// so the queue has drained by the cycle's end. Each fault lasts seven
// hundredths of the phase; the two folder faults take a folder each,
// swapped in the second phase.
constexpr double kFirstCycle = 0.10, kSecondCycle = 0.55, kFaultLength = 0.07;
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
