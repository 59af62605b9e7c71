// qrx-soak: a desk's month in under an hour, against a server started
// through the soak's actions (scripts/soak.sh gives them). Two phases, scan
// mode 2 and then scan mode 1 with the server restarted between them; in
// each, four clients submit their share of the cards while the desk takes
// every record and checks it against its card, five faults come and go,
// and every few seconds the server's memory, handles, threads, queue and
// latency are sampled. Writes samples.csv, faults.csv and summary.txt into
// --out and exits 0 when the run passed, 1 when it failed, and 4 when
// nothing failed but a latency bound (a figure of the machine's moment as
// much as of the server: CI runs such a soak again).
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/tool_main.h"
#include "soak/actions.h"
#include "soak/clients.h"
#include "soak/desk.h"
#include "soak/probe.h"
#include "soak/report.h"
#include "soak/schedule.h"

namespace {

using namespace qrx;
using namespace qrx::soak;
namespace fs = std::filesystem;

const char kUsage[] =
    "usage: qrx-soak --build posix|i686 --actions SCRIPT --prefix DIR --out DIR\n"
    "                --reply tcp://127.0.0.1:P --router tcp://127.0.0.1:P\n"
    "                [--cards N] [--minutes M] [--interval S] [--stats-file FILE]\n"
    "\n"
    "  --prefix      the machine folder: drive_c/scan holds the command file and the\n"
    "                result folders, drive_c/qrx the log, drive_c/soak the desk's\n"
    "                folder (the POSIX stand-in's prefix, or the Wine prefix)\n"
    "  --cards       cards in all, half in each phase (default 10000)\n"
    "  --minutes     the planned length of the run (default: the cards at the desk's\n"
    "                pace, 4 a second in scan mode 2 and 1.8 in scan mode 1, and\n"
    "                45 s a phase)\n"
    "  --interval    seconds between samples (default 5)\n"
    "  --stats-file  under Wine: where qrx-procstat.exe writes the server's handles\n";

// Time kept for the restart and the last records between the phases.
constexpr double kPhaseMarginSeconds = 45;
// Cards a second in each phase: below what the desk takes (a record a turn
// of 200 ms in scan mode 2; in scan mode 1, where each record is asked
// for and answered over two turns, about 2.3 a second), so that the queue
// a fault leaves drains before the next.
constexpr double kCardsPerSecond[2] = {4.0, 1.8};
// The queue must move within this, once the cards are all sent.
constexpr double kDrainStallSeconds = 180;
// The exit status of a run whose only failures are latency bounds.
// (3 is a usage error, as for every tool.)
constexpr int kOnlyLatencyFailed = 4;

struct Options {
    std::string build, actions, prefix, out, reply, router, statsFile;
    int cards = 10000;
    double minutes = 0, interval = 5;
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
                                                        {"--minutes", into(o.minutes)},
                                                        {"--interval", into(o.interval)}});
    if (!words.empty()) throw UsageError{"unknown argument " + words.front()};
    if (o.build != "posix" && o.build != "i686") throw UsageError{"--build is posix or i686"};
    for (const auto& [given, name] : {std::pair{o.actions, "--actions"},
                                      {o.prefix, "--prefix"},
                                      {o.out, "--out"},
                                      {o.reply, "--reply"},
                                      {o.router, "--router"}})
        if (given.empty()) throw UsageError{std::string(name) + " is needed"};
    if (o.cards < 8) throw UsageError{"--cards must be at least 8"};
    if (o.interval <= 0) throw UsageError{"--interval must be positive"};
    return o;
}

