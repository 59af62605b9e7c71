// The soak's actions on the machine (start and stop the server and the
// Windows desk, put each fault in and take it out) are a script per build,
// run as ACTIONS NAME ARGS...: what differs between the builds stays there.
#pragma once

#include <string>
#include <vector>

namespace qrx::soak {

struct ActionResult {
    int status = -1;     // the script's exit status; -1 when it could not run
    std::string output;  // what it printed on standard output
};

ActionResult runAction(const std::string& actions, const std::vector<std::string>& args);

}  // namespace qrx::soak
