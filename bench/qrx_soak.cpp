// qrx-soak: a desk's month in about three quarters of an hour, against a
// server in scan mode 2 started through the soak's actions (scripts/soak.sh
// gives them). Two clients submit the cards while the desk takes every
// record and checks it against its card, five faults come and go twice, and
// every few seconds the server's memory, handles and queue are sampled.
// Once the cards are all taken the run goes on for 30 s, the server at
// rest. Writes samples.csv, faults.csv and summary.txt into --out and exits
// 0 when the run passed, 1 when it failed.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/tool_main.h"
#include "soak/desk.h"
#include "soak/report.h"

namespace {

using namespace qrx;
using namespace qrx::soak;
namespace fs = std::filesystem;

const char kUsage[] =
    "usage: qrx-soak --build posix|i686 --actions SCRIPT --prefix DIR --out DIR\n"
    "                --reply tcp://127.0.0.1:P --router tcp://127.0.0.1:P\n"
    "                [--cards N] [--minutes M] [--stats-file FILE]\n"
    "\n"
    "  --prefix      the machine folder (the POSIX stand-in's prefix, or the Wine prefix)\n"
    "  --cards       cards in all (default 10000)\n"
    "  --minutes     the time for cards (default: 4 cards a second)\n"
    "  --stats-file  under Wine: where qrx-procstat.exe writes the server's handles\n";

// Below what the desk takes (a record a turn of 200 ms), so that the queue
// a cycle of faults leaves drains before the next.
constexpr double kCardsPerSecond = 4.0;
// The server's first cards and allocations, before its level at start.
constexpr double kWarmUp = 0.05;
// The faults, in fractions of the time for cards: a cycle of three slots,
// from 0.15 and again from 0.55. The prompt box (in scan mode 2 it holds
// back every card); a full disk under one result folder beside hostile
// connections; the other folder unwritable beside a log viewer. The second
// cycle swaps the folders.
constexpr double kCycles[2] = {0.15, 0.55}, kSlot = 0.08;
constexpr double kSettleSeconds = 30, kSampleSeconds = 5;
// The queue must move within this, once the cards are all sent.
constexpr double kDrainStallSeconds = 180;

struct PlannedFault {
    const char* name;
    std::string folder;  // result or result_jw, for the two that take one
    double from, to;
};

std::vector<PlannedFault> plannedFaults() {
    std::vector<PlannedFault> faults;
    for (int cycle = 0; cycle < 2; ++cycle) {
        const double from = kCycles[cycle];
        const std::string first = cycle == 0 ? "result_jw" : "result";
        const std::string second = cycle == 0 ? "result" : "result_jw";
        faults.push_back({"prompt-box", "", from, from + kSlot});
        faults.push_back({"full-disk", first, from + kSlot, from + 2 * kSlot});
        faults.push_back({"connections", "", from + kSlot, from + 2 * kSlot});
        faults.push_back({"unwritable", second, from + 2 * kSlot, from + 3 * kSlot});
        faults.push_back({"log-viewer", "", from + 2 * kSlot, from + 3 * kSlot});
    }
    return faults;
}

// The soak's actions on the machine, where what differs between the builds
// stays: ACTIONS NAME ARGS...; the status is -1 when the script could not run.
struct ActionResult {
    int status = -1;
    std::string output;
};

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

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

// What the server holds: its resident memory from /proc, also under Wine,
// where the server is a Linux process too; on POSIX its handles are the
// entries of /proc/PID/fd, under Wine the Windows handles qrx-procstat.exe
// writes into statsFile.
Sample sampleProcess(pid_t pid, const std::string& statsFile) {
    Sample sample;
    sample.residentKb = bench::statusKb(pid, "VmRSS");
    sample.alive = pid > 0 && sample.residentKb > 0;
    if (!sample.alive) return sample;
    if (!statsFile.empty()) {
        long handles = -1;  // stays uncounted when the file is not there yet
        if (std::ifstream(statsFile) >> handles) sample.handles = handles;
        return sample;
    }
    sample.handles = 0;
    std::error_code error;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error))
        ++sample.handles;
    return sample;
}

// The command file and the result folders soak.sh makes in scan.
desk::DeskPaths deskPaths(const std::string& scan) {
    return {scan + "/scancmd.scc", {scan + "/result", scan + "/result_jw"}};
}

