// The two scan workers at the edges, driven turn by turn with a fake clock
// and an in-memory desktop; the command file and the result folders are real
// files in a temporary prefix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "export/record_stamp.h"
#include "jsontext/styled_json.h"
#include "processor/processor.h"
#include "processor/request_loop.h"
#include "processor_peer.h"
#include "test_support.h"

namespace qrx {
namespace {

using test::readFile;
using test::writeFile;

class WorkersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* sub : {"drive_c/qrx", "drive_d/scan", "drive_d/scan_jw"})
            test::makeDirs(dir / sub);
        peer.settings().scanCmdPath = "D:\\scancmd.scc";
        peer.settings().scanResultDir = "D:\\scan\\";
        peer.settings().scanResultJwDir = "D:\\scan_jw\\";
        peer.settings().waitTime = 180;
        peer.settings().hourCtrlId = 49;
        peer.settings().minuteCtrlId = 53;
        peer.settings().caption = "Capture";
        fake.clock.wallTime = test::makeTime(2026, 12, 7, 9, 5, 0, 0);
        fake.clock.monotonic = kStart;
    }
    // A card queued with its kind, as the request handler queues it; one
    // whose ScanCmd cannot be text (never accepted) is queued as a C card.
    void queue(const std::string& scanCmdJson, const std::string& name) {
        Json::Value scanCmd;
        parseJson(scanCmdJson.empty() ? "null" : scanCmdJson, &scanCmd);
        const bool text = !scanCmd.isArray() && !scanCmd.isObject();
        peer.cacheList().push_back(text ? kindOf(scanCmd.asString()) : 'C',
                                   "{\"cardtype\":1,\"name\":\"" + name + "\"" +
                                       (scanCmdJson.empty() ? "" : ",\"ScanCmd\":" + scanCmdJson) +
                                       "}");
    }
    std::string cmdFile() { return readFile(dir / "drive_d/scancmd.scc"); }
    void setCmdFile(const std::string& content) { writeFile(dir / "drive_d/scancmd.scc", content); }
    // Names of the queued requests, oldest first.
    std::vector<std::string> queuedNames() {
        std::vector<std::string> names;
        for (const QueuedRecord& queued : peer.cacheList()) {
            Json::Value value;
            parseJson(queued.text, &value);
            names.push_back(value["name"].asString());
        }
        return names;
    }
    std::string recordIn(const std::string& folder, const std::string& stamp) {
        return readFile(dir / "drive_d/" + folder + "/" + stamp + ".xml");
    }
    std::string logText() { return readFile(dir / "drive_c/qrx/sock.log"); }
    // A request loop on endpoints of the test's own; turns run the workers.
    RequestLoop& openLoop() {
        peer.settings().address = "ipc://" + dir / "reply.ipc";
        peer.settings().addressEx = "ipc://" + dir / "router.ipc";
        loop = std::make_unique<RequestLoop>(processor);
        loop->open();
        return *loop;
    }
    // Time passes: both clocks move on.
    void advance(int64_t seconds) {
        *fake.clock.monotonic += seconds * 1000;
        for (int64_t i = 0; i < seconds; ++i)
            *fake.clock.wallTime = nextSecond(*fake.clock.wallTime);
    }
    // A time sync steps the wall clock by whole hours; the monotonic clock
    // does not move.
    void stepWallClock(int hours) { fake.clock.wallTime->hour += hours; }

    static constexpr int64_t kStart = 1000000 * 1000;  // monotonic milliseconds

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    CProcessor processor{fake};
    CProcessorPeer peer{processor};
    std::unique_ptr<RequestLoop> loop;
};

// Scan mode 1.

TEST_F(WorkersTest, Mode1IdleTakesOnlyUpperCaseLetters) {
    processor.processCache1();
    EXPECT_TRUE(test::exists(dir / "drive_d/scancmd.scc"));  // created empty
    EXPECT_EQ(cmdFile(), "");
    for (const std::string content : {"c", "0", "5", "2CARD", "1"}) {
        setCmdFile(content);
        processor.processCache1();
        EXPECT_EQ(cmdFile(), content);
        EXPECT_TRUE(peer.pendingCmd().empty());
    }
    setCmdFile("F");
    processor.processCache1();
    EXPECT_EQ(cmdFile(), "1");
    EXPECT_EQ(peer.pendingCmd(), "F");
    EXPECT_EQ(peer.pendingSince(), kStart);
}

