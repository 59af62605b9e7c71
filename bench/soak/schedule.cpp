#include "soak/schedule.h"

namespace qrx::soak {

std::vector<PlannedFault> faultsOfPhase(int phase) {
    const std::string first = phase == 0 ? "result_jw" : "result";
    const std::string second = phase == 0 ? "result" : "result_jw";
    std::vector<PlannedFault> faults;
    for (const auto& [from, length] :
         {std::pair{kFirstCycle, kFirstLength}, std::pair{kSecondCycle, kSecondLength}}) {
        auto add = [&, from = from, length = length](const char* name, const std::string& folder,
                                                     int slot) {
            faults.push_back({name, folder, from + slot * length, from + (slot + 1) * length});
        };
        add("prompt-box", "", 0);
        add("full-disk", first, 1);
        add("connections", "", 1);
        add("unwritable", second, 2);
        add("log-viewer", "", 2);
    }
    return faults;
}

bool inAnyFault(const std::vector<FaultWindow>& windows, double at) {
    for (const FaultWindow& window : windows)
        if (window.contains(at)) return true;
    return false;
}

}  // namespace qrx::soak