struct Options {
    std::string build, actions, prefix, out, reply, router, statsFile;
    int cards = 10000;
    double minutes = 0;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    const std::vector<std::string> words = readOptions(argc, argv,
                                                       {{"--build", into(o.build)},
                                                        {"--actions", into(o.actions)},
                                                        {"--prefix", into(o.prefix)},
                                                        {"--out", into(o.out)},
                                                        {"--reply", into(o.reply)},
                                                        {"--router", into(o.router)},
                                                        {"--stats-file", into(o.statsFile)},
                                                        {"--cards", into(o.cards)},
                                                        {"--minutes", into(o.minutes)}});
    if (!words.empty()) throw UsageError{"unknown argument " + words.front()};
    if (o.build != "posix" && o.build != "i686") throw UsageError{"--build is posix or i686"};
    for (const auto& [given, name] : {std::pair{o.actions, "--actions"},
                                      {o.prefix, "--prefix"},
                                      {o.out, "--out"},
                                      {o.reply, "--reply"},
                                      {o.router, "--router"}})
        if (given.empty()) throw UsageError{std::string(name) + " is needed"};
    if (o.cards < 8) throw UsageError{"--cards must be at least 8"};
    return o;
}

class Soak {
  public:
    explicit Soak(const Options& options)
        : options_(options),
          origin_(soak::Clock::now()),
          clients_({options.reply, options.router}, "127.0.0.2", origin_, ledger_),
          desk_(options.prefix, deskPaths(options.prefix + "/drive_c/scan"),
                options.prefix + "/drive_c/soak/taken", ledger_) {
        run_.build = options.build;
        run_.cardsPlanned = options.cards;
        seconds_ = std::max(
            30.0, options.minutes > 0 ? options.minutes * 60 : options.cards / kCardsPerSecond);
    }

    int run() {
        std::printf("qrx-soak: %d cards in %.0f s\n", options_.cards, seconds_);
        if (startServer()) drive();
        runAction(options_.actions, {"stop-server"});
        runAction(options_.actions, {"faults-end"});
        return report();
    }

  private:
    double now() const {
        return std::chrono::duration<double>(soak::Clock::now() - origin_).count();
    }

    bool startServer() {
        const ActionResult started = runAction(options_.actions, {"start-server"});
        const std::string output =
            started.output.substr(0, started.output.find_last_not_of('\n') + 1);
        pid_ = started.status == 0 ? std::atoi(&output[output.find_last_of('\n') + 1]) : 0;
        run_.start = now();
        run_.warmedUp = run_.start + kWarmUp * seconds_;
        run_.firstFault = run_.start + kCycles[0] * seconds_;
        std::printf("server %d started at %.0f s\n", pid_, run_.start);
        if (pid_ <= 0) run_.serverEnded = "the server did not start: " + started.output;
        return pid_ > 0;
    }

    // The cards, the faults and the samples, until the queue has drained and
    // the server rested, the queue stood, or the server ended.
    void drive() {
        desk_.start();
        clients_.start(options_.cards, seconds_);
        const std::vector<PlannedFault> planned = plannedFaults();
        size_t begun = 0;
        std::vector<std::pair<size_t, double>> active;  // a window, and when it ends
        double lastProgress = now(), nextSample = now();
        int lastArrived = -1;
        for (;; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
            const double t = (now() - run_.start) / seconds_;
            // Those that end first: a folder fault begins as the prompt box,
            // which holds back every record, closes.
            for (auto it = active.begin(); it != active.end();)
                if (t >= it->second) {
                    endFault(run_.faults[it->first]);
                    it = active.erase(it);
                } else {
                    ++it;
                }
            if (begun < planned.size() && t >= planned[begun].from) {
                active.emplace_back(beginFault(planned[begun]), planned[begun].to);
                ++begun;
            }
            if (now() >= nextSample) {
                nextSample += kSampleSeconds;
                if (!takeSample()) break;
            }
            if (!desk_.error().empty()) break;
            const LedgerCounts counts = ledger_.counts();
            const int queued = counts.queued();
            if (counts.arrived != lastArrived) {
                lastArrived = counts.arrived;
                lastProgress = now();
            }
            if (clients_.running() || !active.empty() || begun < planned.size()) continue;
            if (queued > 0 && now() - lastProgress > kDrainStallSeconds) {
                run_.stall = ": " + std::to_string(queued) +
                             " cards still queued, none arrived for " +
                             std::to_string(static_cast<int>(now() - lastProgress)) + " s";
                std::printf("  %s\n", run_.stall.c_str() + 2);
                break;
            }
            if (queued <= 0 && run_.drained < 0) run_.drained = now();
            if (run_.drained >= 0 && now() - run_.drained >= kSettleSeconds) break;
        }
        const std::string deskError = desk_.error();
        if (!run_.serverEnded.empty() || !deskError.empty()) clients_.stop();
        clients_.join();
        for (const auto& [window, to] : active) endFault(run_.faults[window]);
        desk_.stop();
        if (!deskError.empty()) run_.stepsFailed.push_back("the desk stopped: " + deskError);
        run_.end = now();
        std::printf("ended at %.0f s\n", run_.end);
    }