class Soak {
  public:
    explicit Soak(const Options& options)
        : options_(options),
          origin_(soak::Clock::now()),
          latencies_(origin_),
          clients_({options.reply, options.router, "127.0.0.2"}, ledger_, latencies_),
          probe_(options.statsFile) {
        const std::string scan = options.prefix + "/drive_c/scan";
        const std::string out = options.prefix + "/drive_c/soak/taken";
        if (options.build == "posix")
            desk_ = std::make_unique<PosixDesk>(
                options.prefix,
                desk::DeskPaths{scan + "/scancmd.scc", {scan + "/result", scan + "/result_jw"}},
                out, ledger_);
        else
            desk_ = std::make_unique<WineDesk>(options.actions, options.prefix + "/drive_c/soak",
                                               out, ledger_);
        run_.build = options.build;
        run_.cardsPlanned = options.cards;
        // Ten times what this machine measures (code requests 5 ms at p99,
        // submissions 20 ms): a slow moment of a shared machine stays
        // within them, a loop that blocks does not.
        if (options.build == "posix") {
            run_.codeP99LimitMs = 50;
            run_.submissionP99LimitMs = 200;
        }
        // Each phase's time for cards in proportion to its pace.
        double paced[2], total = 0;
        for (int phase = 0; phase < 2; ++phase)
            total += paced[phase] = cardsOf(phase) / kCardsPerSecond[phase];
        const double planned =
            options.minutes > 0 ? options.minutes * 60 - 2 * kPhaseMarginSeconds : total;
        for (int phase = 0; phase < 2; ++phase)
            phaseSeconds_[phase] = std::max(30.0, planned * paced[phase] / total);
    }

    int run() {
        std::printf(
            "qrx-soak: %d cards in phases of %.0f s and %.0f s of cards, a sample every %.0f s\n",
            options_.cards, phaseSeconds_[0], phaseSeconds_[1], options_.interval);
        for (int phase = 0; phase < 2 && run_.serverEnded.empty(); ++phase) runPhase(phase);
        return report();
    }

  private:
    int cardsOf(int phase) const {
        return phase == 0 ? options_.cards / 2 : options_.cards - options_.cards / 2;
    }
    double now() const { return latencies_.secondsOf(soak::Clock::now()); }