TEST_F(WorkersTest, Mode1APendingCommandTimesOutAfterThirtySeconds) {
    setCmdFile("C");
    processor.processCache1();
    advance(30);
    processor.processCache1();
    EXPECT_EQ(cmdFile(), "1");
    EXPECT_EQ(peer.pendingCmd(), "C");
    advance(1);
    setCmdFile("X");  // the application wrote something else meanwhile
    processor.processCache1();
    EXPECT_EQ(cmdFile(), "X");
    EXPECT_EQ(peer.pendingCmd(), "C");
    setCmdFile("1");
    processor.processCache1();
    EXPECT_EQ(cmdFile(), "5");
    EXPECT_TRUE(peer.pendingCmd().empty());
}

// A time sync that steps the wall clock moves no interval: a pending command
// is answered "5" more than 30 s after it was taken, by the monotonic clock.
TEST_F(WorkersTest, Mode1PendingTimeoutFollowsTheMonotonicClock) {
    const struct {
        int wallStepHours;
        int64_t seconds;  // passed since the letter was taken
        const char* file;
    } rows[] = {{-1, 31, "5"}, {1, 1, "1"}, {1, 30, "1"}};
    for (const auto& row : rows) {
        peer.pendingCmd().clear();
        setCmdFile("C");
        processor.processCache1();
        stepWallClock(row.wallStepHours);
        advance(row.seconds);
        processor.processCache1();
        EXPECT_EQ(cmdFile(), row.file) << row.wallStepHours << " h, " << row.seconds << " s";
    }
}

TEST_F(WorkersTest, Mode1HandsOverTheOldestRequestOfTheAskedKind) {
    queue("\"F-1\"", "older F");
    queue("\"C-1\"", "first C");
    queue("\"C-2\"", "second C");
    setCmdFile("C");
    processor.processCache1();  // takes the letter
    processor.processCache1();  // answers it
    EXPECT_EQ(cmdFile(), "2C-1");
    EXPECT_TRUE(peer.pendingCmd().empty());
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"older F", "second C"}));
    EXPECT_NE(recordIn("scan", "20261207090500").find("<NAME>first C</NAME>"), std::string::npos);
    EXPECT_EQ(peer.lastXmlPath(), "D:\\scan\\20261207090500.xml");

    setCmdFile("F");
    processor.processCache1();
    processor.processCache1();
    EXPECT_EQ(cmdFile(), "2F-1");
    EXPECT_NE(recordIn("scan_jw", "20261207090500").find("<SEX></SEX>"), std::string::npos);
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"second C"}));
}

TEST_F(WorkersTest, Mode1AnswersFiveWhenNothingOfTheKindIsQueued) {
    queue("\"C\"", "c");
    queue("", "no ScanCmd");
    queue("null", "null ScanCmd");
    queue("\"\"", "empty ScanCmd");
    queue("7", "number");
    setCmdFile("F");
    processor.processCache1();
    processor.processCache1();
    EXPECT_EQ(cmdFile(), "5");
    EXPECT_TRUE(peer.pendingCmd().empty());
    EXPECT_EQ(peer.cacheList().size(), 5u);
}

TEST_F(WorkersTest, Mode1DropsThePendingCommandWhenTheFileMovedOn) {
    queue("\"C\"", "c");
    setCmdFile("C");
    processor.processCache1();
    setCmdFile("F");  // a new letter before the answer
    processor.processCache1();
    EXPECT_TRUE(peer.pendingCmd().empty());
    EXPECT_EQ(cmdFile(), "F");
    EXPECT_NE(logText().find("[Level:3][Processor.cpp("), std::string::npos);
    EXPECT_NE(logText().find(")]processCache error type!\r\n"), std::string::npos);
    EXPECT_EQ(peer.cacheList().size(), 1u);
    processor.processCache1();  // the new letter is taken as usual
    EXPECT_EQ(peer.pendingCmd(), "F");
}

