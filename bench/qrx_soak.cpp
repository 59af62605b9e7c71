// qrx-soak: a desk's month in about an hour, against a server started
// through the soak's actions (scripts/soak.sh gives them). Two phases, scan
// mode 2 and then scan mode 1 with the server restarted between them; in
// each, two clients submit the phase's cards while the desk takes every
// record and checks it against its card, five faults come and go twice,
// and every few seconds the server's memory, handles and queue are sampled.
// Once the cards are all taken the phase goes on for 30 s, the server at
// rest. Writes samples.csv, faults.csv and summary.txt into --out and exits
// 0 when the run passed, 1 when it failed.
#include <signal.h>

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
    "  --cards       cards in all, half in each phase (default 10000)\n"
    "  --minutes     the time for cards (default: 4 a second in scan mode 2, 1.8 in 1)\n"
    "  --stats-file  under Wine: where qrx-procstat.exe writes the server's handles\n";

// Cards a second in each phase: below what the desk takes (a record a turn
// of 200 ms in scan mode 2; in scan mode 1, where each record is asked
// for and answered over two turns, about 2.3 a second), so that the queue
// a cycle of faults leaves drains before the next.
constexpr double kCardsPerSecond[2] = {4.0, 1.8};
// The server's first cards and allocations, before its level at start.
constexpr double kWarmUp = 0.05;
// The faults, in fractions of a phase's time for cards: a cycle of three
// slots, from 0.15 and again from 0.55. The prompt box (in scan mode 2 it
// holds back every card); a full disk under one result folder beside
// hostile connections; the other folder unwritable beside a log viewer.
constexpr double kCycles[2] = {0.15, 0.55}, kSlot = 0.08;
constexpr double kSettleSeconds = 30, kSampleSeconds = 5;
// The queue must move within this, once the cards are all sent.
constexpr double kDrainStallSeconds = 180;

struct PlannedFault {
    const char* name;
    std::string folder;  // result or result_jw, for the two that take one
    double from, to;
};

std::vector<PlannedFault> faultsOfPhase(int phase) {
    // The two folder faults take a folder each, swapped in the second phase.
    const std::string first = phase == 0 ? "result_jw" : "result";
    const std::string second = phase == 0 ? "result" : "result_jw";
    std::vector<PlannedFault> faults;
    for (double from : kCycles) {
        faults.push_back({"prompt-box", "", from, from + kSlot});
        faults.push_back({"full-disk", first, from + kSlot, from + 2 * kSlot});
        faults.push_back({"connections", "", from + kSlot, from + 2 * kSlot});
        faults.push_back({"unwritable", second, from + 2 * kSlot, from + 3 * kSlot});
        faults.push_back({"log-viewer", "", from + 2 * kSlot, from + 3 * kSlot});
    }
    return faults;
}

