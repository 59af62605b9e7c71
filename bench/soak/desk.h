// The soak's desk: the card-scanning application taking records in scan
// mode 2 or 1, within tens of milliseconds, and the check of every record
// it took against the card it names. On the POSIX build the desk is a
// thread here on the project's own desk side; under Wine it is
// qrx-windesk.exe, started and stopped through the soak's actions, which
// moves the records into a folder that the check reads from here.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "desk/desk_side.h"
#include "soak/ledger.h"

namespace qrx::soak {

// The soak's actions on the machine (start and stop the server and the
// Windows desk, put each fault in and take it out): a script run as
// ACTIONS NAME ARGS..., where what differs between the builds stays.
struct ActionResult {
    int status = -1;     // the script's exit status; -1 when it could not run
    std::string output;  // what it printed on standard output
};
ActionResult runAction(const std::string& actions, const std::vector<std::string>& args);

// Checks every record a desk took into outFolder/ScanResult and
// outFolder/ScanResult_jw (NAME.xml beside NAME.jpg and NAME_head.jpg)
// against its card, enters it into the ledger and removes its files;
// returns how many.
int checkTaken(const std::string& outFolder, Ledger& ledger);

class Desk {
  public:
    virtual ~Desk() = default;
    virtual void start(int scanMode) = 0;
    // Ends the desk; returns a line of what it saw.
    virtual std::string stop() = 0;
    // Waits until the desk stands between two records with the server told
    // nothing is wanted, so that nothing is written into the result folders
    // until resume(); false when that did not come within the time.
    virtual bool pause(double seconds) = 0;
    virtual void resume() = 0;
};

// The desk in a thread of this process, on the POSIX stand-in.
class PosixDesk : public Desk {
  public:
    PosixDesk(const std::string& prefix, desk::DeskPaths paths, std::string outFolder,
              Ledger& ledger)
        : platform_(prefix),
          paths_(std::move(paths)),
          file_(paths_.commandFile),
          outFolder_(std::move(outFolder)),
          ledger_(ledger) {}
    ~PosixDesk() override { stop(); }
    void start(int scanMode) override;
    std::string stop() override;
    bool pause(double seconds) override;
    void resume() override;

  private:
    void scanMode2();
    void scanMode1();
    // Polls the command file until it holds something other than unwanted,
    // the desk is stopped or (when pausable) asked to pause, or until
    // passes; returns what it holds.
    std::string waitWhile(const std::string& unwanted, bool pausable,
                          std::chrono::steady_clock::time_point until);
    void take();
    // While a pause is asked for: says it stands still, and waits.
    void holdStill();

    PosixPlatform platform_;
    desk::DeskPaths paths_;
    desk::CommandFile file_;
    std::string outFolder_;
    Ledger& ledger_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, pauseAsked_{false}, paused_{false};
    int taken_ = 0, emptyAnswers_ = 0, stalls_ = 0;
};

// qrx-windesk.exe, through the soak's actions; paused and stopped through
// files in its control folder (a host path).
class WineDesk : public Desk {
  public:
    WineDesk(std::string actions, std::string control, std::string outFolder, Ledger& ledger)
        : actions_(std::move(actions)),
          control_(std::move(control)),
          outFolder_(std::move(outFolder)),
          ledger_(ledger) {}
    ~WineDesk() override { stop(); }
    void start(int scanMode) override;
    std::string stop() override;
    bool pause(double seconds) override;
    void resume() override;

  private:
    std::string actions_, control_, outFolder_;
    Ledger& ledger_;
    std::thread checker_;
    std::atomic<bool> running_{false};
};

}  // namespace qrx::soak
