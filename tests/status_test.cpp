// The status file and what "--status" makes of it: a server that runs is
// told apart from a file left by a dead one, a fault sets exit status 1,
// and the file is rewritten at most once a second and only on a change.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "jsontext/styled_json.h"
#include "processor/processor.h"
#include "processor/status_file.h"
#include "processor_peer.h"
#include "server/status_report.h"
#include "test_support.h"

namespace qrx {
namespace {

// A status file of process 41 as the server writes it, with the result
// folder of the other cards failing when failing is set and the log not
// rotatable when logStuck is.
std::string statusText(bool failing, bool logStuck) {
    const std::string since = R"({"at": "2026-12-10 09:00:00", "tick": 1000})";
    return std::string(R"({"server": {"version": "1.0.0", "pid": 41,
         "started": {"at": "2026-12-10 08:00:00", "tick": 0}, "settingsFile": "C:\\qrx\\Server.ini",
         "address": "tcp://*:6666", "addressEx": "tcp://*:6667", "scanMode": 2, "curve": false},
       "queue": {"total": 2, "byKind": {"C": 1, "F": 1}, "oldestTick": 50000, "lastHandOver": null},
       "places": [
         {"place": "result folder of C cards", "path": "C:\\r\\", "working": true,
          "failingSince": null, "why": ""},
         {"place": "result folder of the other cards", "path": "C:\\j\\", "working": )") +
           (failing ? "false" : "true") + R"(, "failingSince": )" + (failing ? since : "null") +
           R"(, "why": "disk full"}],
       "connections": {"open": 3, "refused": 7}, "repliesDropped": 0,
       "log": {"path": "c:\\qrx\\sock.log", "rotatable": )" +
           (logStuck ? "false" : "true") + R"(, "failingSince": )" + (logStuck ? since : "null") +
           R"(, "why": "held"},
       "written": {"at": "2026-12-10 09:01:00", "tick": 61000}})";
}

TEST(StatusAnswerTest, TellsRunningWellFromAFaultAndFromAFileLeftBehind) {
    const struct {
        const char* what;
        bool fileRead;
        std::string text;
        bool held, writerRuns;
        int exitStatus;
        std::string shown;  // the start of the report for a person
    } rows[] = {
        {"nothing ever ran", false, "", false, false, 3, "ScanServer: not running\n"},
        {"a file of a process that ended", true, statusText(false, false), false, false, 3,
         "ScanServer: not running; the last status was written by process 41 at 2026-12-10 "
         "09:01:00\n"},
        // A crash leaves the file; the new copy holds the name before it writes.
        {"a new copy, the file of the crashed one", true, statusText(false, false), true, false, 1,
         "ScanServer: running, status unknown: the status file is of a process that has ended"},
        {"a running copy whose file cannot be read", true, "{\"server\": ", true, true, 1,
         "ScanServer: running, status unknown: the status file cannot be read"},
        {"a file whose members are of other types", true,
         "{\"server\": {\"pid\": \"x\"}, \"written\": {\"tick\": []}, \"places\": 5}", true, true,
         1, "ScanServer: running, status unknown: the status file cannot be read"},
        // Written before the machine started: its process id names another.
        {"a file from before a restart of the machine", true, statusText(false, false), true, true,
         1, "ScanServer: running, status unknown: the status file is of a process that has ended"},
        {"well", true, statusText(false, false), true, true, 0,
         "ScanServer 1.0.0: running, well\n"
         "  process     41, started 2026-12-10 08:00:00 (1 min 40 s ago)\n"
         "  settings    C:\\qrx\\Server.ini\n"
         "  endpoints   tcp://*:6666 (requests), tcp://*:6667 (routed); scan mode 2; CURVE off\n"
         "  queue       2 cards (C 1, F 1), the oldest queued 50 s ago; last hand-over never\n"},
        {"a failing folder", true, statusText(true, false), true, true, 1,
         "ScanServer 1.0.0: running, with faults\n"},
        {"a log that cannot be rotated", true, statusText(false, true), true, true, 1,
         "ScanServer 1.0.0: running, with faults\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        StatusFacts facts;
        facts.fileRead = row.fileRead;
        facts.fileText = row.text;
        facts.serverHeld = row.held;
        facts.writerRuns = row.writerRuns;
        facts.nowTick = std::string(row.what) == "a file from before a restart of the machine"
                            ? 60000  // the file's ticks are past it
                            : 100000;
        const StatusAnswer person = statusAnswer(facts, false);
        EXPECT_EQ(person.exitStatus, row.exitStatus);
        EXPECT_EQ(person.text.rfind(row.shown, 0), 0u) << person.text;
        const StatusAnswer json = statusAnswer(facts, true);
        EXPECT_EQ(json.exitStatus, row.exitStatus);
        Json::Value value;
        ASSERT_TRUE(parseJson(json.text, &value)) << json.text;
        EXPECT_EQ(value["running"].asBool(), row.held);
        EXPECT_EQ(value["well"].asBool(), row.exitStatus == 0);
        EXPECT_EQ(value["faults"].size(), row.exitStatus == 1 ? 1u : 0u) << json.text;
        // Counts stand at the top only while current; else the last file's
        // are under lastStatus.
        const bool current =
            row.exitStatus == 0 || row.shown.find("with faults") != std::string::npos;
        EXPECT_EQ(value["queue"]["total"].isUInt(), current) << json.text;
        EXPECT_EQ(value["oldestQueuedSeconds"].isInt64(), current) << json.text;
        if (current) {
            EXPECT_EQ(value["oldestQueuedSeconds"].asInt64(), 50);
        }
    }
}

// Each fault with its place, since when and why; and a watcher's restarts.
TEST(StatusAnswerTest, AFaultSaysWhatFailsSinceWhenAndWhyAndTheWatcherItsRestarts) {
    StatusFacts facts{true,
                      statusText(true, true),
                      true,
                      true,
                      121000,
                      R"({"pid": 77, "restarts": 2, "lastEnd": "exit code 0xC0000005",
                          "lastRestart": {"at": "2026-12-10 09:00:00", "tick": 1000}})"};
    Json::Value json;
    ASSERT_TRUE(parseJson(statusAnswer(facts, true).text, &json));
    EXPECT_EQ(json["watcher"]["restarts"].asInt(), 2);
    const std::string text = statusAnswer(facts, false).text;
    EXPECT_NE(text.find("  watcher     process 77, 2 restarts, the last 2026-12-10 09:00:00 "
                        "(2 min 0 s ago) after exit code 0xC0000005\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  place       result folder of the other cards C:\\j\\: FAILING\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  fault       result folder of the other cards C:\\j\\ fails since "
                        "2026-12-10 09:00:00 (2 min 0 s ago): disk full\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  fault       the log c:\\qrx\\sock.log cannot be rotated since "
                        "2026-12-10 09:00:00 (2 min 0 s ago): held\n"),
              std::string::npos)
        << text;
}

// The places a status names: none in scan mode 0, where nothing is handed
// over; the working folder for a path the registry leaves empty, where the
// records then go, working; the command file failing while an answer it
// must hold could not be written.
TEST(ServerStatusTest, NamesThePlacesTheServerWrites) {
    const struct {
        const char* what;
        int scanMode;
        std::string resultJw, owed;
        size_t places;
        bool jwWorks, commandWorks;
    } rows[] = {
        {"scan mode 0", 0, "c:\\scan\\jw\\", "", 0, true, true},
        {"a folder left empty", 2, "", "", 3, true, true},
        {"an answer owed", 1, "c:\\scan\\jw\\", "5", 3, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        test::TempDir dir;
        PosixPlatform posix{dir.path()};
        test::FakePlatform fake{posix};
        CProcessor processor(fake);
        CProcessorPeer peer(processor);
        peer.settings().scanMode = row.scanMode;
        peer.settings().scanResultDir = "c:\\scan\\result\\";
        peer.settings().scanResultJwDir = row.resultJw;
        peer.settings().scanCmdPath = "c:\\scan\\scancmd.scc";
        peer.owedCommand() = row.owed;
        const Json::Value status = serverStatus(processor, LoopCounts{});
        const Json::Value& places = status["places"];
        ASSERT_EQ(places.size(), row.places) << status.toStyledString();
        if (row.places == 0) continue;
        EXPECT_EQ(places[1]["working"].asBool(), row.jwWorks);
        // A path that is set is shown as the host has it: not the working folder.
        EXPECT_EQ(places[1]["path"].asString() == "(the working folder)", row.resultJw.empty());
        EXPECT_EQ(places[2]["working"].asBool(), row.commandWorks);
        if (!row.owed.empty()) {
            EXPECT_EQ(places[2]["why"].asString(),
                      "\"5\" could not be written in it yet: it is tried each turn");
        }
    }
}

class StatusFileTest : public ::testing::Test {
  protected:
    int writes() {
        return static_cast<int>(
            std::count(fake.files.calls.begin(), fake.files.calls.end(), "write"));
    }
    // One turn's offer of status at the monotonic ms given.
    void offer(int64_t atMs, const Json::Value& status) {
        fake.clock.monotonic = atMs;
        if (file.due()) file.write(status);
    }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    std::string path = dir / "status.json";
    StatusFile file{fake, path};
};

// Each turn offers the state; a second must pass between builds, and an
// unchanged state is not written again.
TEST_F(StatusFileTest, WritesAtMostOnceASecondAndOnlyAChange) {
    Json::Value one(Json::objectValue), two(Json::objectValue);
    one["queue"] = 1;
    two["queue"] = 2;
    const struct {
        int64_t atMs;
        const Json::Value* status;
        int writesAfter;
    } turns[] = {
        {0, &one, 1},     // the first turn writes
        {500, &two, 1},   // within the second: not even built
        {1000, &one, 1},  // a second on, unchanged
        {2000, &two, 2},  // changed
        {2200, &one, 2},  // changed back within the second: waits
        {3000, &one, 3},
    };
    for (const auto& turn : turns) {
        SCOPED_TRACE(turn.atMs);
        offer(turn.atMs, *turn.status);
        EXPECT_EQ(writes(), turn.writesAfter);
    }
    Json::Value written;
    ASSERT_TRUE(parseJson(test::readFile(path), &written));
    EXPECT_EQ(written["queue"].asInt(), 1);
    EXPECT_TRUE(written["written"]["at"].isString());
    EXPECT_FALSE(test::exists(path + ".new"));
}

// A file that cannot be written costs one line and is written once it can;
// a rewrite that fails once alone (a reader had it open) costs none.
TEST_F(StatusFileTest, AFileThatCannotBeWrittenIsLoggedOnceAndWrittenLater) {
    Json::Value status(Json::objectValue);
    status["queue"] = -1;
    fake.files.replacesBeforeFail = 0;  // once alone
    offer(-2000, status);
    status["queue"] = -2;
    offer(-1000, status);
    EXPECT_TRUE(fake.files.appends.empty());
    fake.files.writesBeforeFull = 0;  // a full disk, for three turns
    for (int turn = 0; turn < 3; ++turn) {
        status["queue"] = turn;
        offer(turn * 1000, status);
    }
    fake.files.writesBeforeFull = -1;
    offer(3000, status);
    int failures = 0, recoveries = 0;
    for (const std::string& line : fake.files.appends) {
        failures += line.find("cannot write the status file " + path) != std::string::npos;
        recoveries += line.find("the status file is written again") != std::string::npos;
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(recoveries, 1);
    Json::Value written;
    ASSERT_TRUE(parseJson(test::readFile(path), &written));
    EXPECT_EQ(written["queue"].asInt(), 2);
}

}  // namespace
}  // namespace qrx