TEST_F(WorkersTest, Mode1DropsOnlyTheBrokenEntries) {
    peer.cacheList().push_back('C', "not json");
    queue("[\"C\"]", "array");
    queue("\"F\"", "f");
    queue("{\"k\":1}", "object");
    queue("\"C\"", "c");
    setCmdFile("C");
    processor.processCache1();
    processor.processCache1();
    EXPECT_EQ(cmdFile(), "2C");
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"f"}));
    std::string log = logText();
    EXPECT_NE(log.find(")]processCache1 dropped a queued request whose ScanCmd is not text\r\n"),
              std::string::npos);
    EXPECT_NE(log.find(")]processCache1 dropped a queued request that is not JSON\r\n"),
              std::string::npos);
    EXPECT_EQ(log.find("not json"), std::string::npos);  // what it held is not logged
    EXPECT_EQ(log.find("exceptions occur"), std::string::npos);
}

// The application holds the command file at the moment of a step: nothing
// changes, and once it lets go the step is taken as usual.
TEST_F(WorkersTest, Mode1LeavesAFileHeldByTheDesktopSideAlone) {
    const struct {
        const char* step;
        const char* queued;   // the ScanCmd of a queued card, or none
        int64_t seconds;      // waited since the letter was taken
        const char* pending;  // pendingCmd while the file is held
        const char* after;    // the file once let go
    } rows[] = {
        {"taking the letter", nullptr, 0, "", "1"},
        {"answering it", "\"F\"", 0, "C", "5"},  // a pending C beside an F card
        {"timing it out", nullptr, 31, "C", "5"},
    };
    for (const auto& row : rows) {
        peer.pendingCmd().clear();
        peer.cacheList().clear();
        setCmdFile("C");
        if (row.pending[0] != '\0') processor.processCache1();  // takes the letter
        if (row.queued != nullptr) queue(row.queued, "queued");
        advance(row.seconds);
        int other = open((dir / "drive_d/scancmd.scc").c_str(), O_RDWR);
        ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
        processor.processCache1();
        close(other);
        EXPECT_EQ(peer.pendingCmd(), row.pending) << row.step;
        processor.processCache1();
        EXPECT_EQ(cmdFile(), row.after) << row.step;
    }
    EXPECT_EQ(logText(), "");
}

// Scan mode 2.

TEST_F(WorkersTest, Mode2WithAnEmptyCacheDoesNotTouchTheFile) {
    processor.processCache2();
    EXPECT_FALSE(test::exists(dir / "drive_d/scancmd.scc"));
}

TEST_F(WorkersTest, Mode2HandsTheOldestOverWhenTheFileReadsZero) {
    WindowHandle capture = fake.desktop.addWindow("Capture", "Dialog");
    fake.desktop.addWindow("", "Edit", capture, 49);
    fake.desktop.addWindow("", "Edit", capture, 53);
    queue("\"C7\"", "first");
    queue("\"F\"", "second");
    writeFile(dir / "drive_d/scan/20261207085959.xml.part", "left by a crash");
    writeFile(dir / "drive_d/scan/notes.xml.part", "not ours");
    processor.processCache2();  // no "0" yet
    EXPECT_EQ(peer.cacheList().size(), 2u);
    setCmdFile("0");
    processor.processCache2();
    EXPECT_EQ(cmdFile(), "2C7");
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"second"}));
    EXPECT_EQ(peer.waitStart(), kStart);
    EXPECT_NE(recordIn("scan", "20261207090500").find("<NAME>first</NAME>"), std::string::npos);
    EXPECT_FALSE(test::exists(dir / "drive_d/scan/20261207085959.xml.part"));
    EXPECT_TRUE(test::exists(dir / "drive_d/scan/notes.xml.part"));
    ASSERT_EQ(fake.desktop.textsSent.size(), 2u);
    EXPECT_EQ(fake.desktop.textsSent[0].second, "09");
    EXPECT_EQ(fake.desktop.textsSent[1].second, "05");
    processor.processCache2();  // the file holds the answer, not "0"
    EXPECT_EQ(peer.cacheList().size(), 1u);
}

