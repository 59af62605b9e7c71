#include "log/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/event_log.h"
#include "log/rate_limit.h"
#include "test_support.h"

namespace qrx {
namespace {

using test::readFile;

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake.clock.wallTime = test::makeTime(2026, 12, 6, 14, 3, 7, 45);
        test::makeDirs(dir / "drive_c/qrx");
    }
    std::string logText() { return readFile(dir / "drive_c/qrx/sock.log"); }
    std::string older() { return readFile(dir / "drive_c/qrx/sock.log.1"); }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
};

TEST_F(LogTest, LineHasNameTimeLevelAndFileThenCrLf) {
    logMessage(fake, 6, "C:\\src\\Server\\Processor.cpp", 88, "hello");
    logMessage(fake, 3, "Server.cpp", 7, "");
    EXPECT_EQ(logText(),
              "[QRXScanServer][06,14:03:07.045][Level:6][Processor.cpp(88)]hello\r\n"
              "[QRXScanServer][06,14:03:07.045][Level:3][Server.cpp(7)]\r\n");
    EXPECT_EQ(fake.files.appends.size(), 2u);
}

TEST_F(LogTest, MonthAndYearAreNotWritten) {
    fake.clock.wallTime = test::makeTime(2027, 1, 6, 0, 0, 0, 0);
    logMessage(fake, 6, "Server.cpp", 1, "x");
    EXPECT_EQ(logText(), "[QRXScanServer][06,00:00:00.000][Level:6][Server.cpp(1)]x\r\n");
}

TEST_F(LogTest, MessagesUpTo4095CharactersGoOutInOneWrite) {
    std::string message(4095, 'm');
    logMessage(fake, 6, "Processor.cpp", 1, message.c_str());
    ASSERT_EQ(fake.files.appends.size(), 1u);
    EXPECT_EQ(fake.files.appends[0],
              "[QRXScanServer][06,14:03:07.045][Level:6][Processor.cpp(1)]" + message + "\r\n");
}

TEST_F(LogTest, LongerMessagesGoOutInThreeWritesWithTheSameBytes) {
    std::string message(4096, 'm');
    logMessage(fake, 6, "Processor.cpp", 1, message.c_str());
    const std::string header = "[QRXScanServer][06,14:03:07.045][Level:6][Processor.cpp(1)]";
    ASSERT_EQ(fake.files.appends.size(), 3u);
    EXPECT_EQ(fake.files.appends[0], header);
    EXPECT_EQ(fake.files.appends[1], message);
    EXPECT_EQ(fake.files.appends[2], "\r\n");
    EXPECT_EQ(logText(), header + message + "\r\n");
}

TEST_F(LogTest, AMissingFolderLosesTheLineQuietly) {
    test::TempDir empty;
    PosixPlatform bare{empty.path()};
    logMessage(bare, 6, "Server.cpp", 1, "Server Start");
    EXPECT_FALSE(test::exists(empty / "drive_c"));
}

TEST_F(LogTest, OtherFlagsShapeTheHeader) {
    CLogConfig config{LOG_TIME | LOG_FULL_PATH | LOG_FILE_NAME | LOG_NO_LEVEL | LOG_PID_TID, 6, "N",
                      "unused"};
    char buffer[kLogHeaderArea];
    size_t length = formatLogHeader(fake, buffer, config, 6, "a/b/c.cpp", 3);
    std::string expected =
        "[06,14:03:07.045][a/b/c.cpp(3)][PID:" + std::to_string(fake.process.processId()) +
        "][TID:" + std::to_string(fake.process.threadId()) + "]";
    EXPECT_EQ(std::string(buffer, length), expected);
    // No source path: no location field.
    config.flags = LOG_NAME | LOG_FILE_NAME;
    length = formatLogHeader(fake, buffer, config, 3, nullptr, 3);
    EXPECT_EQ(std::string(buffer, length), "[N][Level:3]");
}

TEST_F(LogTest, AHeaderIsCutAtTheEndOfItsArea) {
    std::string source(5000, 's');
    CLogConfig config{LOG_NAME | LOG_FULL_PATH, 6, "N", "unused"};
    char buffer[kLogHeaderArea];
    size_t length = formatLogHeader(fake, buffer, config, 6, source.c_str(), 1);
    EXPECT_EQ(length, kLogHeaderArea - 1);
    EXPECT_EQ(std::string(buffer, 16), "[N][Level:6][sss");
}