    // Returns the window's place in the run's list.
    size_t beginFault(const PlannedFault& fault) {
        FaultWindow window{fault.name, fault.folder};
        const int seconds = static_cast<int>((fault.to - fault.from) * seconds_);
        // A result folder is changed only while the desk holds back its "0"
        // after a record: none is being written into it or taken out of it.
        // A record comes within a few cards' time, or the fault fails.
        const bool folder = !fault.folder.empty();
        const double pauseSeconds = std::max(60.0, 5 * seconds_ / options_.cards);
        std::string failed;
        if (folder && !desk_.pause(pauseSeconds))
            failed = ": the desk did not come to a pause within " +
                     std::to_string(static_cast<int>(pauseSeconds)) + " s";
        window.begin = now();
        if (failed.empty()) {
            const ActionResult result =
                runAction(options_.actions, {"fault-begin", fault.name, folder ? fault.folder : "-",
                                             std::to_string(seconds), std::to_string(pid_)});
            if (result.status != 0) failed = ": the action failed: " + result.output;
        }
        desk_.resume();
        std::printf("  %.0f s: %s %s begins%s\n", window.begin, fault.name, fault.folder.c_str(),
                    failed.c_str());
        if (!failed.empty()) run_.stepsFailed.push_back(fault.name + failed);
        run_.faults.push_back(window);
        return run_.faults.size() - 1;
    }

    void endFault(FaultWindow& window) {
        const ActionResult result =
            runAction(options_.actions,
                      {"fault-end", window.name, window.folder.empty() ? "-" : window.folder});
        window.end = now();
        std::printf("  %.0f s: %s ends\n", window.end, window.name.c_str());
        if (result.status != 0)
            run_.stepsFailed.push_back(window.name + ": the end's action failed: " + result.output);
    }

    // False when the server has ended.
    bool takeSample() {
        Sample sample = sampleProcess(pid_, options_.statsFile);
        sample.at = now();
        for (const FaultWindow& window : run_.faults)
            if (window.contains(sample.at))
                sample.faults += (sample.faults.empty() ? "" : "+") + window.name;
        sample.queue = ledger_.counts().queued();
        run_.samples.push_back(sample);
        if (!sample.alive)
            run_.serverEnded = "the server (PID " + std::to_string(pid_) + ") ended at " +
                               std::to_string(static_cast<int>(sample.at)) + " s";
        return sample.alive;
    }

    int report() {
        if (run_.end == 0) run_.end = now();
        run_.latencies = clients_.latencies();
        run_.counts = ledger_.counts();
        run_.problems = ledger_.problems();
        run_.missing = ledger_.missing();
        for (int kind = 0; kind < BadInputs::kKinds; ++kind) {
            run_.badSent[kind] = clients_.badInputs().sent[kind];
            run_.badAsExpected[kind] = clients_.badInputs().asExpected[kind];
        }
        const fs::path out(options_.out);
        fs::create_directories(out);
        std::ofstream(out / "samples.csv") << samplesCsv(run_.samples);
        std::ofstream(out / "faults.csv") << faultsCsv(run_.faults);
        std::vector<std::string> failures;
        const std::string text = summary(run_, &failures);
        std::ofstream(out / "summary.txt") << text;
        std::printf("\n%s", text.c_str());
        return failures.empty() ? 0 : 1;
    }

    Options options_;
    soak::Clock::time_point origin_;
    Ledger ledger_;
    Clients clients_;
    Desk desk_;
    Run run_;
    double seconds_ = 0;
    pid_t pid_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    return qrx::toolMain("qrx-soak", kUsage, [&] {
        Soak soak(parseOptions(argc, argv));
        return soak.run();
    });
}