TEST_F(WorkersTest, Mode2HandsOverEvenWhenTheCaptureApplicationIsHung) {
    WindowHandle capture = fake.desktop.addWindow("Capture", "Dialog");
    fake.desktop.addWindow("", "Edit", capture, 49);
    fake.desktop.addWindow("", "Edit", capture, 53);
    fake.desktop.hung = true;
    queue("\"C\"", "first");
    setCmdFile("0");
    processor.processCache2();
    EXPECT_EQ(cmdFile(), "2C");
    EXPECT_NE(recordIn("scan", "20261207090500").find("<NAME>first</NAME>"), std::string::npos);
    EXPECT_TRUE(peer.cacheList().empty());
    EXPECT_NE(logText().find("did not take the clock within 2000 ms"), std::string::npos);
}

TEST_F(WorkersTest, Mode2WaitsForThePreviousRecordOrWaitTime) {
    queue("\"C\"", "first");
    queue("\"F\"", "second");
    queue("\"\"", "third");
    setCmdFile("0");
    processor.processCache2();
    setCmdFile("0");
    advance(180);
    processor.processCache2();  // record still there, now == waitStart + waitTime
    EXPECT_EQ(peer.cacheList().size(), 2u);
    advance(1);
    processor.processCache2();
    EXPECT_EQ(cmdFile(), "2F");
    EXPECT_EQ(peer.lastXmlPath(), "D:\\scan_jw\\20261207090801.xml");

    setCmdFile("0");
    unlink((dir / "drive_d/scan_jw/20261207090801.xml").c_str());  // the desktop took it
    processor.processCache2();
    EXPECT_EQ(cmdFile(), "2");  // empty ScanCmd: "2" alone, into the other folder
    EXPECT_TRUE(peer.cacheList().empty());
}

TEST_F(WorkersTest, Mode2HoldsBackWhileThePromptBoxIsOpen) {
    WindowHandle prompt = fake.desktop.addWindow("\xCC\xE1\xCA\xBE", "#32770");
    fake.desktop.addWindow("\xCC\xE1\xCA\xBE", "OtherClass");
    queue("\"C\"", "first");
    queue("\"C\"", "second");
    setCmdFile("0");
    processor.processCache2();
    EXPECT_EQ(peer.cacheList().size(), 2u);
    EXPECT_EQ(peer.waitStart(), kStart);
    advance(600);
    processor.processCache2();
    EXPECT_EQ(peer.waitStart(), kStart + 600 * 1000);  // moves with every sight of the box
    fake.desktop.windows[prompt - 1].title = "closed";
    processor.processCache2();  // no previous record: goes at once
    EXPECT_EQ(peer.cacheList().size(), 1u);

    setCmdFile("0");
    fake.desktop.windows[prompt - 1].title = "\xCC\xE1\xCA\xBE";
    advance(100);
    processor.processCache2();
    fake.desktop.windows[prompt - 1].title = "closed";
    advance(180);
    processor.processCache2();  // the record is still there: 180 s from the last sight
    EXPECT_EQ(peer.cacheList().size(), 1u);
    advance(1);
    processor.processCache2();
    EXPECT_TRUE(peer.cacheList().empty());
}

TEST_F(WorkersTest, Mode2WaitTimeZeroAndNegative) {
    peer.settings().waitTime = 0;
    queue("\"C\"", "a");
    queue("\"C\"", "b");
    setCmdFile("0");
    processor.processCache2();
    setCmdFile("0");
    processor.processCache2();  // same second: still waits
    EXPECT_EQ(peer.cacheList().size(), 1u);
    advance(1);
    processor.processCache2();
    EXPECT_TRUE(peer.cacheList().empty());

    peer.settings().waitTime = -5;
    queue("\"C\"", "c");
    setCmdFile("0");
    processor.processCache2();  // never waits
    EXPECT_TRUE(peer.cacheList().empty());
}

TEST_F(WorkersTest, Mode2DropsOnlyTheBrokenEntries) {
    peer.cacheList().push_back('C', "{broken");
    queue("{\"a\":1}", "object");
    queue("\"F\"", "good");
    queue("\"C\"", "next");
    setCmdFile("0");
    processor.processCache2();
    EXPECT_EQ(cmdFile(), "2F");
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"next"}));
    EXPECT_NE(logText().find(")]processCache2 dropped a queued request whose ScanCmd is not text"),
              std::string::npos);
}