// What the server holds: resident and private memory (smaps_rollup's
// Private_ fields) from /proc, also under Wine, where the server is a Linux
// process too; on POSIX its handles are the entries of /proc/PID/fd, under
// Wine the Windows handles qrx-procstat.exe writes into statsFile.
Sample sampleProcess(pid_t pid, const std::string& statsFile) {
    Sample sample;
    sample.residentKb = bench::statusKb(pid, "VmRSS");
    sample.alive = pid > 0 && sample.residentKb > 0;
    if (!sample.alive) return sample;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream rollup(proc + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);)
        if (line.rfind("Private_", 0) == 0)
            sample.privateKb += std::atol(&line[line.find(':') + 1]);
    if (!statsFile.empty()) {
        long handles = -1;  // stays uncounted when the file is not there yet
        if (std::ifstream(statsFile) >> handles) sample.handles = handles;
        return sample;
    }
    sample.handles = 0;
    std::error_code error;
    for (fs::directory_iterator it(proc + "/fd", error), end; !error && it != end;
         it.increment(error))
        ++sample.handles;
    return sample;
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
          clients_({options.reply, options.router}, "127.0.0.2", origin_, ledger_) {
        const std::string scan = options.prefix + "/drive_c/scan";
        const std::string taken = options.prefix + "/drive_c/soak/taken";
        desk_ = options.build == "posix"
                    ? posixDesk(options.prefix,
                                {scan + "/scancmd.scc", {scan + "/result", scan + "/result_jw"}},
                                taken, ledger_)
                    : wineDesk(options.actions, options.prefix + "/drive_c/soak", taken, ledger_);
        run_.build = options.build;
        run_.cardsPlanned = options.cards;
        // Each phase's time for cards in proportion to its pace.
        const double paced[2] = {cardsOf(0) / kCardsPerSecond[0], cardsOf(1) / kCardsPerSecond[1]};
        const double planned = options.minutes > 0 ? options.minutes * 60 : paced[0] + paced[1];
        for (int phase = 0; phase < 2; ++phase)
            phaseSeconds_[phase] = std::max(30.0, planned * paced[phase] / (paced[0] + paced[1]));
    }

    int run() {
        std::printf("qrx-soak: %d cards in phases of %.0f s and %.0f s\n", options_.cards,
                    phaseSeconds_[0], phaseSeconds_[1]);
        for (int phase = 0; phase < 2 && run_.serverEnded.empty(); ++phase) runPhase(phase);
        return report();
    }

  private:
    int cardsOf(int phase) const { return (options_.cards + phase) / 2; }
    double now() const {
        return std::chrono::duration<double>(soak::Clock::now() - origin_).count();
    }

    void runPhase(int phase) {
        Phase record;
        record.scanMode = 2 - phase;
        const double length = phaseSeconds_[phase];
        if (!startServer(record)) return;
        record.warmedUp = record.start + kWarmUp * length;
        record.firstFault = record.start + kCycles[0] * length;
        desk_->start(record.scanMode);
        clients_.start("AB"[phase], cardsOf(phase), length);
        const std::vector<PlannedFault> planned = faultsOfPhase(phase);
        size_t begun = 0;
        std::vector<std::pair<size_t, double>> active;  // a window, and when it ends
        double lastProgress = now(), nextSample = now();
        int lastArrived = -1;
        for (;; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
            const double t = now() - record.start;
            if (begun < planned.size() && t >= planned[begun].from * length) {
                active.emplace_back(beginFault(planned[begun], phase), planned[begun].to);
                ++begun;
            }
            for (auto it = active.begin(); it != active.end();) {
                if (t < it->second * length) {
                    ++it;
                    continue;
                }
                endFault(run_.faults[it->first]);
                it = active.erase(it);
            }
            if (now() >= nextSample) {
                nextSample += kSampleSeconds;
                if (!takeSample(phase)) break;
            }
            const LedgerCounts counts = ledger_.counts();
            if (counts.arrived != lastArrived) {
                lastArrived = counts.arrived;
                lastProgress = now();
            }
            if (clients_.running() || !active.empty() || begun < planned.size()) continue;
            if (counts.queued() > 0 && now() - lastProgress > kDrainStallSeconds) {
                record.stall = ": " + std::to_string(counts.queued()) +
                               " cards still queued, none arrived for " +
                               std::to_string(static_cast<int>(now() - lastProgress)) + " s";
                std::printf("  %s\n", record.stall.c_str() + 2);
                break;
            }
            if (counts.queued() <= 0 && record.drained < 0) record.drained = now();
            if (record.drained >= 0 && now() - record.drained >= kSettleSeconds) break;
        }
        if (!run_.serverEnded.empty()) clients_.stop();
        clients_.join();
        for (const auto& [window, to] : active) endFault(run_.faults[window]);
        const std::string desk = desk_->stop();
        record.desk = desk.substr(0, desk.find('\n'));
        record.end = now();
        runAction(options_.actions, {"stop-server"});
        runAction(options_.actions, {"phase-end"});
        run_.phases.push_back(record);
        std::printf("scan mode %d: ended at %.0f s; %s\n", record.scanMode, record.end,
                    record.desk.c_str());
    }

    bool startServer(Phase& record) {
        const ActionResult started =
            runAction(options_.actions, {"start-server", std::to_string(record.scanMode)});
        const std::string output =
            started.output.substr(0, started.output.find_last_not_of('\n') + 1);
        pid_ = started.status == 0 ? std::atoi(&output[output.find_last_of('\n') + 1]) : 0;
        record.start = now();
        std::printf("scan mode %d: server %d started at %.0f s\n", record.scanMode, pid_,
                    record.start);
        if (pid_ <= 0)
            run_.serverEnded = "scan mode " + std::to_string(record.scanMode) +
                               ": the server did not start: " + started.output;
        return pid_ > 0;
    }

    // Returns the window's place in the run's list.
    size_t beginFault(const PlannedFault& fault, int phase) {
        FaultWindow window{fault.name, fault.folder, phase};
        const int seconds = static_cast<int>((fault.to - fault.from) * phaseSeconds_[phase]);
        // A result folder is changed only while the desk has told the server
        // that it wants nothing: no record is half written into it.
        const bool folder = !fault.folder.empty();
        if (folder && !desk_->pause(60))
            std::printf("  the desk did not come to a pause within 60 s\n");
        window.begin = now();
        const ActionResult result =
            runAction(options_.actions, {"fault-begin", fault.name, folder ? fault.folder : "-",
                                         std::to_string(seconds), std::to_string(pid_)});
        if (folder) desk_->resume();
        const std::string failed =
            result.status == 0 ? "" : ": the action failed: " + result.output;
        std::printf("  %.0f s: %s %s begins%s\n", window.begin, fault.name, fault.folder.c_str(),
                    failed.c_str());
        if (!failed.empty()) run_.faultsFailed.push_back(fault.name + failed);
        run_.faults.push_back(window);
        return run_.faults.size() - 1;
    }

    void endFault(FaultWindow& window) {
        runAction(options_.actions,
                  {"fault-end", window.name, window.folder.empty() ? "-" : window.folder});
        window.end = now();
        std::printf("  %.0f s: %s ends\n", window.end, window.name.c_str());
    }

    // False when the server has ended.
    bool takeSample(int phase) {
        Sample sample = sampleProcess(pid_, options_.statsFile);
        sample.at = now();
        sample.phase = phase;
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
        run_.seconds = now();
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
    std::unique_ptr<Desk> desk_;
    Run run_;
    double phaseSeconds_[2] = {};
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
