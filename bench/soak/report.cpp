#include "soak/report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <functional>

namespace qrx::soak {
namespace {

constexpr double kGrowthLimit = 0.05;
// Below these, growth is the allocator's, not a leak: each queue of a
// hundred cards leaves some 0.5 to 0.9 MB of the heap in pieces behind it,
// a twentieth of a server at rest; one handle more is a client's
// connection. A leak of 400 bytes a card passes 2 MB within a month.
constexpr double kGrowthFloorMb = 2, kGrowthFloorHandles = 5;
// A sample with at most this many cards queued is the server at rest.
constexpr int kRestingQueue = 10;

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char buffer[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof(buffer), pattern, args);
    va_end(args);
    return buffer;
}

double mb(long kb) {
    return kb / 1024.0;
}

double median(std::vector<double> values) {
    return percentiles(std::move(values)).p50;
}

// The sample nearest to a time, within a phase, the server alive.
const Sample* nearest(const Run& run, int phase, double at) {
    const Sample* best = nullptr;
    for (const Sample& sample : run.samples) {
        if (sample.phase != phase || !sample.process.alive) continue;
        if (best == nullptr || std::fabs(sample.at - at) < std::fabs(best->at - at)) best = &sample;
    }
    return best;
}

std::string processLine(const char* label, const Sample* sample) {
    if (sample == nullptr) return format("  %-12s no sample\n", label);
    const ProcessSample& p = sample->process;
    return format(
        "  %-12s %7.0f s  resident %6.1f MB  private %6.1f MB  handles %4ld  threads %2ld  queue "
        "%4d\n",
        label, sample->at, mb(p.residentKb), mb(p.privateKb), p.handles, p.threads, sample->queue);
}

// Past the first tenth of a server's life, the level of each half of one
// measure: the median of the samples taken at rest, outside the fault
// windows with at most kRestingQueue cards queued, as what a queue holds
// comes and goes with it. The second half may not be more than 5 % and
// floor above the first, and each half must have such a sample.
// heapKeepsPeaks: the allocator keeps part of what the highest level so
// far took (glibc's heap in pieces, Wine's far more), so memory after a
// second half that rose higher than the first is reported, not judged.
std::string growthLine(const Run& run, int phase, const char* what, double floor,
                       bool heapKeepsPeaks,
                       const std::function<double(const ProcessSample&)>& measure,
                       std::vector<std::string>* failures) {
    const Phase& p = run.phases[phase];
    const double from = p.start + 0.1 * (p.end - p.start);
    const double middle = p.secondHalf > 0 ? p.secondHalf : from + (p.end - from) / 2;
    std::vector<double> first, second;
    double peak[2] = {0, 0};
    for (const Sample& sample : run.samples) {
        if (sample.phase != phase || !sample.process.alive || sample.at < from) continue;
        const bool later = sample.at >= middle;
        const double level = measure(sample.process);
        peak[later] = std::max(peak[later], level);
        if (sample.queue > kRestingQueue || inAnyFault(run.faults, sample.at)) continue;
        (later ? second : first).push_back(level);
    }
    if (first.empty() || second.empty()) {
        // A queue that never drains in a half is itself a finding.
        failures->push_back(format("scan mode %d: no %s sample at rest in the %s half", p.scanMode,
                                   what, first.empty() ? "first" : "second"));
        return format("  %-9s no sample at rest in a half  FAIL\n", what);
    }
    const double a = median(first), b = median(second);
    const double growth = a > 0 ? b / a - 1 : 0;
    const bool grew = growth > kGrowthLimit && b - a > floor;
    const bool excused = grew && heapKeepsPeaks && peak[1] > peak[0];
    std::string line = format("  %-9s first half %8.1f, second half %8.1f: %+.1f %%%s\n", what, a,
                              b, 100 * growth, grew && !excused ? "  FAIL" : "");
    if (excused)
        line += format(
            "            not judged: the second half rose to %.1f, past the first's %.1f, "
            "and the heap keeps part of what it took\n",
            peak[1], peak[0]);
    else if (grew)
        failures->push_back(format("scan mode %d: %s grew by %.1f %% from one half to the next",
                                   p.scanMode, what, 100 * growth));
    return line;
}

// limitMs: the p99 outside the faults may not pass it; 0: no limit.
std::string latencyLine(const Run& run, Exchange kind, const char* label, double limitMs,
                        std::vector<std::string>* failures) {
    std::vector<double> in, out;
    for (const Latency& latency : run.latencies) {
        if (latency.kind != kind) continue;
        (inAnyFault(run.faults, latency.at) ? in : out).push_back(latency.ms);
    }
    const Percentiles inside = percentiles(in), outside = percentiles(out);
    const bool failed = limitMs > 0 && outside.p99 > limitMs;
    if (failed)
        failures->push_back(format("%s: p99 outside the fault windows %.1f ms, past %.0f ms", label,
                                   outside.p99, limitMs));
    return format(
        "  %-22s outside faults: %6zu, p50 %7.2f ms, p99 %8.2f ms%s\n"
        "  %-22s inside faults:  %6zu, p50 %7.2f ms, p99 %8.2f ms\n",
        label, outside.count, outside.p50, outside.p99, failed ? "  FAIL" : "", "", inside.count,
        inside.p50, inside.p99);
}

std::string minutes(double seconds) {
    return format("%.0f min %02.0f s", std::floor(seconds / 60), std::fmod(seconds, 60));
}

}  // namespace