// A worker's step that fails with an exception drops at most the card in
// hand, with what of its record was written, and the next step hands the
// next card over.
TEST_F(WorkersTest, AnExceptionDropsOnlyTheCardInHand) {
    const struct {
        const char* fault;
        int scanMode;
        std::function<void(test::FakePlatform&)> inject;
        bool cardDropped;
    } rows[] = {
        {"a file check fails before a card is read", 2,
         [](test::FakePlatform& f) { f.files.failFileChecks = true; }, false},
        {"the record's second file fails", 2,
         [](test::FakePlatform& f) { f.files.writesBeforeThrow = 1; }, true},
        {"the clock fails once the record is written", 2,
         [](test::FakePlatform& f) { f.desktop.textThrows = true; }, true},
        {"the record's first file fails", 1,
         [](test::FakePlatform& f) { f.files.writesBeforeThrow = 0; }, true},
    };
    WindowHandle capture = fake.desktop.addWindow("Capture", "Dialog");
    fake.desktop.addWindow("", "Edit", capture, 49);
    fake.desktop.addWindow("", "Edit", capture, 53);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        peer.cacheList().clear();
        std::filesystem::remove(dir / "drive_c/qrx/sock.log");
        queue("\"C\"", "a");
        queue("\"C\"", "b");
        auto step = [&] {
            if (row.scanMode == 2)
                processor.processCache2();
            else
                processor.processCache1();
        };
        setCmdFile(row.scanMode == 2 ? "0" : "C");
        if (row.scanMode == 1) step();  // takes the command: "1"
        row.inject(fake);
        step();
        fake.files.failFileChecks = false;
        fake.files.writesBeforeThrow = -1;
        fake.desktop.textThrows = false;

        const std::string log = logText();
        EXPECT_NE(
            log.find(")]processCache" + std::to_string(row.scanMode) + " exceptions occur.\r\n"),
            std::string::npos);
        EXPECT_EQ(log.find("dropped the queued card \"C\"; 1 stay queued\r\n") != std::string::npos,
                  row.cardDropped);
        const std::vector<std::string> left =
            row.cardDropped ? std::vector<std::string>{"b"} : std::vector<std::string>{"a", "b"};
        EXPECT_EQ(queuedNames(), left);
        EXPECT_TRUE(test::isEmptyDir(dir / "drive_d/scan"));
        EXPECT_EQ(cmdFile(), row.scanMode == 2 ? "0" : "1");
        if (row.scanMode == 1) {
            EXPECT_EQ(peer.pendingCmd(), "C");  // still to be answered
        }

        step();  // the next card goes as usual
        EXPECT_EQ(cmdFile(), "2C");
        EXPECT_EQ(queuedNames().size(), row.cardDropped ? 0u : 1u);
        for (const auto& entry : std::filesystem::directory_iterator(dir / "drive_d/scan"))
            std::filesystem::remove(entry.path());
    }
}

// The turn.

TEST_F(WorkersTest, Mode3SkipsTheHandOverInATurnThatLeavesACommandPending) {
    peer.settings().scanMode = 3;
    RequestLoop& loop = openLoop();
    queue("\"F\"", "f");
    setCmdFile("C");
    loop.turn();  // processCache1 takes the letter; processCache2 is not called
    EXPECT_EQ(peer.pendingCmd(), "C");
    EXPECT_EQ(fake.files.exclusiveOpens, 1);
    loop.turn();  // "5": nothing of kind C; then processCache2 looks (the file is not "0")
    EXPECT_EQ(cmdFile(), "5");
    EXPECT_EQ(fake.files.exclusiveOpens, 3);
    EXPECT_EQ(peer.cacheList().size(), 1u);
}