TEST_F(LogTest, ALineThatWouldPassTheBoundMovesTheLogAside) {
    CLogConfig config{LOG_CRLF | LOG_NO_LEVEL | LOG_TO_FILE, 6, "N", "c:\\qrx\\sock.log", 100};
    std::string all;
    for (int i = 0; i < 24; ++i) {
        // From line 12 on a reader holds the log without sharing delete: it
        // is copied and cut in place of the rename.
        if (i == 12) fake.files.held = {{"c:\\qrx\\sock.log", test::FakeFiles::Hold::Renames}};
        const std::string message = "line " + std::to_string(i) + std::string(20, '.');
        writeLog(fake, config, 6, nullptr, 0, message.c_str());
        all += message + "\r\n";
        const std::string older = readFile(dir / "drive_c/qrx/sock.log.1");
        EXPECT_LE(logText().size(), 100u);
        EXPECT_LE(older.size(), 100u);
        // Nothing is lost but what the second move replaced, nothing doubled.
        EXPECT_EQ(all.substr(all.size() - older.size() - logText().size()), older + logText());
    }
}

// Beside a program that holds the log or ".1": ".1" is replaced only by a
// rotation that worked, and no line is lost or doubled. After a failed try a
// line costs one append, until a sixteenth of the bound has been logged or a
// minute has passed, twice and then four times that when each try copied the
// log in vain; the failure is logged once, again after 10 minutes, and its
// end once.
TEST_F(LogTest, ARotationThatCannotBeDoneKeepsTheHistoryAndWaits) {
    using Hold = test::FakeFiles::Hold;
    using Calls = std::vector<std::string>;
    const std::string log = "c:\\qrx\\sock.log", history = "older history\r\n";
    const std::string full(3190, '.'), held = ": The process cannot access the file";
    const struct {
        const char* what;
        std::string file;
        Hold hold;
        bool copiesFail;
        std::string reason;  // empty: it rotates
        bool stretches;      // each try spends a copy: the wait grows
    } rows[] = {
        {"the rename fails", log, Hold::Renames, false, "", false},
        {"the copy fails", log, Hold::Renames, true, "it cannot be copied: No space left", true},
        {"the cut fails", log, Hold::Cuts, false, "it cannot be cut" + held, false},
        {"the cut fails after its check", log, Hold::Maps, false, "it cannot be cut" + held, true},
        {".1 is held", log + ".1", Hold::Renames, false, "sock.log.1 cannot be replaced" + held,
         false},
    };
    for (const auto& row : rows) {
        test::writeFile(dir / "drive_c/qrx/sock.log.1", history);
        test::writeFile(dir / "drive_c/qrx/sock.log", full);
        CLogConfig config{LOG_CRLF | LOG_NO_LEVEL | LOG_TO_FILE, 6, "N", log, 3200};
        fake.files.held = {{row.file, row.hold}};
        fake.files.copiesFail = row.copiesFail;
        fake.files.appends.clear();
        fake.process.events.clear();
        const bool fails = !row.reason.empty();
        auto write = [&](const std::string& message, int64_t seconds) {
            fake.clock.monotonic = seconds * 1000;
            fake.files.calls.clear();
            writeLog(fake, config, 6, nullptr, 0, message.c_str());
            return fake.files.calls;
        };
        const std::string failure = "sock.log cannot be rotated (" + row.reason;
        auto failureLines = [&] {
            return std::count_if(fake.files.appends.begin(), fake.files.appends.end(),
                                 [&](auto& line) { return line.rfind(failure, 0) == 0; });
        };
        write("the first line past the bound", 0);
        EXPECT_EQ(older(), fails ? history : full) << row.what;
        EXPECT_EQ(logText().find(fails ? full + failure : "the first"), 0u) << row.what;
        const Calls perLine = fails ? Calls{"append"} : Calls{"size", "append"};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(write("x", 59), perLine) << row.what;
        // Tried again after a minute, logged again after 10.
        EXPECT_EQ(write("a minute on", 60).size() > 2, fails) << row.what;
        EXPECT_EQ(failureLines(), fails ? 1 : 0) << row.what;
        write("ten minutes on", 600);
        EXPECT_EQ(failureLines(), fails ? 2 : 0) << row.what;
        // Each failure line is a warning event too: the log is no place to
        // say so alone.
        ASSERT_EQ(fake.process.events.size(), fails ? 2u : 0u) << row.what;
        for (const auto& event : fake.process.events) {
            EXPECT_EQ(event.type, EventType::Warning) << row.what;
            EXPECT_EQ(event.id, 130u) << row.what;
            EXPECT_EQ(event.text.rfind(failure, 0), 0u) << event.text;
        }
        EXPECT_EQ(older(), fails ? history : full) << row.what;
        // Tries that copied in vain came at 0, 60 and 600 s: the next is due
        // four minutes on.
        EXPECT_EQ(write("a minute after the last try", 660).size() > 2, fails && !row.stretches)
            << row.what;
        // Let go: a sixteenth of the bound later, without a minute passing.
        fake.files.held.clear();
        fake.files.copiesFail = false;
        const int64_t letGo = row.stretches ? 840 : 660;
        write(std::string(198, 'y'), letGo);
        EXPECT_EQ(logText().find(fails ? "sock.log is rotated again, after " +
                                             std::to_string(letGo) + " s: its "
                                       : "the first"),
                  0u)
            << row.what;
        std::string all = full;
        for (const std::string& line : fake.files.appends) all += line;
        EXPECT_EQ(older() + logText(), all) << row.what;
        EXPECT_FALSE(test::exists(dir / "drive_c/qrx/sock.log.1.old")) << row.what;
    }
}

