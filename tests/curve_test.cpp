// CURVE security: the key files, the request loop as a CURVE server with and
// without a client list (real sockets on ipc endpoints, single turns), and
// the server's start with keys that cannot be had (real processes).
#include <gtest/gtest.h>
#include <zmq.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "process_support.h"
#include "processor/request_loop.h"
#include "processor_peer.h"
#include "settings/curve_keys.h"
#include "test_support.h"

namespace qrx {
namespace {

using test::CurveClient;
using test::ZmqClient;

TEST(CurveKeysTest, KeyFilesAreReadAsOperatorsWriteThem) {
    auto [publicText, secretText] = test::curveKeyPair();
    std::string key, problem;
    ASSERT_TRUE(parseSecretKeyFile("  " + secretText + "\r\n", &key, &problem)) << problem;
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(encodeCurveKey(key), secretText);
    EXPECT_FALSE(parseSecretKeyFile("", &key, &problem));
    EXPECT_EQ(problem, "the file is empty");
    EXPECT_FALSE(parseSecretKeyFile(secretText.substr(0, 39), &key, &problem));
    EXPECT_EQ(problem, "the file holds 39 characters, not one Z85 key of 40");
    EXPECT_FALSE(parseSecretKeyFile(secretText + "\n" + secretText, &key, &problem));
    std::string notZ85 = secretText;
    notZ85[7] = '"';  // not in the Z85 alphabet
    EXPECT_FALSE(parseSecretKeyFile(notZ85, &key, &problem));
    EXPECT_EQ(problem, "the key is not Z85 text");

    auto second = test::curveKeyPair();
    std::set<std::string> keys;
    ASSERT_TRUE(parseClientKeyList(
        "# desk 1\r\n" + publicText + "\r\n\r\n  # desk 2\n\t" + second.first + " \n", &keys,
        &problem))
        << problem;
    std::string first, other;
    decodeCurveKey(publicText, &first);
    decodeCurveKey(second.first, &other);
    EXPECT_EQ(keys, (std::set<std::string>{first, other}));
    ASSERT_TRUE(parseClientKeyList("", &keys, &problem));
    EXPECT_TRUE(keys.empty());
    EXPECT_FALSE(parseClientKeyList(publicText + "\n\n" + publicText + "x\n", &keys, &problem));
    EXPECT_EQ(problem, "line 3 is not a Z85 public key of 40 characters");
}

// A loop whose processor has the server's keys in files beside a fake
// executable, as "Server.ini" names them.
class CurveLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeDirs(dir / "drive_c/qrx");
        test::makeDirs(dir / "bin");
        fake.process.exePath = dir / "bin/ScanServer";
        peer.settings().address = "ipc://" + dir / "reply.ipc";
        peer.settings().addressEx = "ipc://" + dir / "router.ipc";
        auto [serverPublic, serverSecret] = test::curveKeyPair();
        serverPublicKey = serverPublic;
        test::writeFile(dir / "bin/server.key", serverSecret + "\n");
        listed = keys();
        // Turns wait 200 ms, not 3 s, while a record is queued.
        peer.cacheList().push_back('C', "{}\n");
    }
    // Opens the loop; with allowlist, only the listed client is admitted.
    void open(bool allowlist) {
        peer.settings().curveSecretKeyFile = "server.key";  // beside the executable
        if (allowlist) {
            test::writeFile(dir / "bin/clients.txt",
                            "# the listed desk\r\n" + listed.clientPublic + "\r\n");
            peer.settings().curveClientKeysFile = dir / "bin/clients.txt";
        }
        ASSERT_TRUE(processor.loadCurveKeys());
        loop = std::make_unique<RequestLoop>(processor);
        ASSERT_TRUE(loop->open());
        ASSERT_NE(loop->zapSocket(), nullptr);  // it checks every connection
    }
    CurveClient keys() {
        auto [publicKey, secretKey] = test::curveKeyPair();
        return {serverPublicKey, publicKey, secretKey};
    }
    std::string logText() { return test::readFile(dir / "drive_c/qrx/sock.log"); }
    // Turns the loop until the client has a reply or turns run out.
    std::optional<std::vector<std::string>> turnsUntilReply(ZmqClient& client, int turns = 5) {
        for (int i = 0; i < turns; ++i) {
            loop->turn();
            if (auto reply = client.receive(50)) return reply;
        }
        return std::nullopt;
    }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    CProcessor processor{fake};
    CProcessorPeer peer{processor};
    std::unique_ptr<RequestLoop> loop;
    std::string serverPublicKey;
    CurveClient listed;
};