// Both modes, the disk full from the card image, the head image, the record,
// its rename or its announcement on; then the files of the record not
// announced may stand until room is made (a program holds them): {scan
// mode, writes before it is full, files held}.
class FullDiskTest : public WorkersTest,
                     public ::testing::WithParamInterface<std::tuple<int, int, bool>> {
  protected:
    std::vector<std::string> filesIn(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "drive_d/" + folder))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_P(FullDiskTest, ARecordThatCannotBeWrittenIsNeverAnnouncedAndItsCardArrivesOnce) {
    const auto [mode, writes, held] = GetParam();
    const bool mode1 = mode == 1;
    auto turn = [&] { mode1 ? processor.processCache1() : processor.processCache2(); };
    WindowHandle capture = fake.desktop.addWindow("Capture", "Dialog");
    fake.desktop.addWindow("", "Edit", capture, 49);
    if (mode1) queue("\"F-0\"", "other kind");  // passed over for the C asked
    queue("\"C-1\"", "first");
    queue("\"C-2\"", "second");
    setCmdFile(mode1 ? "C" : "0");
    if (mode1) turn();  // takes the letter
    fake.files.writesBeforeFull = writes;
    fake.files.deletesHeld = held;
    turn();
    advance(5);
    turn();  // still full
    advance(4);
    fake.files.writesBeforeFull = -1;  // room made, but too soon to try again
    fake.files.deletesHeld = false;
    turn();
    EXPECT_EQ(cmdFile(), mode1 ? "1" : "0");
    // Only the first try's whole record, not announced, where it was held.
    const std::vector<std::string> unannounced{"20261207090500.jpg", "20261207090500.xml",
                                               "20261207090500_head.jpg"};
    EXPECT_EQ(filesIn("scan"), held ? unannounced : std::vector<std::string>{});
    advance(1);
    turn();
    EXPECT_EQ(cmdFile(), "2C-1");
    EXPECT_EQ(filesIn("scan"), (std::vector<std::string>{"20261207090510.jpg", "20261207090510.xml",
                                                         "20261207090510_head.jpg"}));
    EXPECT_NE(recordIn("scan", "20261207090510").find("<NAME>first</NAME>"), std::string::npos);
    std::vector<std::string> left{"second"};
    if (mode1) left.insert(left.begin(), "other kind");
    EXPECT_EQ(queuedNames(), left);
    // The fifth write is the announcement, the command file's failure; the
    // next try fills the disk at the card image, or, while the files of the
    // record not announced stand, writes nothing.
    const bool announcing = writes == 4;
    const std::string full = ": No space left on device; the card stays queued and is tried again";
    const std::string stand = "\"D:\\scan\\20261207090500.jpg\": The process cannot access";
    std::vector<std::string> says{
        "cannot write a record into \"D:\\scan\\\"" +
            (held ? ": the files of its record not announced stand: " + stand : full),
        "records are written again, into \"D:\\scan\\\"\r\n"};
    if (announcing)
        says.insert(says.end(), {"cannot announce a record in \"D:\\scancmd.scc\"" + full,
                                 "records are announced again in \"D:\\scancmd.scc\"\r\n"});
    if (held) says.push_back("cannot remove the files of a record not announced: " + stand);
    const std::string log = logText();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), static_cast<long>(says.size())) << log;
    for (const std::string& line : says) EXPECT_NE(log.find("]" + line), std::string::npos) << line;
    // The clock is set for a written record only, not for each try.
    EXPECT_EQ(fake.desktop.textsSent.size(), mode1 ? 0 : announcing ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(BothModes, FullDiskTest,
                         ::testing::Values(std::tuple(1, 0, false), std::tuple(1, 3, false),
                                           std::tuple(1, 4, false), std::tuple(1, 4, true),
                                           std::tuple(2, 1, false), std::tuple(2, 2, false),
                                           std::tuple(2, 4, false), std::tuple(2, 4, true)));

// A write of the command file that fails leaves it cut to nothing; what it
// was to hold (an answer, or the byte a failed announcement cut away) is
// written again each turn until it goes in, and the desk goes on.
TEST_F(WorkersTest, ACommandFileWriteThatFailsIsWrittenAgainNextTurn) {
    const struct {
        const char* write;
        int scanMode;
        bool queued;
        std::set<int> failing;  // the command file's rewrites that fail
        int turns;              // with 6 s between them
        const char* owed;       // what the file holds after the first failing turn's next
        const char* last;       // and after the last turn
    } rows[] = {
        {"the answer \"1\"", 1, true, {1}, 2, "2C", "2C"},
        {"the answer \"5\" of a command that waited 30 s", 1, false, {2}, 8, "5", "5"},
        {"the answer \"5\" and its first try again", 1, false, {2, 3}, 9, "", "5"},
        {"an announcement and its restore", 2, true, {1, 2}, 3, "2C", "2C"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.write);
        peer.cacheList().clear();
        if (row.queued) queue("\"C\"", "card");
        setCmdFile(row.scanMode == 1 ? "C" : "0");
        fake.files.commandWrites = 0;
        fake.files.failingCommandWrites = row.failing;
        std::vector<std::string> seen;
        for (int turn = 0; turn < row.turns; ++turn) {
            row.scanMode == 1 ? processor.processCache1() : processor.processCache2();
            seen.push_back(cmdFile());
            advance(6);
        }
        const size_t failedAt = std::find(seen.begin(), seen.end(), "") - seen.begin();
        ASSERT_LT(failedAt + 1, seen.size());
        EXPECT_EQ(seen[failedAt + 1], row.owed);
        EXPECT_EQ(seen.back(), row.last);
        EXPECT_TRUE(queuedNames().empty());
        EXPECT_TRUE(peer.pendingCmd().empty());
        int records = 0;  // a queued card went, once
        for (const auto& entry : std::filesystem::directory_iterator(dir / "drive_d/scan")) {
            records += entry.path().extension() == ".xml";
            std::filesystem::remove(entry.path());
        }
        EXPECT_EQ(records, row.queued ? 1 : 0);
    }
}

// An announcement fails and its record cannot be removed; the desktop side
// takes that record all the same. The card is not written a second time.
TEST_F(WorkersTest, ARecordTheDeskTookUnannouncedIsNotWrittenAgain) {
    queue("\"C\"", "card");
    queue("\"C\"", "next");
    setCmdFile("0");
    fake.files.failingCommandWrites = {1};
    fake.files.deletesHeld = true;
    processor.processCache2();
    EXPECT_EQ(cmdFile(), "0");
    std::filesystem::remove(dir / "drive_d/scan/20261207090500.xml");  // the desk takes it
    fake.files.deletesHeld = false;
    // A folder that cannot be reached tells nothing: the card stays.
    std::filesystem::rename(dir / "drive_d/scan", dir / "drive_d/away");
    advance(6);
    processor.processCache2();
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"card", "next"}));
    std::filesystem::rename(dir / "drive_d/away", dir / "drive_d/scan");
    advance(6);
    processor.processCache2();
    EXPECT_EQ(queuedNames(), std::vector<std::string>{"next"});
    EXPECT_NE(logText().find(", not announced, is gone: the desktop side took it"),
              std::string::npos);
    processor.processCache2();
    EXPECT_EQ(cmdFile(), "2C");
    EXPECT_NE(recordIn("scan", "20261207090512").find("<NAME>next</NAME>"), std::string::npos);
}

