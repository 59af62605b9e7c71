// The bound on connections: the limits set in "Server.ini", connections from
// 127.0.0.1 and other loopback addresses over tcp, plain and CURVE, each
// test driving single turns of the request loop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "processor/request_loop.h"
#include "processor_peer.h"
#include "test_support.h"

namespace qrx {
namespace {

using test::ZmqClient;

// plain (false) or CURVE (true)
class ConnectionLimitTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        test::makeDirs(dir / "drive_c/qrx");
        test::makeDirs(dir / "bin");
        fake.process.exePath = dir / "bin/ScanServer";
    }
    // Opens the loop on two tcp endpoints of 127.0.0.1 with settings (lines
    // of section Server) from "Server.ini".
    void open(const std::string& settings) {
        std::string security;
        if (GetParam()) {
            auto [serverPublic, serverSecret] = test::curveKeyPair();
            auto [clientPublic, clientSecret] = test::curveKeyPair();
            curve = test::CurveClient{serverPublic, clientPublic, clientSecret};
            test::writeFile(dir / "bin/server.key", serverSecret + "\n");
            test::writeFile(dir / "bin/clients.txt", clientPublic + "\n");
            security =
                "[Security]\r\nCurveSecretKeyFile=server.key\r\nCurveClientKeys=clients.txt\r\n";
        }
        test::writeFile(dir / "bin/Server.ini",
                        "[Server]\r\nAddress=tcp://127.0.0.1:*\r\nAddressEx=tcp://127.0.0.1:*\r\n" +
                            settings + security);
        processor.loadSettings();
        ASSERT_TRUE(processor.loadCurveKeys());
        peer.cacheList().push_back('F', "{}\n");  // turns of 200 ms
        loop = std::make_unique<RequestLoop>(processor);
        ASSERT_TRUE(loop->open());
        for (void* socket : {loop->replySocket(), loop->routerSocket()}) {
            char endpoint[256];
            size_t size = sizeof(endpoint);
            ASSERT_EQ(zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &size), 0);
            ports.push_back(std::string(endpoint).substr(std::string("tcp://127.0.0.1:").size()));
        }
    }
    // A client of endpoint (0 reply, 1 router) from a loopback address.
    std::unique_ptr<ZmqClient> client(int endpoint, const std::string& from = "127.0.0.1") {
        return std::make_unique<ZmqClient>(endpoint == 0 ? ZMQ_REQ : ZMQ_DEALER,
                                           "tcp://" + from + ":0;127.0.0.1:" + ports[endpoint],
                                           curve);
    }
    // Whether a code request of client is answered within a few turns.
    bool served(ZmqClient& client) {
        client.send("{\"type\":0}");
        for (int turn = 0; turn < 4; ++turn) {
            loop->turn();
            if (auto reply = client.receive(50)) return test::codeOf(reply->front()).size() == 36;
        }
        return false;
    }
    // A bare tcp connection to endpoint, which never starts its handshake.
    int bareConnection(int endpoint) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(ports[endpoint])));
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        return fd;
    }
    std::string logText() { return test::readFile(dir / "drive_c/qrx/sock.log"); }
    // Time for the server's side to see a connection closed by a client end.
    static void letCloseArrive() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    CProcessor processor{fake};
    CProcessorPeer peer{processor};
    std::unique_ptr<RequestLoop> loop;
    std::optional<test::CurveClient> curve;
    std::vector<std::string> ports;
};

TEST_P(ConnectionLimitTest, ConnectionsPastALimitAreRefusedAndOthersServed) {
    open("MaxConnections=3\r\nMaxConnectionsPerAddress=2\r\n");
    // One address's connections to both endpoints count together.
    auto first = client(0), second = client(1);
    EXPECT_TRUE(served(*first));
    EXPECT_TRUE(served(*second));
    auto third = client(1);
    EXPECT_FALSE(served(*third));
    EXPECT_NE(logText().find("[Level:3][Processor.cpp("), std::string::npos);
    EXPECT_NE(logText().find(")]connection from 127.0.0.1 refused: 2 are open from there, the "
                             "most one address may have (MaxConnectionsPerAddress)\r\n"),
              std::string::npos)
        << logText();

    // Another address is served, up to the limit on all connections.
    auto other = client(1, "127.0.0.2");
    EXPECT_TRUE(served(*other));
    auto fourth = client(0, "127.0.0.3");
    EXPECT_FALSE(served(*fourth));
    // Refusals after the first are counted, the count logged a minute on.
    fake.clock.monotonic = fake.clock.monotonicMs() + 60 * 1000;
    loop->turn();
    const std::string log = logText();
    const size_t count = log.find(")]connection refused ");
    ASSERT_NE(count, std::string::npos) << log;
    EXPECT_NE(log.find(" s, not logged one by one\r\n", count), std::string::npos) << log;
    // The first refusal is a warning in the event log too; the rest of the
    // kind wait out its 10 minutes there.
    std::vector<std::string> refusals;
    for (const auto& event : fake.process.events)
        if (event.id == 140) refusals.push_back(event.text);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].rfind("connection from 127.0.0.1 refused: 2 are open", 0), 0u);

    // Once a connection from 127.0.0.1 has ended, a new one is served, on
    // either endpoint. (The refused clients go first: libzmq may connect
    // them again, and they would take the place.)
    third.reset();
    fourth.reset();
    second.reset();
    letCloseArrive();
    auto again = client(0);
    EXPECT_TRUE(served(*again));
    EXPECT_TRUE(served(*first));
}

// However a connection ends (before its handshake, while the server checks
// it, refused, or after it was served), it stops counting: as many are
// admitted afterwards as before, and no more.
TEST_P(ConnectionLimitTest, NoWayOfEndingAConnectionLeavesItCounted) {
    open("MaxConnections=2\r\nMaxConnectionsPerAddress=2\r\n");
    for (int round = 0; round < 3; ++round) {
        for (int endpoint : {0, 1}) {
            const int bare = bareConnection(endpoint);
            test::admitConnections(*loop, processor);  // it counts from now
            auto checked = client(endpoint);
            letCloseArrive();  // connected; its check waits for a turn
            checked.reset();
            close(bare);
            letCloseArrive();
            auto one = client(endpoint), two = client(1 - endpoint);
            ASSERT_TRUE(served(*one)) << round << endpoint;
            ASSERT_TRUE(served(*two)) << round << endpoint;
            ASSERT_FALSE(served(*client(endpoint))) << round << endpoint;
            one.reset();
            two.reset();
            letCloseArrive();
        }
    }
    auto one = client(1), two = client(0);
    EXPECT_TRUE(served(*one));
    EXPECT_TRUE(served(*two));
    EXPECT_FALSE(served(*client(1)));
}

INSTANTIATE_TEST_SUITE_P(PlainAndCurve, ConnectionLimitTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Curve" : "Plain"; });

}  // namespace
}  // namespace qrx
