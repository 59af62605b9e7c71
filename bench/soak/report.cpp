#include "soak/report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace qrx::soak {
namespace {

const char* const kBadNames[BadInputs::kKinds] = {"a spent code", "a malformed member",
                                                  "a request past MaxRequestSize"};
constexpr size_t kProblemLines = 50;

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char buffer[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof(buffer), pattern, args);
    va_end(args);
    return buffer;
}

std::string minutes(double seconds) {
    return format("%.0f min %02.0f s", std::floor(seconds / 60), std::fmod(seconds, 60));
}

// The medians of the samples in [from, to); count: how many samples.
// Handles are -1 when no sample in the range could count them.
struct Level {
    size_t count = 0;
    double resident = 0, handles = -1;
};

Level levelOf(const Run& run, double from, double to) {
    std::vector<double> resident, handles;
    for (const Sample& s : run.samples) {
        if (!s.alive || s.at < from || s.at >= to) continue;
        resident.push_back(s.residentKb / 1024.0);
        if (s.handles >= 0) handles.push_back(s.handles);
    }
    return {resident.size(), quantile(resident, 0.5),
            handles.empty() ? -1 : quantile(handles, 0.5)};
}

// The server's level after the drain against its level at start.
std::string restVerdict(const Run& run, std::vector<std::string>* failures) {
    const Level start = levelOf(run, run.warmedUp, run.firstFault);
    const Level after = run.drained < 0 ? Level{} : levelOf(run, run.drained, run.end + 1);
    if (start.count == 0 || after.count == 0) {
        failures->push_back(start.count == 0 ? "no sample between the warm-up and the first fault"
                                             : "the queue never drained" + run.stall);
        return "  no level to compare  FAIL\n";
    }
    const struct {
        const char* name;
        double from, to, tolerance;
        bool judged;
    } measures[] = {
        {"resident MB", start.resident, after.resident, kMemoryToleranceMb, run.build == "posix"},
        {"handles", start.handles, after.handles, double(kHandleTolerance), true}};
    std::string text;
    for (const auto& m : measures) {
        // Only handles can be uncounted (-1): under Wine, qrx-procstat's.
        const bool uncounted = m.from < 0 || m.to < 0;
        const bool failed = m.judged && (uncounted || m.to - m.from > m.tolerance);
        text += format("  %-12s %7.1f at start, %7.1f after the drain: %+6.1f%s\n", m.name, m.from,
                       m.to, m.to - m.from,
                       failed     ? "  FAIL"
                       : m.judged ? ""
                                  : "  (not judged under Wine)");
        if (failed)
            failures->push_back(uncounted ? std::string(m.name) + " could not be counted"
                                          : format("%s rose from %.1f to %.1f, past %.0f more",
                                                   m.name, m.from, m.to, m.tolerance));
    }
    return text;
}

std::string latencyLine(const Run& run, Exchange kind, std::vector<std::string>* failures) {
    std::vector<double> outside;
    for (const Latency& l : run.latencies)
        if (l.kind == kind && std::none_of(run.faults.begin(), run.faults.end(),
                                           [&l](const FaultWindow& f) { return f.contains(l.at); }))
            outside.push_back(l.ms);
    const char* name = kind == Exchange::Code ? "code requests" : "submissions";
    const double limit = kind == Exchange::Code ? kCodeP99LimitMs : kSubmissionP99LimitMs;
    const double p99 = quantile(outside, 0.99);
    const bool failed = run.build == "posix" && p99 > limit;
    if (failed)
        failures->push_back(
            format("%s p99 %.1f ms outside the faults, past %.0f ms", name, p99, limit));
    return format("  %-13s outside faults: %5zu, p50 %6.2f ms, p99 %7.2f ms%s\n", name,
                  outside.size(), quantile(outside, 0.5), p99, failed ? "  FAIL" : "");
}

