// The road of a card on one machine, with the real programs: ScanServer on a
// temporary prefix prepared by prepare-prefix.sh, qrx-client submitting
// cards, and qrx-desk (or the test itself) playing the desktop side.
#include <gtest/gtest.h>
#include <time.h>
#include <zmq.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "desk_road_fixture.h"

namespace qrx {
namespace {

std::string localClock(time_t at) {
    struct tm parts;
    localtime_r(&at, &parts);
    char text[8];
    std::snprintf(text, sizeof(text), "%02d:%02d", parts.tm_hour, parts.tm_min);
    return text;
}

TEST_F(DeskRoadTest, Mode2HandsOverOneRecordAtATime) {
    ASSERT_EQ(desk({"capture-window"}).exitCode, 0);
    startServer("");
    submit("C-first", "first");
    submit("F-second", "second");

    time_t before = time(nullptr);
    writeCmdFile("0");
    ASSERT_TRUE(answered("2C-first")) << cmdFile();
    time_t after = time(nullptr);
    ASSERT_EQ(records("result").size(), 1u);
    EXPECT_NE(readFile(records("result")[0]).find("<NAME>first</NAME>"), std::string::npos);
    expectImagesOf(records("result")[0]);
    EXPECT_TRUE(records("result_jw").empty());
    std::string clock = desk({"clock"}).output;
    EXPECT_TRUE(clock == localClock(before) + "\n" || clock == localClock(after) + "\n") << clock;

    // Ready again, but the record is still there: nothing moves.
    writeCmdFile("0");
    EXPECT_FALSE(test::eventually([&] { return !records("result_jw").empty(); }, 1000));
    EXPECT_EQ(cmdFile(), "0");
    // The desktop side takes the record: the next one follows.
    fs::remove(records("result")[0]);
    ASSERT_TRUE(answered("2F-second")) << cmdFile();
    ASSERT_EQ(records("result_jw").size(), 1u);
    EXPECT_NE(readFile(records("result_jw")[0]).find("<CHINESE_NAME>second</CHINESE_NAME>"),
              std::string::npos);
    expectImagesOf(records("result_jw")[0]);
}

TEST_F(DeskRoadTest, Mode2WaitTimeEndsTheWaitForARecordLeftBehind) {
    startServer("WaitTime=1\r\n");
    submit("C1", "a");
    submit("C2", "b");
    writeCmdFile("0");
    ASSERT_TRUE(answered("2C1"));
    writeCmdFile("0");  // the first record stays where it is
    ASSERT_TRUE(answered("2C2"));
    EXPECT_EQ(records("result").size(), 2u);
}

TEST_F(DeskRoadTest, Mode2SimulatorTakesEveryCardFromBothEndpoints) {
    startServer("");
    auto taker = deskInBackground({"take", "--count", "3", "--timeout", "30"});
    submit("C1", "one");
    test::Outcome viaDealer =
        test::runProgram({QRX_CLIENT_PATH, "--endpoint", routerEndpoint, "--dealer", "submit",
                          "--set", "cardtype=ID", "--set", "ScanCmd=F1", "--card-image",
                          dir / "card.jpg", "--head-image", dir / "head.jpg"},
                         dir.path(), {}, 10000);
    ASSERT_EQ(viaDealer.exitCode, 0) << viaDealer.output;
    submit("C2", "three");
    ASSERT_EQ(taker->wait(30000), 0) << readFile(dir / "desk.out");
    std::string output = readFile(dir / "desk.out");
    EXPECT_NE(output.find("answer 2C1\ntook "), std::string::npos) << output;
    EXPECT_NE(output.find("answer 2F1\ntook "), std::string::npos) << output;
    EXPECT_NE(output.find("answer 2C2\ntook "), std::string::npos) << output;
    EXPECT_EQ(output.find("error"), std::string::npos) << output;
    size_t taken = 0;
    for (const char* folder : {"ScanResult", "ScanResult_jw"}) {
        for (const auto& entry : fs::directory_iterator(dir / "taken/" + folder)) {
            if (entry.path().extension() != ".xml") continue;
            expectImagesOf(entry.path().string());
            ++taken;
        }
    }
    EXPECT_EQ(taken, 3u);
    EXPECT_TRUE(records("result").empty());
}

TEST_F(DeskRoadTest, Mode2PromptBoxHoldsHandOversBack) {
    startServer("");
    ASSERT_EQ(desk({"prompt", "open"}).exitCode, 0);
    submit("C", "held");
    writeCmdFile("0");
    EXPECT_FALSE(test::eventually([&] { return cmdFile() != "0"; }, 1000));
    ASSERT_EQ(desk({"prompt", "close"}).exitCode, 0);
    EXPECT_TRUE(answered("2C"));
}

TEST_F(DeskRoadTest, Mode2LeavesTheCommandFileAloneWhileTheDesktopHoldsIt) {
    startServer("");
    auto holder = deskInBackground({"hold", "1500"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    test::writeFile(prefix + "/scan/scancmd.scc", "0");  // written by the holder, as it were
    submit("C", "card");
    EXPECT_FALSE(test::eventually([&] { return !records("result").empty(); }, 800));
    EXPECT_EQ(cmdFile(), "0");
    EXPECT_EQ(holder->wait(5000), 0);
    EXPECT_TRUE(answered("2C"));  // as soon as the file is free
}

TEST_F(DeskRoadTest, Mode1AnswersEachLetterWithItsOwnKind) {
    startServer("ScanMode=1\r\n");
    submit("C-card", "c");
    submit("F-card", "f");
    test::Outcome askF = desk({"ask", "F"});
    EXPECT_EQ(askF.exitCode, 0) << askF.output;
    EXPECT_NE(askF.output.find("answer 2F-card\ntook "), std::string::npos) << askF.output;
    EXPECT_EQ(records("result").size() + records("result_jw").size(), 0u);  // taken
    // The C card stays queued; another F finds nothing of its kind at once.
    test::Outcome again = desk({"ask", "F"});
    EXPECT_EQ(again.exitCode, 1) << again.output;
    EXPECT_NE(again.output.find("answer 5"), std::string::npos) << again.output;
    test::Outcome askC = desk({"ask", "C"});
    EXPECT_EQ(askC.exitCode, 0) << askC.output;
    EXPECT_NE(askC.output.find("answer 2C-card\n"), std::string::npos) << askC.output;
    EXPECT_TRUE(fs::exists(dir / "taken/ScanResult"));
}

TEST_F(DeskRoadTest, Mode1AnswersFiveAfterThirtySecondsWithoutACard) {
    startServer("ScanMode=1\r\n");
    test::Outcome ask = desk({"ask", "C", "--timeout", "45"}, 50000);
    EXPECT_EQ(ask.exitCode, 1) << ask.output;
    EXPECT_EQ(ask.output, "answer 1\nanswer 5\n");
}

TEST_F(DeskRoadTest, Mode3RunsBothWorkers) {
    startServer("ScanMode=3\r\n");
    submit("F-1", "f");
    submit("C-1", "c");
    test::Outcome askC = desk({"ask", "C"});
    EXPECT_NE(askC.output.find("answer 2C-1\n"), std::string::npos) << askC.output;
    test::Outcome take = desk({"take"});
    EXPECT_EQ(take.exitCode, 0) << take.output;
    EXPECT_NE(take.output.find("answer 2F-1\n"), std::string::npos) << take.output;
    EXPECT_EQ(readFile(prefix + "/drive_c/qrx/sock.log").find("[Level:3]"), std::string::npos);
}

TEST_F(DeskRoadTest, ALeftoverOneIsAnsweredFiveAtStart) {
    writeCmdFile("1");
    startServer("");
    EXPECT_EQ(desk({"read"}).output, "5\n");
}

}  // namespace
}  // namespace qrx
