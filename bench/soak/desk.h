// The soak's desk: the card-scanning application taking records in scan
// mode 2 or 1, and the check of every record it took against its card. On
// the POSIX build the desk is a thread here on the project's own desk side;
// under Wine it is qrx-windesk.exe, started and stopped through the soak's
// actions, and a thread here checks what it moved into the taken folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "desk/desk_side.h"
#include "soak/ledger.h"

namespace qrx::soak {

// The soak's actions on the machine, where what differs between the builds
// stays: a script run as ACTIONS NAME ARGS...
struct ActionResult {
    int status = -1;     // the script's exit status; -1 when it could not run
    std::string output;  // its standard output
};
ActionResult runAction(const std::string& actions, const std::vector<std::string>& args);

class Desk {
  public:
    virtual ~Desk() = default;
    virtual void start(int scanMode) = 0;
    virtual std::string stop() = 0;  // ends the desk; returns a line of what it saw
    // Waits until the desk stands between two records with the server told
    // nothing is wanted, so that nothing is written into the result folders
    // until resume(); false when that did not come within the time.
    virtual bool pause(double seconds) = 0;
    virtual void resume() = 0;
};

// The desk in a thread of this process, on the POSIX stand-in, taking
// records into outFolder.
std::unique_ptr<Desk> posixDesk(const std::string& prefix, desk::DeskPaths paths,
                                const std::string& outFolder, Ledger& ledger);
// qrx-windesk.exe, started and stopped through the actions, paused and
// stopped through files in its control folder (a host path).
std::unique_ptr<Desk> wineDesk(const std::string& actions, const std::string& control,
                               const std::string& outFolder, Ledger& ledger);

}  // namespace qrx::soak