    void runPhase(int phase) {
        Phase record;
        record.scanMode = phase == 0 ? 2 : 1;
        const ActionResult started =
            runAction(options_.actions, {"start-server", std::to_string(record.scanMode)});
        pid_ = started.status == 0 ? static_cast<pid_t>(std::atol(lastLine(started.output).c_str()))
                                   : 0;
        record.start = now();
        record.secondHalf = record.start + kSecondCycle * phaseSeconds_[phase];
        std::printf("scan mode %d: server %d started at %.0f s\n", record.scanMode, pid_,
                    record.start);
        if (pid_ <= 0) {
            run_.serverEnded = "scan mode " + std::to_string(record.scanMode) +
                               ": the server did not start: " + started.output;
            return;
        }
        desk_->start(record.scanMode);
        clients_.start(phase == 0 ? 'A' : 'B', cardsOf(phase), phaseSeconds_[phase]);
        std::vector<PlannedFault> planned = faultsOfPhase(phase);
        size_t begun = 0;
        std::vector<std::pair<size_t, double>> active;  // a window, and when it ends
        double lastProgress = now(), nextSample = now();
        int lastArrived = -1;
        for (;;) {
            const double t = now() - record.start;
            if (begun < planned.size() && t >= planned[begun].from * phaseSeconds_[phase]) {
                active.emplace_back(beginFault(planned[begun], phase), planned[begun].to);
                ++begun;
            }
            for (auto it = active.begin(); it != active.end();) {
                if (t < it->second * phaseSeconds_[phase]) {
                    ++it;
                    continue;
                }
                endFault(run_.faults[it->first]);
                it = active.erase(it);
            }
            if (now() >= nextSample) {
                nextSample += options_.interval;
                if (!takeSample(phase)) break;
            }
            const LedgerCounts counts = ledger_.counts();
            if (counts.arrived != lastArrived) {
                lastArrived = counts.arrived;
                lastProgress = now();
            }
            if (!clients_.running() && active.empty() && begun == planned.size()) {
                if (counts.queued() <= 0) break;
                if (now() - lastProgress > kDrainStallSeconds) {
                    std::printf("  %d cards still queued, none arrived for %.0f s\n",
                                counts.queued(), kDrainStallSeconds);
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!run_.serverEnded.empty()) clients_.stop();
        clients_.join();
        for (const auto& [window, to] : active) endFault(run_.faults[window]);
        record.desk = firstLine(desk_->stop());
        record.end = now();
        runAction(options_.actions, {"stop-server"});
        // Before phase-end: it takes away what a fault mounted over a folder.
        run_.leftBehind += takeLeftBehind();
        runAction(options_.actions, {"phase-end"});
        run_.phases.push_back(record);
        std::printf("scan mode %d: ended at %.0f s; %s\n", record.scanMode, record.end,
                    record.desk.c_str());
    }

    // Returns the window's place in the run's list.
    size_t beginFault(const PlannedFault& fault, int phase) {
        FaultWindow window;
        window.name = fault.name;
        window.folder = fault.folder;
        window.phase = phase;
        const double seconds = (fault.to - fault.from) * phaseSeconds_[phase];
        // A result folder is changed only while the desk has told the server
        // that it wants nothing: no record is half written into it.
        const bool folder = !fault.folder.empty();
        if (folder && !desk_->pause(60))
            std::printf("  the desk did not come to a pause within 60 s\n");
        window.begin = now();
        const ActionResult result = runAction(
            options_.actions, {"fault-begin", fault.name, fault.folder.empty() ? "-" : fault.folder,
                               std::to_string(static_cast<int>(seconds)), std::to_string(pid_)});
        if (folder) desk_->resume();
        std::printf("  %.0f s: %s %s begins%s\n", window.begin, fault.name.c_str(),
                    fault.folder.c_str(),
                    result.status == 0 ? "" : (": the action failed: " + result.output).c_str());
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
        Sample sample;
        sample.at = now();
        sample.phase = phase;
        for (const FaultWindow& window : run_.faults)
            if (window.contains(sample.at))
                sample.faults += (sample.faults.empty() ? "" : "+") + window.name;
        sample.process = probe_.sample(pid_);
        const LedgerCounts counts = ledger_.counts();
        sample.queue = counts.queued();
        sample.accepted = counts.accepted;
        sample.arrived = counts.arrived;
        std::vector<double> code, submission;
        for (const Latency& latency : latencies_.takeNew()) {
            if (latency.kind == Exchange::Code) code.push_back(latency.ms);
            if (latency.kind == Exchange::Submission) submission.push_back(latency.ms);
        }
        sample.code = percentiles(code);
        sample.submission = percentiles(submission);
        run_.samples.push_back(sample);
        if (!sample.process.alive)
            run_.serverEnded = "the server (PID " + std::to_string(pid_) + ") ended at " +
                               std::to_string(static_cast<int>(sample.at)) + " s";
        return sample.process.alive;
    }

    // Records still in the result folders once the server has stopped: the
    // desk missed them, or they were written and never announced.
    int takeLeftBehind() {
        const std::string scan = options_.prefix + "/drive_c/scan";
        PosixPlatform platform(options_.prefix);
        desk::DeskPaths paths{scan + "/scancmd.scc", {scan + "/result", scan + "/result_jw"}};
        const std::string out = options_.prefix + "/drive_c/soak/left";
        const int left = static_cast<int>(desk::takeRecords(platform, paths, out).size());
        RecordCheck(out, ledger_).sweep();
        return left;
    }

    int report() {
        run_.seconds = now();
        run_.latencies = latencies_.all();
        run_.counts = ledger_.counts();
        run_.problems = ledger_.problems();
        run_.missing = ledger_.missing();
        for (int kind = 0; kind < BadInputs::kKinds; ++kind) {
            run_.badSent[kind] = clients_.badInputs().sent[kind];
            run_.badAsExpected[kind] = clients_.badInputs().asExpected[kind];
        }
        fs::create_directories(options_.out);
        std::ofstream csv(fs::path(options_.out) / "samples.csv");
        csv << csvHeader();
        for (const Sample& sample : run_.samples) csv << csvRow(sample);
        std::ofstream(fs::path(options_.out) / "faults.csv") << faultsCsv(run_.faults);
        std::vector<std::string> failures;
        int latencyFailures = 0;
        const std::string text = summary(run_, &failures, &latencyFailures);
        std::ofstream(fs::path(options_.out) / "summary.txt") << text;
        std::printf("\n%s", text.c_str());
        if (failures.empty()) return 0;
        return static_cast<size_t>(latencyFailures) == failures.size() ? kOnlyLatencyFailed : 1;
    }

    static std::string lastLine(const std::string& text) {
        std::string trimmed = text.substr(0, text.find_last_not_of("\r\n") + 1);
        return trimmed.substr(trimmed.find_last_of('\n') + 1);
    }
    static std::string firstLine(const std::string& text) {
        return text.substr(0, text.find('\n'));
    }

    Options options_;
    soak::Clock::time_point origin_;
    Ledger ledger_;
    Latencies latencies_;
    Clients clients_;
    Probe probe_;
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