TEST_F(CurveLoopTest, OnlyClientsWithTheServerKeyAreServed) {
    open(false);
    ZmqClient plain(ZMQ_REQ, peer.settings().address);
    plain.send("{\"type\":0}");
    EXPECT_FALSE(turnsUntilReply(plain, 3));
    CurveClient wrongServer = keys();
    wrongServer.serverPublic = test::curveKeyPair().first;
    ZmqClient wrong(ZMQ_DEALER, peer.settings().addressEx, wrongServer);
    wrong.send("{\"type\":0}");
    EXPECT_FALSE(turnsUntilReply(wrong, 3));
    EXPECT_TRUE(peer.codeSet().empty());

    // Without a client list any key pair is admitted.
    ZmqClient anyone(ZMQ_REQ, peer.settings().address, keys());
    auto reply = turnsUntilReply(anyone);
    ASSERT_FALSE(reply);  // nothing sent yet
    anyone.send("{\"type\":0}");
    reply = turnsUntilReply(anyone);
    ASSERT_TRUE(reply);
    EXPECT_EQ(test::codeOf(reply->front()).size(), 36u);
    const std::string log = logText();
    EXPECT_NE(log.find(")]CURVE on, server public key " + serverPublicKey + "\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(")]CURVE clients admitted: any that has the server public key\r\n"),
              std::string::npos);
    EXPECT_EQ(log.find("refused"), std::string::npos);
}

TEST_F(CurveLoopTest, AnUnlistedClientIsRefusedAndLoggedAndAListedOneServed) {
    open(true);
    CurveClient stranger = keys();
    ZmqClient unlisted(ZMQ_REQ, peer.settings().address, stranger);
    unlisted.send("{\"type\":0}");
    EXPECT_FALSE(turnsUntilReply(unlisted, 3));
    EXPECT_TRUE(peer.codeSet().empty());
    const std::string log = logText();
    EXPECT_NE(log.find("[Level:3][Processor.cpp("), std::string::npos) << log;
    // On ipc the address is the socket path or empty, whichever libzmq gives.
    EXPECT_NE(log.find(")]CURVE client refused: key " + stranger.clientPublic + " from "),
              std::string::npos)
        << log;

    ZmqClient client(ZMQ_DEALER, peer.settings().addressEx, listed);
    client.send("{\"type\":2}");
    auto reply = turnsUntilReply(client);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->front(), "null\n");
    EXPECT_EQ(logText().find(listed.clientPublic), std::string::npos);  // admitted silently
}

// A client that is refused, and opens a new connection each time its
// request times out, is refused again and again.
TEST_F(CurveLoopTest, ARefusedClientIsLoggedOnceAnHourAndThenCountedOnceAMinute) {
    open(true);
    const CurveClient stranger = keys();
    auto countInLog = [&](const std::string& text) {
        const std::string log = logText();
        int found = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++found;
        return found;
    };
    const std::string countLine = ")]CURVE client refused ";
    for (int second : {0, 0, 59, 60, 61, 119, 125}) {
        fake.clock.monotonic = (1000 + second) * 1000;
        ZmqClient retry(ZMQ_DEALER, peer.settings().addressEx, stranger);
        for (int turn = 0; turn < 3; ++turn) loop->turn();
        EXPECT_EQ(countInLog(countLine), second < 60 ? 0 : second < 125 ? 1 : 2) << second;
    }
    EXPECT_EQ(countInLog(")]CURVE client refused: key " + stranger.clientPublic + " from "), 1);
    // Two refusals from 1000 on, logged when the turn at 1060 starts; then
    // three from 1060 on, logged at 1125.
    EXPECT_EQ(countInLog(countLine + "2 more times in 60 s, not logged one by one\r\n"), 1);
    EXPECT_EQ(countInLog(countLine + "3 more times in 65 s, not logged one by one\r\n"), 1);
    // Another key is logged at once.
    ZmqClient another(ZMQ_DEALER, peer.settings().addressEx, keys());
    for (int turn = 0; turn < 3; ++turn) loop->turn();
    EXPECT_EQ(countInLog(")]CURVE client refused: key "), 2) << logText();
    // An hour after the first, the logged keys are forgotten: it is named again.
    fake.clock.monotonic = (1000 + 3600) * 1000;
    ZmqClient later(ZMQ_DEALER, peer.settings().addressEx, stranger);
    for (int turn = 0; turn < 3; ++turn) loop->turn();
    EXPECT_EQ(countInLog(")]CURVE client refused: key " + stranger.clientPublic + " from "), 2);
}

