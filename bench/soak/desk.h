// The soak's desk: the card-scanning application taking records in scan
// mode 2, a thread of this process on the project's own desk side, and the
// check of every record it took against its card. It serves both builds:
// under Wine the command file and the result folders are files of the Wine
// prefix. In scan mode 2 the desk writes the command file only when it
// holds "2" and the server only when it holds "0", so the two never write
// it at once and no lock has to be shared across Wine.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "desk/desk_side.h"
#include "soak/ledger.h"

namespace qrx::soak {

class Desk {
  public:
    // Takes the records of the result folders in paths into outFolder;
    // prefix maps the records' C:\ paths to host paths.
    Desk(const std::string& prefix, desk::DeskPaths paths, std::string outFolder, Ledger& ledger)
        : platform_(prefix),
          paths_(std::move(paths)),
          file_(paths_.commandFile),
          outFolder_(std::move(outFolder)),
          ledger_(ledger) {}
    ~Desk() { stop(); }

    void start();
    void stop();
    // Waits until the desk has taken a record and holds back its "0", so
    // that the server writes nothing into the result folders until
    // resume(); false when no record came within the time.
    bool pause(double seconds);
    void resume();
    // Why the desk stopped on its own (a record it could not take); empty
    // while it runs as it should.
    std::string error() const;

  private:
    void run();
    void takeAndHold();

    PosixPlatform platform_;
    desk::DeskPaths paths_;
    desk::CommandFile file_;
    std::string outFolder_;
    Ledger& ledger_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, pauseAsked_{false}, paused_{false};
    mutable std::mutex mutex_;
    std::string error_;
};

}  // namespace qrx::soak
