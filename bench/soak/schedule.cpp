#include "soak/schedule.h"

namespace qrx::soak {

std::vector<PlannedFault> faultsOfPhase(int phase) {
    const std::string first = phase == 0 ? "result_jw" : "result";
    const std::string second = phase == 0 ? "result" : "result_jw";
    std::vector<PlannedFault> faults;
    for (double cycle : {kFirstCycle, kSecondCycle}) {
        auto add = [&](const char* name, const std::string& folder, double slot) {
            faults.push_back({name, folder, cycle + slot * kFaultLength,
                              cycle + (slot + 1) * kFaultLength});
        };
        add("prompt-box", "", 0);
        add("full-disk", first, 1);
        add("unwritable", second, 2);
        add("connections", "", 3);
        add("log-viewer", "", 4);
    }
    return faults;
}

bool inAnyFault(const std::vector<FaultWindow>& windows, double at) {
    for (const FaultWindow& window : windows)
        if (window.contains(at)) return true;
    return false;
}

}  // namespace qrx::soak
