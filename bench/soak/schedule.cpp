#include "soak/schedule.h"

namespace qrx::soak {

std::vector<PlannedFault> faultsOfPhase(int phase) {
    const std::string first = phase == 0 ? "result_jw" : "result";
    const std::string second = phase == 0 ? "result" : "result_jw";
    return {{"prompt-box", "", 0.10, 0.19},
            {"connections", "", 0.19, 0.28},
            {"full-disk", first, 0.36, 0.45},
            {"unwritable", second, 0.54, 0.63},
            {"log-viewer", "", 0.72, 0.81}};
}

bool inAnyFault(const std::vector<FaultWindow>& windows, double at) {
    for (const FaultWindow& window : windows)
        if (window.contains(at)) return true;
    return false;
}

}  // namespace qrx::soak
