// The soak's own checks must be able to fail: a ledger that missed a doubled
// or lost card, or a report that passed a growing server, would make every
// month's run pass.
#include <gtest/gtest.h>

#include <functional>

#include "soak/cards.h"
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

// The record an F card becomes, with englishName as its ENGLISH_NAME text.
std::string recordOfF(const Card& card, const std::string& englishName) {
    auto member = [&card](const std::string& key) {
        for (const auto& [name, value] : card.members)
            if (name == key) return value;
        return std::string();
    };
    std::string xml = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<SCAN_INFO>\r\n";
    for (const auto& [name, text] :
         std::vector<std::pair<std::string, std::string>>{{"CHINESE_NAME", member("chinese_name")},
                                                          {"ENGLISH_NAME", englishName},
                                                          {"SEX", member("sex")},
                                                          {"CARD_NO", member("card_no")},
                                                          {"BIRTHDAY", member("birthday")},
                                                          {"SCANTIME", member("scantime")},
                                                          {"COUNTRY", member("countrycode")},
                                                          {"CARDIMAGE", "c:\\r\\1.jpg"},
                                                          {"HEADIMAGE", "c:\\r\\1_head.jpg"},
                                                          {"CARDTYPE", member("cardtype")}})
        xml += "    <" + name + ">" + text + "</" + name + ">\r\n";
    return xml + "</SCAN_INFO>\r\n";
}

// Texts are compared byte for byte: the English name's leading space is
// the record's, and a record without it is changed.
TEST(SoakRecordCheckTest, ComparesTextsByteForByte) {
    const Card card = makeCard("B1-00007", 'F');
    const struct {
        const char* englishName;
        bool changed;
    } cases[] = {{" JANE DOE", false}, {"JANE DOE", true}, {"  JANE DOE", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.englishName);
        const std::string xml = recordOfF(card, c.englishName);
        EXPECT_EQ(recordId(xml), "B1-00007");
        const std::string problem = recordProblem(card, xml, 'F', card.cardImage, card.headImage);
        EXPECT_EQ(!problem.empty(), c.changed) << problem;
    }
}

// One phase of 100 s, a sample a second; resident memory level at baseKb
// until the half, then at second of it. With queued > 0, two samples in
// three of the second half have grown, each with that many cards queued;
// with drains false, all of them. One sample of the first half has
// firstPeak cards queued, and four times the memory.
Run runWithGrowth(double second, int queued = 0, long baseKb = 50000, bool drains = true,
                  int firstPeak = 0) {
    Run run;
    run.build = "posix";
    run.phases.push_back(Phase{2, 0, 100, "", 0});
    for (int at = 0; at < 100; ++at) {
        Sample sample;
        sample.at = at;
        sample.process.alive = true;
        const bool grown = at >= 55 && (queued == 0 || !drains || at % 3 != 0);
        const bool peak = at == 30 && firstPeak > 0;
        sample.process.residentKb = grown  ? static_cast<long>(baseKb * second)
                                    : peak ? 4 * baseKb
                                           : baseKb;
        sample.process.privateKb = 5000;
        sample.process.handles = 20;
        sample.queue = grown ? queued : peak ? firstPeak : 0;
        run.samples.push_back(sample);
    }
    return run;
}

TEST(SoakReportTest, FailsWhenMemoryGrowsPastFivePercentFromOneHalfToTheNext) {
    // Memory that holds a long queue is not growth: the queue's records
    // come and go; only samples at rest (a short queue) are compared. Nor
    // is growth under 2 MB, what the allocator's pieces come to. A half
    // with no sample at rest, a queue that never drains, fails. Growth
    // after a second half that rose higher than the first, part of which
    // the heap keeps, is not judged.
    const struct {
        double growth;
        int queued;
        long baseKb;
        bool fails;
        bool drains = true;
        int firstPeak = 300;
    } cases[] = {{1.00, 0, 50000, false},         {1.04, 0, 50000, false},
                 {1.10, 0, 50000, true},          {1.10, 10, 50000, true},
                 {3.00, 200, 50000, false},       {3.00, 11, 50000, false},
                 {1.10, 0, 10000, false},         {1.30, 0, 10000, true},
                 {1.00, 200, 50000, true, false}, {1.10, 10, 50000, false, true, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.growth) + " of " + std::to_string(c.baseKb) + " KB with " +
                     std::to_string(c.queued) + " queued" + (c.drains ? "" : ", never drained") +
                     ", " + std::to_string(c.firstPeak) + " at most in the first half");
        std::vector<std::string> failures;
        summary(runWithGrowth(c.growth, c.queued, c.baseKb, c.drains, c.firstPeak), &failures);
        EXPECT_EQ(!failures.empty(), c.fails);
    }
}

// A failure of the latency bounds alone is told apart, as CI runs such a
// soak again; a lost card or an ended server beside it never is.
TEST(SoakReportTest, FailsOnALostCardTheServerEndingOrSlowRepliesAndSaysWhichFailed) {
    soak::Run lost = runWithGrowth(1);
    lost.missing = {"A0-00001"};
    soak::Run ended = runWithGrowth(1);
    ended.serverEnded = "the server ended";
    soak::Run slow = runWithGrowth(1);
    slow.codeP99LimitMs = 10;
    for (int i = 0; i < 100; ++i) slow.latencies.push_back(Latency{i * 1.0, 12.0, Exchange::Code});
    soak::Run slowAndLost = slow;
    slowAndLost.missing = {"A0-00001"};
    soak::Run slowAndGrown = runWithGrowth(1.2, 0, 50000, true, 300);  // judged first
    slowAndGrown.codeP99LimitMs = 10;
    slowAndGrown.latencies = slow.latencies;
    soak::Run slowSubmissions = runWithGrowth(1);
    slowSubmissions.submissionP99LimitMs = 25;
    for (int i = 0; i < 100; ++i)
        slowSubmissions.latencies.push_back(Latency{i * 1.0, 30.0, Exchange::Submission});
    const struct {
        const char* name;
        const soak::Run& run;
        size_t failures, latency;
    } cases[] = {{"lost", lost, 1, 0},
                 {"ended", ended, 1, 0},
                 {"slow", slow, 1, 1},
                 {"slow and lost", slowAndLost, 2, 1},
                 {"slow and grown", slowAndGrown, 2, 1},
                 {"slow submissions", slowSubmissions, 1, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> failures;
        int latencyFailures = -1;
        const std::string text = summary(c.run, &failures, &latencyFailures);
        EXPECT_EQ(failures.size(), c.failures) << text;
        EXPECT_EQ(static_cast<size_t>(latencyFailures), c.latency) << text;
        EXPECT_NE(text.find("FAILED"), std::string::npos);
    }
}

}  // namespace
}  // namespace qrx::soak