TEST_F(CurveLoopTest, RefusalsShowTheClientsTcpAddress) {
    peer.settings().address = "tcp://127.0.0.1:*";
    open(true);
    char endpoint[256];
    size_t size = sizeof(endpoint);
    ASSERT_EQ(zmq_getsockopt(loop->replySocket(), ZMQ_LAST_ENDPOINT, endpoint, &size), 0);
    CurveClient stranger = keys();
    ZmqClient unlisted(ZMQ_REQ, endpoint, stranger);
    unlisted.send("{\"type\":0}");
    EXPECT_FALSE(turnsUntilReply(unlisted, 3));
    EXPECT_NE(logText().find(")]CURVE client refused: key " + stranger.clientPublic +
                             " from 127.0.0.1\r\n"),
              std::string::npos)
        << logText();
}

TEST_F(CurveLoopTest, AClientCheckIsNotTheTurnsRequest) {
    open(true);
    // A new client: its handshake wakes the turn first; the same turn then
    // waits on and answers its request (an idle turn waits up to 3 s).
    peer.cacheList().clear();
    ZmqClient client(ZMQ_REQ, peer.settings().address, listed);
    client.send("{\"type\":0}");
    auto start = std::chrono::steady_clock::now();
    loop->turn();
    auto took = std::chrono::steady_clock::now() - start;
    auto reply = client.receive(100);
    ASSERT_TRUE(reply) << logText();
    EXPECT_EQ(test::codeOf(reply->front()).size(), 36u);
    EXPECT_LT(took, std::chrono::milliseconds(2500));  // it did not wait the turn out

    // Still one request a turn: two new clients, and the first turn serves
    // only one of them.
    ZmqClient second(ZMQ_REQ, peer.settings().address, listed);
    ZmqClient third(ZMQ_DEALER, peer.settings().addressEx, listed);
    second.send("{\"type\":0}");
    third.send("{\"type\":0}");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // both handshakes waiting
    loop->turn();
    int served = (second.receive(100) ? 1 : 0) + (third.receive(100) ? 1 : 0);
    EXPECT_EQ(served, 1);
    for (int turn = 0; turn < 3 && served < 2; ++turn) {
        loop->turn();
        served += (second.receive(100) ? 1 : 0) + (third.receive(100) ? 1 : 0);
    }
    EXPECT_EQ(served, 2);
    EXPECT_EQ(peer.codeSet().size(), 3u);

    // A turn woken only by a refused handshake still lasts its whole wait,
    // so the workers step no more often than without CURVE.
    peer.cacheList().push_back('C', "{}\n");  // a 200 ms wait
    ZmqClient stranger(ZMQ_REQ, peer.settings().address, keys());
    stranger.send("{\"type\":0}");
    start = std::chrono::steady_clock::now();
    loop->turn();
    took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(180));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_TRUE(test::eventually(
        [&] { return logText().find("CURVE client refused") != std::string::npos; }));
}

// The server binary with "Security" settings that cannot be used.
class CurveStartTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* sub : {"bin", "work", "prefix/drive_c/qrx"}) test::makeDirs(dir / sub);
        std::filesystem::copy_file(SCAN_SERVER_PATH, dir / "bin/ScanServer");
        test::writeRegistry(dir / "prefix/registry.reg", test::deskRegistryValues(dir / "work"));
        replyEndpoint = "ipc://" + dir / "reply.ipc";
    }
    test::Outcome start(const std::string& security) {
        test::writeFile(dir / "bin/Server.ini", "[Server]\r\nAddress=" + replyEndpoint +
                                                    "\r\nAddressEx=ipc://" + dir / "router.ipc" +
                                                    "\r\n[Security]\r\n" + security);
        return test::runProgram({dir / "bin/ScanServer"}, dir / "work",
                                {{"QRX_PREFIX", dir / "prefix"}}, 10000);
    }
    std::string logText() { return test::readFile(dir / "prefix/drive_c/qrx/sock.log"); }

    test::TempDir dir;
    std::string replyEndpoint;
};

