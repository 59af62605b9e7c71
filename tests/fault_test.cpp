// Faults around the server, with the real programs: a desktop side that
// holds the command file for long, a result folder on a full disk, a kill in the middle of a
// hand-over, clients that go away, and a request of several megabytes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <zmq.h>

#include <cerrno>
#include <chrono>
#include <cstring>
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

// A result folder on a file system of 64 KiB, too small for the card's
// 200 KB photograph, then grown: the card arrives whole, after nothing was
// announced and nothing left behind.
TEST_F(FaultTest, AFullDiskHandsTheCardOverWholeOnceThereIsRoom) {
    const std::string folder = prefix + "/scan/result";
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs on the result folder (" << std::strerror(errno)
                     << "): this test needs root";
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{folder};
    std::string photo(200 * 1000, '\0');
    for (size_t i = 0; i < photo.size(); ++i) photo[i] = static_cast<char>(i * 13 % 251);
    test::writeFile(dir / "card.jpg", photo);
    startServer("");
    submit("C1", "full");
    writeCmdFile("0");
    EXPECT_FALSE(test::eventually([&] { return cmdFile() != "0"; }, 1500));
    EXPECT_TRUE(test::isEmptyDir(folder));
    EXPECT_EQ(client({"code"}).exitCode, 0);  // still serving
    ASSERT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", MS_REMOUNT, "size=1m"), 0);
    ASSERT_TRUE(answered("2C1"));
    ASSERT_EQ(records("result").size(), 1u);
    expectImagesOf(records("result")[0]);
}

// A result folder that cannot be written (a plain file in its place): the
// other kind's card goes meanwhile, the kept one once the folder is mended.
TEST_F(FaultTest, AnUnwritableFolderHoldsBackOnlyTheCardsOfItsKind) {
    const std::string folder = prefix + "/scan/result_jw";
    fs::remove(folder);
    test::writeFile(folder, "not a folder");
    startServer("WaitTime=0\r\n");
    submit("F1", "kept");
    submit("C1", "flows");
    writeCmdFile("0");
    ASSERT_TRUE(answered("2C1"));
    fs::remove(folder);
    fs::create_directory(folder);
    writeCmdFile("0");
    ASSERT_TRUE(answered("2F1"));
    ASSERT_EQ(records("result_jw").size(), 1u);
    expectImagesOf(records("result_jw")[0]);
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
