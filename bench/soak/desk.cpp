#include "soak/desk.h"

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace qrx::soak {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPoll = std::chrono::milliseconds(5);
// Scan mode 1 answers a command within 30 s; past this the desk asks again.
constexpr auto kStall = std::chrono::seconds(45);

// Polls until done() holds or the seconds have passed; the last answer.
bool waitUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(kPoll);
    return done();
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

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

    void start(int scanMode) override {
        stop();
        stop_ = false;
        stalls_ = 0;
        thread_ = std::thread(scanMode == 1 ? &PosixDesk::scanMode1 : &PosixDesk::scanMode2, this);
    }

    std::string stop() override {
        if (!thread_.joinable()) return std::string();
        stop_ = true;
        thread_.join();
        return "desk: " + std::to_string(stalls_) + " commands asked again after 45 s";
    }

    bool pause(double seconds) override {
        pauseAsked_ = true;
        return waitUntil([this] { return paused_.load(); }, seconds);
    }

    void resume() override {
        pauseAsked_ = false;
        while (paused_) std::this_thread::sleep_for(kPoll);
    }

  private:
    // Ready ("0"), then each announced record taken, and ready again.
    void scanMode2() {
        file_.write("0");
        while (!stop_) {
            const std::string content = waitWhile("0", true, Clock::time_point::max());
            if (!content.empty() && content[0] == '2') {
                take();
                holdStill();
                file_.write("0");
            } else if (pauseAsked_ && file_.replaceIf("0", "P")) {
                // Not ready any more: the server writes nothing until "0" again.
                holdStill();
                file_.write("0");
            } else if (!pauseAsked_ && content != "0") {
                file_.write("0");
            }
        }
    }

    // C and F asked in turn; each answered "1", then "2" with a record or "5".
    void scanMode1() {
        for (int fives = 0, turn = 0; !stop_; ++turn) {
            holdStill();
            const std::string asked(1, "CF"[turn % 2]);
            file_.write(asked);
            const Clock::time_point until = Clock::now() + kStall;
            std::string content = asked;
            while (!stop_ && (content == asked || content == "1") && Clock::now() < until)
                content = waitWhile(content, false, until);
            if (stop_) break;
            if (!content.empty() && content[0] == '2') {
                take();
                fives = 0;
            } else if (content == "5") {
                // Two "5"s in a row: nothing of either kind is queued just now.
                if (++fives >= 2) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            } else {
                ++stalls_;
            }
        }
    }

    // Polls the command file until it holds something other than unwanted,
    // the desk is stopped or (when pausable) asked to pause, or until passes.
    std::string waitWhile(const std::string& unwanted, bool pausable, Clock::time_point until) {
        std::string content = file_.read();
        while (content == unwanted && !stop_ && !(pausable && pauseAsked_) &&
               Clock::now() < until) {
            std::this_thread::sleep_for(kPoll);
            content = file_.read();
        }
        return content;
    }

    void take() {
        desk::takeRecords(platform_, paths_, outFolder_);
        checkTaken(outFolder_, ledger_);
    }

    // While a pause is asked for: says it stands still, and waits.
    void holdStill() {
        if (!pauseAsked_) return;
        paused_ = true;
        while (pauseAsked_ && !stop_) std::this_thread::sleep_for(kPoll);
        paused_ = false;
    }

    PosixPlatform platform_;
    desk::DeskPaths paths_;
    desk::CommandFile file_;
    std::string outFolder_;
    Ledger& ledger_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, pauseAsked_{false}, paused_{false};
    int stalls_ = 0;
};

class WineDesk : public Desk {
  public:
    WineDesk(std::string actions, const std::string& control, std::string outFolder, Ledger& ledger)
        : actions_(std::move(actions)),
          control_(control),
          outFolder_(std::move(outFolder)),
          ledger_(ledger) {}
    ~WineDesk() override { stop(); }

    void start(int scanMode) override {
        stop();
        std::error_code error;
        for (const char* name : {"stop", "pause", "paused"}) fs::remove(control_ / name, error);
        runAction(actions_, {"desk-start", std::to_string(scanMode)});
        running_ = true;
        checker_ = std::thread([this] {
            while (running_)
                if (checkTaken(outFolder_, ledger_) == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
            checkTaken(outFolder_, ledger_);
        });
    }

    std::string stop() override {
        if (!checker_.joinable()) return std::string();
        std::ofstream(control_ / "stop") << "stop\n";
        const ActionResult result = runAction(actions_, {"desk-stop"});
        running_ = false;
        checker_.join();
        return result.output;
    }

    bool pause(double seconds) override {
        std::ofstream(control_ / "pause") << "pause\n";
        return waitUntil([this] { return fs::exists(control_ / "paused"); }, seconds);
    }

    void resume() override {
        std::error_code error;
        fs::remove(control_ / "pause", error);
        waitUntil([this] { return !fs::exists(control_ / "paused"); }, 10);
    }

  private:
    std::string actions_;
    fs::path control_;
    std::string outFolder_;
    Ledger& ledger_;
    std::thread checker_;
    std::atomic<bool> running_{false};
};

}  // namespace

ActionResult runAction(const std::string& actions, const std::vector<std::string>& args) {
    std::string command = quoted(actions);
    for (const std::string& arg : args) command += " " + quoted(arg);
    ActionResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::unique_ptr<Desk> posixDesk(const std::string& prefix, desk::DeskPaths paths,
                                const std::string& outFolder, Ledger& ledger) {
    return std::make_unique<PosixDesk>(prefix, std::move(paths), outFolder, ledger);
}

std::unique_ptr<Desk> wineDesk(const std::string& actions, const std::string& control,
                               const std::string& outFolder, Ledger& ledger) {
    return std::make_unique<WineDesk>(actions, control, outFolder, ledger);
}

}  // namespace qrx::soak