std::string cardsText(const Run& run, std::vector<std::string>* failures) {
    const LedgerCounts& c = run.counts;
    std::string text = format(
        "Cards: %d sent, %d accepted, %d arrived; lost %zu, doubled %d, changed %d, "
        "records of no accepted card %d\n"
        "  honest cards refused %d, unanswered %d, answered \"cache is full\" and sent "
        "again %d\nBad input (one submission in a hundred), answered as it must be:",
        c.sent, c.accepted, c.arrived, run.missing.size(), c.doubled, c.changed, c.unexpected,
        c.refused, c.unanswered, c.cacheFull);
    for (int kind = 0; kind < BadInputs::kKinds; ++kind) {
        const int sent = run.badSent[kind], wrong = sent - run.badAsExpected[kind];
        text += format("%s %s %d of %d", kind == 0 ? "" : ",", kBadNames[kind],
                       run.badAsExpected[kind], sent);
        if (wrong != 0)
            failures->push_back(format("%s: %d of %d answered otherwise than it must be",
                                       kBadNames[kind], wrong, sent));
    }
    if (!run.missing.empty())
        failures->push_back(format("%zu cards lost, among them %s", run.missing.size(),
                                   run.missing.front().c_str()));
    if (c.doubled > 0) failures->push_back(format("%d cards arrived twice", c.doubled));
    if (c.changed > 0) failures->push_back(format("%d records differ from their cards", c.changed));
    if (c.unexpected > 0)
        failures->push_back(format("%d records of no accepted card", c.unexpected));
    if (c.refused > 0 || c.unanswered > 0)
        failures->push_back(
            format("%d honest cards refused, %d unanswered", c.refused, c.unanswered));
    return text + "\n";
}

}  // namespace

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(std::ceil(q * values.size()));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

std::string samplesCsv(const std::vector<Sample>& samples) {
    std::string text = "seconds,faults,alive,resident_mb,handles,queue\n";
    for (const Sample& s : samples)
        text += format("%.1f,%s,%d,%.1f,%ld,%d\n", s.at, s.faults.empty() ? "-" : s.faults.c_str(),
                       s.alive ? 1 : 0, s.residentKb / 1024.0, s.handles, s.queue);
    return text;
}

std::string faultsCsv(const std::vector<FaultWindow>& faults) {
    std::string text = "name,folder,begin_s,end_s\n";
    for (const FaultWindow& f : faults)
        text += format("%s,%s,%.1f,%.1f\n", f.name.c_str(),
                       f.folder.empty() ? "-" : f.folder.c_str(), f.begin, f.end);
    return text;
}

std::string summary(const Run& run, std::vector<std::string>* failures) {
    long highest = 0;
    int queue = 0;
    for (const Sample& s : run.samples) {
        highest = std::max(highest, s.residentKb);
        queue = std::max(queue, s.queue);
    }
    std::string text =
        format("qrx-soak on the %s build: %d cards planned, %s in all\n\n", run.build.c_str(),
               run.cardsPlanned, minutes(run.end).c_str()) +
        cardsText(run, failures) +
        format(
            "\nThe server, from %.0f to %.0f s: at most %.1f MB resident, %d cards queued.\n"
            "Its medians after the warm-up, before the first fault, and once the queue has\n"
            "drained (memory may rise %.0f MB, handles %ld); the clients' latency outside\n"
            "the fault windows (p99 bounds %.0f and %.0f ms on POSIX):\n",
            run.start, run.end, highest / 1024.0, queue, kMemoryToleranceMb, kHandleTolerance,
            kCodeP99LimitMs, kSubmissionP99LimitMs) +
        restVerdict(run, failures) + latencyLine(run, Exchange::Code, failures) +
        latencyLine(run, Exchange::Submission, failures);
    if (!run.serverEnded.empty()) failures->push_back(run.serverEnded);
    failures->insert(failures->end(), run.stepsFailed.begin(), run.stepsFailed.end());
    if (!run.problems.empty()) text += "\nProblems seen:\n";
    for (size_t i = 0; i < run.problems.size() && i < kProblemLines; ++i)
        text += "  " + run.problems[i] + "\n";
    if (run.problems.size() > kProblemLines)
        text += format("  and %zu lines more\n", run.problems.size() - kProblemLines);
    text += failures->empty() ? "\nPASSED\n" : "\nFAILED:\n";
    for (const std::string& line : *failures) text += "  " + line + "\n";
    return text;
}

}  // namespace qrx::soak
