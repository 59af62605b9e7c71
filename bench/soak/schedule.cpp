#include "soak/schedule.h"

namespace qrx::soak {

std::vector<PlannedFault> faultsOfPhase(int phase) {
    const std::string first = phase == 0 ? "result_jw" : "result";
    const std::string second = phase == 0 ? "result" : "result_jw";
    return {{"prompt-box", "", 0.12, 0.22},
            {"full-disk", first, 0.28, 0.38},
            {"unwritable", second, 0.44, 0.54},
            {"log-viewer", "", 0.60, 0.70},
            {"connections", "", 0.76, 0.86}};
}

bool inAnyFault(const std::vector<FaultWindow>& windows, double at) {
    for (const FaultWindow& window : windows)
        if (window.contains(at)) return true;
    return false;
}

}  // namespace qrx::soak
