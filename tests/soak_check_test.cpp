// The soak's own checks must be able to fail: a ledger that missed a doubled
// or lost card, or a report that passed a growing server, would make every
// month's run pass.
#include <gtest/gtest.h>

#include <functional>

#include "soak/ledger.h"
#include "soak/report.h"

namespace qrx::soak {
namespace {

struct LedgerCase {
    const char* name;
    std::function<void(Ledger&)> events;
    int arrived, doubled, changed, unexpected;
    size_t missing;
};

TEST(SoakLedgerTest, CountsEachCardAsItsEventsSay) {
    const LedgerCase cases[] = {
        {"accepted, then taken once",
         [](Ledger& l) {
             l.sending("A", 'C');
             l.accepted("A");
             l.arrived("A", "");
         },
         1, 0, 0, 0, 0},
        {"taken before its reply was read",
         [](Ledger& l) {
             l.sending("A", 'C');
             l.arrived("A", "");
             l.accepted("A");
         },
         1, 0, 0, 0, 0},
        {"taken twice",
         [](Ledger& l) {
             l.sending("A", 'F');
             l.accepted("A");
             l.arrived("A", "");
             l.arrived("A", "");
         },
         1, 1, 0, 0, 0},
        {"taken with a changed image",
         [](Ledger& l) {
             l.sending("A", 'C');
             l.accepted("A");
             l.arrived("A", "image differs");
         },
         1, 0, 1, 0, 0},
        {"refused, yet taken",
         [](Ledger& l) {
             l.sending("A", 'C');
             l.arrived("A", "");
             l.refused("A", "code is err");
         },
         0, 0, 0, 1, 0},
        {"a record of no card", [](Ledger& l) { l.arrived("Z", ""); }, 0, 0, 0, 1, 0},
        {"accepted, never taken",
         [](Ledger& l) {
             l.sending("A", 'C');
             l.accepted("A");
         },
         0, 0, 0, 0, 1},
    };
    for (const LedgerCase& c : cases) {
        SCOPED_TRACE(c.name);
        Ledger ledger;
        c.events(ledger);
        const LedgerCounts counts = ledger.counts();
        EXPECT_EQ(counts.arrived, c.arrived);
        EXPECT_EQ(counts.doubled, c.doubled);
        EXPECT_EQ(counts.changed, c.changed);
        EXPECT_EQ(counts.unexpected, c.unexpected);
        EXPECT_EQ(ledger.missing().size(), c.missing);
    }
}

// One phase of 100 s, a sample a second; resident memory level until the
// half, then at second of it.
Run runWithGrowth(double second) {
    Run run;
    run.build = "posix";
    run.phases.push_back(Phase{2, 0, 100, ""});
    for (int at = 0; at < 100; ++at) {
        Sample sample;
        sample.at = at;
        sample.process.alive = true;
        sample.process.residentKb = at < 55 ? 10000 : static_cast<long>(10000 * second);
        sample.process.privateKb = 5000;
        sample.process.handles = 20;
        run.samples.push_back(sample);
    }
    return run;
}

TEST(SoakReportTest, FailsWhenMemoryGrowsPastFivePercentFromOneHalfToTheNext) {
    const struct {
        double growth;
        bool fails;
    } cases[] = {{1.00, false}, {1.04, false}, {1.10, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.growth);
        std::vector<std::string> failures;
        summary(runWithGrowth(c.growth), &failures);
        EXPECT_EQ(!failures.empty(), c.fails);
    }
}

TEST(SoakReportTest, FailsOnALostCardAndOnTheServerEnding) {
    soak::Run lost = runWithGrowth(1);
    lost.missing = {"A0-00001"};
    soak::Run ended = runWithGrowth(1);
    ended.serverEnded = "the server ended";
    for (const soak::Run& run : {lost, ended}) {
        std::vector<std::string> failures;
        const std::string text = summary(run, &failures);
        EXPECT_EQ(failures.size(), 1u) << text;
        EXPECT_NE(text.find("FAILED"), std::string::npos);
    }
}

}  // namespace
}  // namespace qrx::soak
