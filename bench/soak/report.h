// The soak's judges and its report: the samples as CSV, the fault windows,
// and a summary that ends with the verdict. A run fails when a card is
// lost, doubled or changed, a record of no accepted card arrives, an honest
// card is refused or unanswered, a bad input is answered otherwise than it
// must be, a fault cannot begin or end, the desk stops, or the server
// ends; when the server's level once the queue has drained is past its
// level after the warm-up by more than the tolerance, or its handles could
// not be counted (memory on POSIX only: Wine's heap keeps what a queue
// took); and, on POSIX, when a p99 outside the fault windows passes 50 ms
// for code requests or 200 ms for submissions, ten times what this
// project's machine measures.
#pragma once

#include <string>
#include <vector>

#include "soak/clients.h"

namespace qrx::soak {

constexpr double kMemoryToleranceMb = 4;
constexpr long kHandleTolerance = 5;
constexpr double kCodeP99LimitMs = 50, kSubmissionP99LimitMs = 200;

struct Sample {
    double at = 0;       // seconds since the soak began
    std::string faults;  // the faults on, joined by "+"
    bool alive = false;
    long residentKb = 0;
    long handles = -1;  // -1: not counted
    int queue = 0;
};

// A fault as it happened, in seconds since the soak began.
struct FaultWindow {
    std::string name, folder;
    double begin = 0, end = -1;  // end < 0: still on
    bool contains(double at) const { return at >= begin && (end < 0 || at < end); }
};

struct Run {
    std::string build;  // posix or i686
    int cardsPlanned = 0;
    double start = 0, end = 0;  // the server's life, seconds since the soak began
    // The level at start: the samples from the warm-up's end to the first
    // fault. The level after the drain: those from when the queue drained,
    // the cards all sent and the faults over, to the end (< 0: it never did).
    double warmedUp = 0, firstFault = 0, drained = -1;
    std::string stall;  // why the queue never drained, from ": " on
    std::vector<Sample> samples;
    std::vector<FaultWindow> faults;
    std::vector<Latency> latencies;
    LedgerCounts counts;
    std::vector<std::string> problems, missing;
    int badSent[BadInputs::kKinds] = {}, badAsExpected[BadInputs::kKinds] = {};
    std::string serverEnded;  // empty while the server ran as planned
    // A line for each fault that could not begin or end, and the desk's
    // error when it stopped.
    std::vector<std::string> stepsFailed;
};

// The value at quantile q (0.5, 0.99) of values, 0 when there are none.
double quantile(std::vector<double> values, double q);
std::string samplesCsv(const std::vector<Sample>& samples);
std::string faultsCsv(const std::vector<FaultWindow>& faults);
// The summary; failures gets one line for each rule the run broke.
std::string summary(const Run& run, std::vector<std::string>* failures);

}  // namespace qrx::soak