TEST_F(CurveStartTest, KeysThatCannotBeHadStopTheStartWithTwo) {
    auto [publicKey, secretKey] = test::curveKeyPair();
    test::writeFile(dir / "bin/short.key", secretKey.substr(1) + "\n");
    test::writeFile(dir / "bin/server.key", secretKey + "\n");
    test::writeFile(dir / "bin/clients.txt", publicKey + "\nnot a key\n");
    struct Case {
        std::string settings, line;
    } cases[] = {
        {"CurveSecretKeyFile=missing.key\r\n",
         "[Level:3][Processor.cpp(%)]CurveSecretKeyFile " +
             dir /
                 "bin/missing.key: cannot read it: No such file or directory: the server stops, it "
                 "never serves plain text\r\n"},
        {"CurveSecretKeyFile=" + dir / "bin/short.key\r\n",
         ")]CurveSecretKeyFile " +
             dir / "bin/short.key: the file holds 39 characters, not one Z85 key of 40: the server "
                   "stops, it never serves plain text\r\n"},
        {"CurveSecretKeyFile=server.key\r\nCurveClientKeys=clients.txt\r\n",
         ")]CurveClientKeys " +
             dir / "bin/clients.txt: line 2 is not a Z85 public key of 40 characters: the server "
                   "stops, it never serves plain text\r\n"},
        {"CurveSecretKeyFile=server.key\r\nCurveClientKeys=missing.txt\r\n",
         ")]CurveClientKeys " + dir / "bin/missing.txt: cannot read it: No such file"},
        {"CurveClientKeys=clients.txt\r\n",
         ")]CurveClientKeys clients.txt: a client list needs CurveSecretKeyFile, which is not "
         "set"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir / "prefix/drive_c/qrx/sock.log");
        test::Outcome outcome = start(c.settings);
        EXPECT_EQ(outcome.exitCode, 2) << c.settings << outcome.output;
        std::string expected = c.line;
        std::string log = logText();
        size_t marker = expected.find("(%)");
        if (marker != std::string::npos) {
            EXPECT_NE(log.find(expected.substr(0, marker)), std::string::npos) << log;
            expected = expected.substr(marker + 2);
        }
        EXPECT_NE(log.find(expected), std::string::npos) << c.settings << "\n" << log;
        EXPECT_EQ(log.find("Level:3"), log.rfind("Level:3")) << log;  // one failure line
        EXPECT_FALSE(test::exists(dir / "reply.ipc")) << "bound in plain text";

        // --settings reads the files as the start does, and notes the same.
        std::string failure = c.line.substr(c.line.find(")]") + 2);
        failure = failure.substr(0, failure.find(": the server stops"));
        test::Outcome shown = test::runProgram({dir / "bin/ScanServer", "--settings"}, dir / "work",
                                               {{"QRX_PREFIX", dir / "prefix"}}, 10000);
        EXPECT_EQ(shown.exitCode, 1) << shown.output;
        EXPECT_NE(shown.output.find("\nCURVE               on\nnote                " + failure),
                  std::string::npos)
            << shown.output;
    }
}

TEST_F(CurveStartTest, EmptyKeysAsTheInstallersTemplateHasThemMeanPlainText) {
    test::writeFile(dir / "bin/Server.ini", "[Server]\r\nAddress=" + replyEndpoint +
                                                "\r\n[Security]\r\nCurveSecretKeyFile=\r\n"
                                                "CurveClientKeys=\r\n");
    test::Process server({dir / "bin/ScanServer"}, dir / "work", {{"QRX_PREFIX", dir / "prefix"}},
                         dir / "server.out");
    test::ZmqClient plain(ZMQ_REQ, replyEndpoint);
    EXPECT_EQ(test::codeOf(plain.request("{\"type\":0}", 10000)).size(), 36u);
    EXPECT_EQ(logText().find("CURVE"), std::string::npos);
}

}  // namespace
}  // namespace qrx
