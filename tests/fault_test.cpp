// Faults around the server, with the real programs: a desktop side that
// holds the command file for long, result folders that are missing or
// cannot be written, a kill in the middle of a hand-over, clients that go
// away, and a request of several megabytes.
#include <gtest/gtest.h>
#include <signal.h>
#include <zmq.h>

#include <chrono>
#include <thread>

#include "desk_road_fixture.h"

namespace qrx {
namespace {

using FaultTest = DeskRoadTest;

TEST_F(FaultTest, ALongHoldOfTheCommandFileDelaysButLosesNothing) {
    startServer("");
    auto holder = deskInBackground({"hold", "4000"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    test::writeFile(prefix + "/scan/scancmd.scc", "0");
    submit("C1", "one");
    submit("C2", "two");
    submit("F3", "three");
    EXPECT_TRUE(records("result").empty());  // still held
    EXPECT_EQ(holder->wait(10000), 0);
    // The file reads "0": the first record goes as soon as it is free, before
    // the application below starts; it takes that announced record first.
    ASSERT_TRUE(answered("2C1"));
    test::Outcome take = desk({"take", "--count", "3"});
    EXPECT_EQ(take.exitCode, 0) << take.output;
    EXPECT_NE(take.output.find("answer 2C1\n"), std::string::npos) << take.output;
    EXPECT_NE(take.output.find("answer 2C2\n"), std::string::npos) << take.output;
    EXPECT_NE(take.output.find("answer 2F3\n"), std::string::npos) << take.output;
}

TEST_F(FaultTest, AMissingResultFolderLosesThatRecordOnlyUntilItIsBack) {
    startServer("");
    fs::remove_all(prefix + "/scan/result");
    submit("C1", "lost");
    writeCmdFile("0");
    // The hand-over is announced though nothing could be written.
    ASSERT_TRUE(answered("2C1"));
    EXPECT_FALSE(fs::exists(prefix + "/scan/result"));
    fs::create_directories(prefix + "/scan/result");
    submit("C2", "kept");
    writeCmdFile("0");
    ASSERT_TRUE(answered("2C2"));  // the last record's file is missing: no wait
    ASSERT_EQ(records("result").size(), 1u);
    expectImagesOf(records("result")[0]);
}

TEST_F(FaultTest, AResultFolderThatCannotBeWrittenKeepsTheServerServing) {
    // A file where the folder should be: nothing can be created below it.
    fs::remove_all(prefix + "/scan/result_jw");
    test::writeFile(prefix + "/scan/result_jw", "not a folder");
    startServer("");
    submit("F1", "nowhere");
    writeCmdFile("0");
    ASSERT_TRUE(answered("2F1"));
    EXPECT_EQ(readFile(prefix + "/scan/result_jw"), "not a folder");
    EXPECT_EQ(client({"code"}).exitCode, 0);
    submit("C2", "somewhere");
    writeCmdFile("0");
    EXPECT_TRUE(answered("2C2"));
    EXPECT_EQ(records("result").size(), 1u);
}

TEST_F(FaultTest, AKillDuringAHandOverIsAnsweredFiveOnRestart) {
    startServer("ScanMode=1\r\n");
    auto asking = deskInBackground({"ask", "C", "--timeout", "20"});
    ASSERT_TRUE(answered("1"));  // the command is taken; no card has come
    server->kill();
    auto restarted = std::make_unique<test::Process>(
        std::vector<std::string>{dir / "bin/ScanServer"}, dir / "work",
        std::map<std::string, std::string>{{"QRX_PREFIX", prefix}}, dir / "server2.out");
    ASSERT_EQ(client({"code"}).exitCode, 0);
    EXPECT_EQ(cmdFile(), "5");
    EXPECT_EQ(asking->wait(10000), 1);
    EXPECT_NE(readFile(dir / "desk.out").find("answer 5"), std::string::npos);
    // The restarted copy holds the guard: another is refused.
    test::Process another({dir / "bin/ScanServer"}, dir / "work", {{"QRX_PREFIX", prefix}},
                          dir / "server3.out");
    EXPECT_EQ(another.wait(5000), 1);
}

TEST_F(FaultTest, ClientsThatLeaveBeforeTheirReplyDoNotStopTheServer) {
    startServer("");
    for (int type : {ZMQ_REQ, ZMQ_DEALER}) {
        void* context = zmq_ctx_new();
        void* socket = zmq_socket(context, type);
        int linger = 0;
        zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof(linger));
        zmq_connect(socket, (type == ZMQ_REQ ? replyEndpoint : routerEndpoint).c_str());
        zmq_send(socket, "{\"type\":0}", 10, 0);
        zmq_close(socket);  // gone before the reply
        zmq_ctx_term(context);
    }
    submit("C", "after");
    EXPECT_EQ(client({"code"}).exitCode, 0);
}

TEST_F(FaultTest, ARequestOfSeveralMegabytesIsServed) {
    startServer("");
    // Base64 makes it 3.3 MiB, within the 4 MiB a request may be.
    std::string image(5 * 512 * 1024, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 % 251);
    test::writeFile(dir / "big.jpg", image);
    test::Outcome big = client({"submit", "--set", "cardtype=ID", "--set", "ScanCmd=C", "--set",
                                "name=big", "--card-image", dir / "big.jpg"});
    ASSERT_EQ(big.exitCode, 0) << big.output.substr(0, 300);
    writeCmdFile("0");
    ASSERT_TRUE(answered("2C"));
    ASSERT_EQ(records("result").size(), 1u);
    std::string record = records("result")[0];
    EXPECT_EQ(readFile(record.substr(0, record.size() - 4) + ".jpg"), image);
    // The log holds the request whole.
    EXPECT_GT(fs::file_size(prefix + "/drive_c/qrx/sock.log"), 3u * 1024 * 1024);
    EXPECT_EQ(client({"code"}).exitCode, 0);
}

}  // namespace
}  // namespace qrx