// A result folder that cannot be written at all: a plain file in its place.
class BrokenFolderTest : public WorkersTest {
  protected:
    void SetUp() override {
        WorkersTest::SetUp();
        std::filesystem::remove(dir / "drive_d/scan_jw");
        writeFile(dir / "drive_d/scan_jw", "not a folder");
        for (const char* name : {"F-1", "C-1", "F-2", "C-2"})
            queue(std::string("\"") + name + "\"", name);
    }
    void turn(int mode, const std::string& cmd = "0") {
        setCmdFile(cmd);
        mode == 1 ? processor.processCache1() : processor.processCache2();
    }
    void mendFolder() {
        std::filesystem::remove(dir / "drive_d/scan_jw");
        test::makeDirs(dir / "drive_d/scan_jw");
    }
};

TEST_F(BrokenFolderTest, Mode2HandsTheOtherKindOverAndTheKeptCardsFollowOnceMended) {
    peer.settings().waitTime = -1;  // the desktop side takes each record at once
    fake.clock.monotonic = 0;
    for (const char* cmd : {"0", "2C-1", "2C-2"}) {
        turn(2);
        EXPECT_EQ(cmdFile(), cmd);
    }
    for (int i = 0; i < 120; ++i, turn(2)) advance(5);  // ten minutes of tries
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"F-1", "F-2"}));
    mendFolder();
    advance(5);
    for (const char* cmd : {"2F-1", "2F-2"}) {
        turn(2);
        EXPECT_EQ(cmdFile(), cmd);
    }
    const std::string failed = "]cannot write a record into \"D:\\scan_jw\\\": Not a directory; ";
    const std::string log = logText();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;  // at 0 and 600 s, mended
    EXPECT_NE(log.find(failed, log.find(failed) + 1), std::string::npos) << log;
    EXPECT_NE(log.find("]records are written again, into \"D:\\scan_jw\\\"\r\n"),
              std::string::npos);
    // The same lines are events: an error for each logged failure, and the
    // mend as information.
    ASSERT_EQ(fake.process.events.size(), 3u);
    for (int i : {0, 1}) {
        EXPECT_EQ(fake.process.events[i].type, EventType::Error);
        EXPECT_EQ(fake.process.events[i].id, 120u);
        EXPECT_EQ(fake.process.events[i].text.rfind(failed.substr(1), 0), 0u)
            << fake.process.events[i].text;
    }
    EXPECT_EQ(fake.process.events[2].type, EventType::Information);
    EXPECT_EQ(fake.process.events[2].id, 121u);
    EXPECT_EQ(fake.process.events[2].text, "records are written again, into \"D:\\scan_jw\\\"");
}

