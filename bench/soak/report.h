// The soak's report: the samples as CSV, the fault windows, and a summary
// in text that ends with the verdict. The run fails when a card is lost,
// doubled or changed; when, past the first tenth of a server's life, its
// memory or handles grow by more than 5 % from one half to the next; when
// the server ends; and, on POSIX, when the request clients' p99 outside
// the fault windows passes its limit: 50 ms for code requests, 200 ms for
// submissions, ten times what this project's machine measures (5 ms and
// 20 ms at p99). The latencies are reported in every run.
#pragma once

#include <string>
#include <vector>

#include "soak/clients.h"
#include "soak/ledger.h"
#include "soak/probe.h"
#include "soak/schedule.h"

namespace qrx::soak {

struct Percentiles {
    size_t count = 0;
    double p50 = 0, p99 = 0;
};
Percentiles percentiles(std::vector<double> values);

struct Sample {
    double at = 0;  // seconds since the soak began
    int phase = 0;  // 0: scan mode 2, 1: scan mode 1
    std::string faults;
    ProcessSample process;
    int queue = 0, accepted = 0, arrived = 0;
    Percentiles code, submission;  // the request clients' exchanges of this window
};

struct Phase {
    int scanMode = 2;
    double start = 0, end = 0;  // the server's life, seconds since the soak began
    std::string desk;           // the desk's own line
    // Where the second half that growth compares begins: the second cycle
    // of faults; 0: halfway through what follows the first tenth.
    double secondHalf = 0;
};

struct Run {
    std::string build;
    int cardsPlanned = 0;
    double seconds = 0;
    // The request clients' p99 limits outside the faults; 0: none (Wine).
    double codeP99LimitMs = 0, submissionP99LimitMs = 0;
    std::vector<Phase> phases;
    std::vector<Sample> samples;
    std::vector<FaultWindow> faults;
    std::vector<Latency> latencies;
    LedgerCounts counts;
    std::vector<std::string> problems, missing;
    int leftBehind = 0;  // records still in the result folders when a phase ended
    int badSent[BadInputs::kKinds] = {}, badAsExpected[BadInputs::kKinds] = {};
    std::string serverEnded;  // empty while the server ran as planned
};

std::string csvHeader();
std::string csvRow(const Sample& sample);
std::string faultsCsv(const std::vector<FaultWindow>& faults);

// The summary; failures gets one line for each rule the run broke, and
// latencyFailures (when given) how many of those lines are latency bounds.
std::string summary(const Run& run, std::vector<std::string>* failures,
                    int* latencyFailures = nullptr);

}  // namespace qrx::soak