Percentiles percentiles(std::vector<double> values) {
    Percentiles result;
    result.count = values.size();
    if (values.empty()) return result;
    std::sort(values.begin(), values.end());
    auto rank = [&values](double q) {
        const size_t index = static_cast<size_t>(std::ceil(q * values.size()));
        return values[std::min(values.size(), std::max<size_t>(index, 1)) - 1];
    };
    result.p50 = rank(0.50);
    result.p99 = rank(0.99);
    return result;
}

std::string csvHeader() {
    return "seconds,phase,scan_mode,faults,alive,resident_mb,private_mb,handles,threads,queue,"
           "accepted,arrived,code_n,code_p50_ms,code_p99_ms,submit_n,submit_p50_ms,"
           "submit_p99_ms\n";
}

std::string csvRow(const Sample& s) {
    const ProcessSample& p = s.process;
    return format("%.1f,%d,%d,%s,%d,%.1f,%.1f,%ld,%ld,%d,%d,%d,%zu,%.2f,%.2f,%zu,%.2f,%.2f\n", s.at,
                  s.phase, s.phase == 0 ? 2 : 1, s.faults.empty() ? "-" : s.faults.c_str(),
                  p.alive ? 1 : 0, mb(p.residentKb), mb(p.privateKb), p.handles, p.threads, s.queue,
                  s.accepted, s.arrived, s.code.count, s.code.p50, s.code.p99, s.submission.count,
                  s.submission.p50, s.submission.p99);
}

std::string faultsCsv(const std::vector<FaultWindow>& faults) {
    std::string text = "name,folder,phase,begin_s,end_s\n";
    for (const FaultWindow& f : faults)
        text += format("%s,%s,%d,%.1f,%.1f\n", f.name.c_str(),
                       f.folder.empty() ? "-" : f.folder.c_str(), f.phase, f.begin, f.end);
    return text;
}