TEST_F(BrokenFolderTest, Mode1AnswersFiveOnceThirtySecondsPassAndKeepsTheCard) {
    for (const char* cmd : {"F", "1"}) turn(1, cmd);  // F-1 cannot be written
    advance(30);
    turn(1, "1");
    EXPECT_EQ(cmdFile(), "1");
    advance(1);
    turn(1, "1");
    EXPECT_EQ(cmdFile(), "5");
    turn(1, "C");  // the other kind goes as usual
    turn(1, "1");
    EXPECT_EQ(cmdFile(), "2C-1");
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"F-1", "F-2", "C-2"}));
}

// Hundreds of cards of a failing folder: while it waits for its retry no
// turn reads a record back, and a card of the other folder queued behind
// them is the only one read, in either scan mode.
TEST_F(BrokenFolderTest, AWaitingFolderCostsATurnNoRecordRead) {
    peer.cacheList().clear();
    for (int i = 0; i < 500; ++i) queue("\"F\"", "F");
    peer.settings().waitTime = -1;
    turn(2);  // the oldest F card cannot be written
    EXPECT_EQ(peer.recordsRead(), 1u);
    turn(2);
    EXPECT_EQ(peer.recordsRead(), 1u);
    queue("\"C-2\"", "C-2");
    queue("\"C-1\"", "C-1");
    turn(2);
    EXPECT_EQ(cmdFile(), "2C-2");
    EXPECT_EQ(peer.recordsRead(), 2u);
    turn(1, "C");
    turn(1, "1");
    EXPECT_EQ(cmdFile(), "2C-1");
    EXPECT_EQ(peer.recordsRead(), 3u);
    EXPECT_EQ(peer.cacheList().size(), 500u);
}

// A time sync between two tries: the folder is tried again 5 s after it
// failed, by the monotonic clock. {wall clock step in hours, seconds passed,
// whether the mended folder is tried again}.
class BrokenFolderClockTest : public BrokenFolderTest,
                              public ::testing::WithParamInterface<std::tuple<int, int, bool>> {};

TEST_P(BrokenFolderClockTest, TheRetryFollowsTheMonotonicClock) {
    const auto [hours, seconds, retried] = GetParam();
    peer.settings().waitTime = -1;
    turn(2);  // F-1 cannot be written
    mendFolder();
    stepWallClock(hours);
    advance(seconds);
    turn(2);  // F-1 once its folder is tried again, else the C card behind it
    EXPECT_EQ(cmdFile(), retried ? "2F-1" : "2C-1");
}

INSTANTIATE_TEST_SUITE_P(StepsOfAnHour, BrokenFolderClockTest,
                         ::testing::Values(std::tuple(-1, 5, true), std::tuple(1, 4, false)));

TEST_F(WorkersTest, ScanModeZeroRunsNoWorker) {
    peer.settings().scanMode = 0;
    RequestLoop& loop = openLoop();
    queue("\"C\"", "c");
    setCmdFile("0");
    loop.turn();
    EXPECT_EQ(fake.files.exclusiveOpens, 0);
    EXPECT_EQ(cmdFile(), "0");
}

}  // namespace
}  // namespace qrx