// The older history set aside for a copy and cut cannot be put back at once,
// or a crash left it aside: it goes back before anything else, and is never
// replaced by a later try.
TEST_F(LogTest, AHistoryLeftAsideGoesBackFirst) {
    using Hold = test::FakeFiles::Hold;
    const std::string log = "c:\\qrx\\sock.log", history = "older history\r\n";
    const std::string full(3190, '.');
    const std::string aside = dir / "drive_c/qrx/sock.log.1.old";
    const struct {
        const char* what;
        bool crashed;     // the history stands aside at start
        std::string log;  // what the log holds then
        std::string older;
    } rows[] = {
        {"its return fails, then a try a minute on", false, full, ""},
        {"a crash before the cut", true, full, "part of a copy"},
        {"a crash after the cut", true, "", "a whole copy"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        test::writeFile(dir / "drive_c/qrx/sock.log", row.log);
        test::writeFile(dir / "drive_c/qrx/sock.log.1", row.crashed ? row.older : history);
        if (row.crashed) test::writeFile(aside, history);
        CLogConfig config{LOG_CRLF | LOG_NO_LEVEL | LOG_TO_FILE, 6, "N", log, 3200};
        fake.files.held = {{log, Hold::Maps}};  // copied, but not cut
        // The history's move aside passes and its return fails.
        fake.files.replacesBeforeFail = row.crashed ? -1 : 1;
        fake.clock.monotonic = 0;
        writeLog(fake, config, 6, nullptr, 0, "a line past the bound");
        if (!row.crashed) {
            EXPECT_EQ(test::readFile(aside), history);  // kept aside, not lost
            fake.clock.monotonic = 60 * 1000;
            writeLog(fake, config, 6, nullptr, 0, "a minute on");
        }
        EXPECT_FALSE(test::exists(aside));
        EXPECT_EQ(older(), row.log.empty() ? row.older : history);
        fake.files.held.clear();
    }
}

TEST_F(LogTest, WithoutTheFileFlagLinesGoToTheDebuggerOutput) {
    CLogConfig config{LOG_NAME | LOG_CRLF, 6, "N", "c:\\qrx\\sock.log"};
    testing::internal::CaptureStderr();
    writeLog(fake, config, 6, nullptr, 0, "to the debugger");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[N][Level:6]to the debugger\r\n");
    EXPECT_TRUE(fake.files.appends.empty());
}

// A lasting fault's line: written once, then counted, the count written
// once a minute; after a quiet minute with nothing counted, in full again.
// A lasting fault is one event, then its count with the next one due; a
// state of a place (a folder fails, works) is shown as it changes, so that
// the latest event for the place tells its state.
TEST_F(LogTest, TheEventLogCountsAFaultAndShowsAPlacesState) {
    struct Step {
        int minute;
        const char* call;  // "fault", "fails", "works"
        const char* sent;  // the event's text, "" for none
    };
    const Step steps[] = {
        {0, "fault", "drop"},
        {1, "fault", ""},
        {2, "fault", ""},
        {11, "fault", "drop (3 times since this was last reported, 11 minutes ago)"},
        {20, "fails", "fails"},
        {21, "works", "works"},
        {22, "fails", "fails"},  // though within 10 minutes of the first
        {23, "fails", ""},
        {24, "works", "works"},  // though within 10 minutes of the first
        {25, "works", ""},
    };
    EventLog events(fake);
    fake.clock.monotonic = 0;
    for (const Step& step : steps) {
        fake.clock.monotonic = int64_t{step.minute} * 60 * 1000;
        fake.process.events.clear();
        const std::string call = step.call;
        if (call == "fault") events.report(Event::RepliesDropped, "drop");
        if (call == "fails") events.reportFailing(Event::FolderFails, "fails", "c:\\scan\\result");
        if (call == "works") events.reportWorking(Event::FolderWorks, "works", "c:\\scan\\result");
        const std::string sent = fake.process.events.empty() ? "" : fake.process.events.back().text;
        EXPECT_EQ(sent, step.sent) << step.minute;
        EXPECT_LE(fake.process.events.size(), 1u) << step.minute;
    }
}

// What a lasting fault says at each occurrence, each turn (due) and at its
// end, for each kind of place: those that count the occurrences after the
// line (dropped replies, refused connections, events), those that repeat the
// line (a failing folder, a log that cannot be rotated), and those that name
// occurrences by a rule of their own and only count the rest (refused CURVE
// clients). The interval is a minute.
TEST(RateLimitTest, ALineThenACountOrTheLineAgainThenTheRecovery) {
    using Between = RateLimit::Between;
    struct Row {
        Between between;
        int64_t second;
        const char* call;  // "occur", "due", "recover"
        const char* said;  // "line", "N in S s" (a count), "recovery after S s", "" for nothing
    };
    const Row rows[] = {
        {Between::count, 0, "occur", "line"},
        {Between::count, 1, "occur", ""},
        {Between::count, 59, "occur", ""},
        {Between::count, 59, "due", ""},
        {Between::count, 60, "due", "2 in 60 s"},
        {Between::count, 60, "due", ""},
        {Between::count, 61, "occur", ""},   // within a minute of the count
        {Between::count, 130, "occur", ""},  // counted: the count is due first
        {Between::count, 130, "due", "2 in 70 s"},
        {Between::count, 190, "occur", "line"},  // a quiet minute since the count
        {Between::count, 191, "occur", ""},
        {Between::count, 200, "recover", "recovery after 200 s"},
        {Between::count, 201, "recover", ""},
        {Between::count, 202, "occur", "line"},
        {Between::count, 262, "due", ""},  // what was counted went with the recovery

        {Between::repeat, 0, "occur", "line"},
        {Between::repeat, 30, "occur", ""},
        {Between::repeat, 59, "occur", ""},
        {Between::repeat, 60, "due", ""},  // nothing counted
        {Between::repeat, 60, "occur", "line"},
        {Between::repeat, 119, "occur", ""},
        {Between::repeat, 150, "recover", "recovery after 150 s"},
        {Between::repeat, 151, "occur", "line"},

        {Between::countOnly, 10, "occur", ""},
        {Between::countOnly, 11, "occur", ""},
        {Between::countOnly, 69, "due", ""},
        {Between::countOnly, 70, "due", "2 in 60 s"},
        {Between::countOnly, 200, "occur", ""},  // never the line, though quiet
        {Between::countOnly, 200, "due", "1 in 130 s"},
        {Between::countOnly, 201, "recover", "recovery after 191 s"},
    };
    RateLimit limits[] = {RateLimit(60 * 1000, Between::count),
                          RateLimit(60 * 1000, Between::repeat),
                          RateLimit(60 * 1000, Between::countOnly)};
    for (const Row& row : rows) {
        RateLimit& limit = limits[static_cast<int>(row.between)];
        const int64_t now = row.second * 1000;
        const std::string call = row.call;
        const Said said = call == "occur" ? limit.occur(now)
                          : call == "due" ? limit.due(now)
                                          : limit.recover(now);
        std::string text;
        if (said.what == Said::What::line) text = "line";
        if (said.what == Said::What::count)
            text = std::to_string(said.times) + " in " + std::to_string(said.seconds) + " s";
        if (said.what == Said::What::recovery)
            text = "recovery after " + std::to_string(said.seconds) + " s";
        EXPECT_EQ(text, row.said) << static_cast<int>(row.between) << " at " << row.second << " "
                                  << row.call;
    }
}

}  // namespace
}  // namespace qrx