std::string summary(const Run& run, std::vector<std::string>* failures, int* latencyFailures) {
    const LedgerCounts& c = run.counts;
    const int lost = static_cast<int>(run.missing.size());
    std::string text = format("qrx-soak on the %s build: %d cards planned, %s in all\n\n",
                              run.build.c_str(), run.cardsPlanned, minutes(run.seconds).c_str());
    text += "Phases (the server restarted between them):\n";
    for (const Phase& p : run.phases)
        text += format("  scan mode %d: %s (%.0f to %.0f s); %s\n", p.scanMode,
                       minutes(p.end - p.start).c_str(), p.start, p.end, p.desk.c_str());
    text += format(
        "\nCards: %d sent, %d accepted, %d arrived; lost %d, doubled %d, changed %d, "
        "records of no accepted card %d\n",
        c.sent, c.accepted, c.arrived, lost, c.doubled, c.changed, c.unexpected);
    text += format(
        "  honest cards refused %d, answered \"cache is full\" and sent again %d, "
        "unanswered %d; records left in a result folder at a phase's end %d\n",
        c.refused, c.cacheFull, c.unanswered, run.leftBehind);
    const char* badNames[] = {"a spent code", "a malformed member",
                              "a request past MaxRequestSize"};
    text += "Bad input (one submission in a hundred), answered as it must be:\n";
    for (int kind = 0; kind < BadInputs::kKinds; ++kind)
        text += format("  %-30s %d of %d\n", badNames[kind], run.badAsExpected[kind],
                       run.badSent[kind]);
    text += "\nFault windows:\n";
    for (const FaultWindow& f : run.faults)
        text += format("  scan mode %d  %-12s %-10s %6.0f to %6.0f s (%.0f s)\n",
                       run.phases[f.phase].scanMode, f.name.c_str(), f.folder.c_str(), f.begin,
                       f.end, f.end - f.begin);

    text += "\nThe server at the first tenth, the half and the end of each phase:\n";
    for (size_t i = 0; i < run.phases.size(); ++i) {
        const Phase& p = run.phases[i];
        text += format(" scan mode %d\n", p.scanMode);
        const double length = p.end - p.start;
        text +=
            processLine("first tenth", nearest(run, static_cast<int>(i), p.start + 0.1 * length));
        text += processLine("half", nearest(run, static_cast<int>(i), p.start + 0.5 * length));
        text += processLine("end", nearest(run, static_cast<int>(i), p.end));
    }
    text +=
        "\nGrowth past the first tenth (medians of the samples at rest: outside fault windows,\n"
        "at most 10 cards queued; a failure grows by more than 5 % and 2 MB or 5 handles):\n";
    for (size_t i = 0; i < run.phases.size(); ++i) {
        const int phase = static_cast<int>(i);
        text += format(" scan mode %d\n", run.phases[i].scanMode);
        text += growthLine(
            run, phase, "resident", kGrowthFloorMb, true,
            [](const ProcessSample& p) { return mb(p.residentKb); }, failures);
        text += growthLine(
            run, phase, "private", kGrowthFloorMb, true,
            [](const ProcessSample& p) { return mb(p.privateKb); }, failures);
        text += growthLine(
            run, phase, "handles", kGrowthFloorHandles, false,
            [](const ProcessSample& p) { return double(p.handles); }, failures);
    }
    text += "\nLatency, request clients (one request in flight each):\n";
    const size_t beforeLatency = failures->size();
    text += latencyLine(run, Exchange::Code, "code requests", run.codeP99LimitMs, failures);
    text +=
        latencyLine(run, Exchange::Submission, "submissions", run.submissionP99LimitMs, failures);
    if (latencyFailures != nullptr)
        *latencyFailures = static_cast<int>(failures->size() - beforeLatency);
    text += "Latency, the dealer (50 in flight; each waits for those before it):\n";
    text += latencyLine(run, Exchange::DealerCode, "code requests", 0, failures);
    text += latencyLine(run, Exchange::DealerSubmission, "submissions", 0, failures);

    if (lost > 0)
        failures->push_back(
            format("%d cards lost, among them %s", lost, run.missing.front().c_str()));
    if (c.doubled > 0) failures->push_back(format("%d cards arrived twice", c.doubled));
    if (c.changed > 0) failures->push_back(format("%d records differ from their cards", c.changed));
    if (c.unexpected > 0)
        failures->push_back(format("%d records of no accepted card", c.unexpected));
    if (c.refused > 0 || c.unanswered > 0)
        failures->push_back(
            format("%d honest cards refused, %d unanswered", c.refused, c.unanswered));
    for (int kind = 0; kind < BadInputs::kKinds; ++kind)
        if (run.badAsExpected[kind] != run.badSent[kind])
            failures->push_back(format("%s: %d of %d answered otherwise than it must be",
                                       badNames[kind], run.badSent[kind] - run.badAsExpected[kind],
                                       run.badSent[kind]));
    if (!run.serverEnded.empty()) failures->push_back(run.serverEnded);

    if (!run.problems.empty()) {
        text += "\nProblems seen:\n";
        for (const std::string& line : run.problems) text += "  " + line + "\n";
    }
    text += failures->empty() ? "\nPASSED\n" : "\nFAILED:\n";
    for (const std::string& line : *failures) text += "  " + line + "\n";
    return text;
}

}  // namespace qrx::soak
