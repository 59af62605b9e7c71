// The request loop through real sockets: ipc endpoints in a temporary
// folder, and one tcp loopback case. Each test drives single turns.
#include "processor/request_loop.h"

#include <gtest/gtest.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "processor_peer.h"
#include "test_support.h"

namespace qrx {
namespace {

using test::ZmqClient;

class RequestLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeDirs(dir / "drive_c/qrx");
        peer.settings().address = "ipc://" + dir / "reply.ipc";
        peer.settings().addressEx = "ipc://" + dir / "router.ipc";
    }
    void open() {
        loop = std::make_unique<RequestLoop>(processor);
        loop->open();
    }
    // Entries of the log, one per log call, each without its header.
    std::vector<std::string> logged() {
        std::string text = test::readFile(dir / "drive_c/qrx/sock.log");
        std::vector<std::string> messages;
        const std::string header = "[Processor.cpp(";
        for (size_t at = text.find(header); at != std::string::npos;) {
            size_t start = text.find(")]", at) + 2;
            size_t next = text.find(header, start);
            std::string entry =
                text.substr(start, (next == std::string::npos ? text.size() : next) - start);
            entry = entry.substr(0, entry.rfind("\r\n"));
            messages.push_back(entry);
            at = next;
        }
        return messages;
    }
    static bool readable(void* socket) {
        zmq_pollitem_t item = {socket, 0, ZMQ_POLLIN, 0};
        return zmq_poll(&item, 1, 5000) == 1;
    }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    CProcessor processor{posix};
    CProcessorPeer peer{processor};
    std::unique_ptr<RequestLoop> loop;
};

TEST_F(RequestLoopTest, ReqClientOnTheReplyEndpointGetsACode) {
    open();
    ZmqClient client(ZMQ_REQ, peer.settings().address);
    client.send("{\"type\":0}");
    loop->turn();
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 1u);
    std::string code = test::codeOf(reply->front());
    EXPECT_EQ(reply->front(), "{\n   \"code\" : \"" + code + "\",\n   \"type\" : 0\n}\n");
    EXPECT_EQ(peer.codeSet().count(code), 1u);
    EXPECT_EQ(logged(), (std::vector<std::string>{"{\"type\":0}", reply->front()}));
}

TEST_F(RequestLoopTest, DealerAndReqPeersOnTheRouterEndpointAreAnswered) {
    open();
    ZmqClient dealer(ZMQ_DEALER, peer.settings().addressEx);
    dealer.send("{\"type\":0}");
    loop->turn();
    auto reply = dealer.receive();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 1u);  // one frame, no delimiter
    EXPECT_EQ(test::codeOf(reply->front()).size(), 36u);

    ZmqClient req(ZMQ_REQ, peer.settings().addressEx);
    std::string code = test::codeOf(reply->front());
    req.send("{\"type\":1,\"cardtype\":\"ID\",\"code\":\"" + code + "\"}");
    loop->turn();
    auto second = req.receive();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->back(), test::submissionReply("\"" + code + "\"", 0, ""));
    EXPECT_EQ(peer.cacheList().size(), 1u);
}

TEST_F(RequestLoopTest, TheReplyEndpointIsServedFirstWhenBothWait) {
    open();
    ZmqClient dealer(ZMQ_DEALER, peer.settings().addressEx);
    ZmqClient req(ZMQ_REQ, peer.settings().address);
    test::admitConnections(*loop, processor);
    dealer.send("{\"type\":2,\"from\":\"router\"}");
    req.send("{\"type\":2,\"from\":\"reply\"}");
    ASSERT_TRUE(readable(loop->routerSocket()));
    ASSERT_TRUE(readable(loop->replySocket()));

    loop->turn();
    EXPECT_TRUE(req.receive(1000));
    EXPECT_FALSE(dealer.receive(200));
    loop->turn();
    auto reply = dealer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->front(), "null\n");
    EXPECT_EQ(logged(), (std::vector<std::string>{"{\"type\":2,\"from\":\"reply\"}", "null\n",
                                                  "{\"type\":2,\"from\":\"router\"}", "null\n"}));
}

TEST_F(RequestLoopTest, ADealerOnTheReplyEndpointDoesNotStopTheServer) {
    open();
    ZmqClient dealer(ZMQ_DEALER, peer.settings().address);
    dealer.send("{\"type\":0}");  // no envelope: the reply socket drops it
    ZmqClient client(ZMQ_REQ, peer.settings().addressEx);
    client.send("{\"type\":0}");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Frees a loop that waits on the reply endpoint, so that this test
    // fails rather than hangs when it does.
    std::atomic<bool> done{false};
    std::thread rescuer([&] {
        for (int i = 0; i < 40 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) ZmqClient(ZMQ_REQ, peer.settings().address).request("{\"type\":0}", 2000);
    });
    auto start = std::chrono::steady_clock::now();
    std::optional<std::vector<std::string>> reply;
    for (int turn = 0; turn < 3 && !reply; ++turn) {
        loop->turn();
        reply = client.receive(50);
    }
    auto took = std::chrono::steady_clock::now() - start;
    done = true;
    rescuer.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(test::codeOf(reply->front()).size(), 36u);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 2000);
    EXPECT_FALSE(dealer.receive(100));  // the dropped request gets nothing
}

TEST_F(RequestLoopTest, EmptyRequestsAreNotHandled) {
    open();
    ZmqClient req(ZMQ_REQ, peer.settings().address);
    req.send("");
    loop->turn();
    auto empty = req.receive();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->front(), "");  // so the reply endpoint keeps serving

    ZmqClient dealer(ZMQ_DEALER, peer.settings().addressEx);
    dealer.send("");
    loop->turn();
    EXPECT_FALSE(dealer.receive(200));  // a dealer's empty request is dropped

    req.send("{\"type\":0}");
    loop->turn();
    EXPECT_TRUE(req.receive());
    EXPECT_EQ(logged().size(), 2u);  // only the last request and its reply
}

TEST_F(RequestLoopTest, FramesAfterTheFirstBodyFrameAreDiscarded) {
    open();
    ZmqClient dealer(ZMQ_DEALER, peer.settings().addressEx);
    dealer.send(std::vector<std::string>{"{\"type\":0}", "{\"type\":0}", "junk"});
    loop->turn();
    ASSERT_TRUE(dealer.receive());
    ZmqClient req(ZMQ_REQ, peer.settings().address);
    req.send(std::vector<std::string>{"[1]", "{\"type\":0}"});
    loop->turn();
    auto reply = req.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->front(), "null\n");
    EXPECT_EQ(peer.codeSet().size(), 1u);
    EXPECT_EQ(logged().size(), 4u);
}

TEST_F(RequestLoopTest, ARequestWithANulReachesTheHandlerWholeAndIsLoggedToTheNul) {
    open();
    ZmqClient req(ZMQ_REQ, peer.settings().address);
    req.send("{\"type\":0}");
    loop->turn();
    std::string code = test::codeOf(req.receive()->front());
    // The text after the NUL is the rest of the request: it carries the code.
    // (A member the record never reads may hold a NUL; one it reads may not.)
    const char head[] = "{\"type\":1,\"cardtype\":\"a\",\"note\":\"x\0y\",\"code\":\"";
    std::string request = std::string(head, sizeof(head) - 1) + code + "\"}";
    req.send(request);
    loop->turn();
    EXPECT_EQ(req.receive()->front(), test::submissionReply("\"" + code + "\"", 0, ""));
    EXPECT_EQ(logged()[2], "{\"type\":1,\"cardtype\":\"a\",\"note\":\"x");
}

// With LogImages=0 the log keeps each request but its photographs: the text
// of each image member becomes its length, and every other byte stays.
TEST_F(RequestLoopTest, WithoutLogImagesAnImageIsLoggedAsItsLength) {
    const std::string image(3000, 'A');
    const std::string both = "{\"type\":1, \"cardiamgedata\" : \"" + image +
                             "\",\"name\":\"\xD5\xC5\",\"headiamgedata\":\"QUJD\"}";
    const std::string deep = "{\"type\":1,\"code\":" + std::string(1100, '[');
    const std::string twice =
        "{\"cardiamgedata\":\"" + image + "\",\"type\":1,\"cardiamgedata\":\"x\"}";
    auto unread = [](const std::string& request) {
        return "<" + std::to_string(request.size()) + " bytes not logged with LogImages=0>";
    };
    const struct {
        int logImages;
        std::string request, logged;
    } rows[] = {
        {1, both, both},
        {0, both,
         "{\"type\":1, \"cardiamgedata\" : \"<base64, 3000 bytes>\",\"name\":\"\xD5\xC5\","
         "\"headiamgedata\":\"<base64, 4 bytes>\"}"},
        {0, "{\"headiamgedata\":[1,2],\"type\":0}", "{\"headiamgedata\":[1,2],\"type\":0}"},
        {0, "not json", "not json"},
        {0, "[" + image + "]", unread("[" + image + "]")},
        // Too deep for the reader, which throws: the server serves on.
        {0, deep, unread(deep)},
        // A name given twice: the reader keeps the last one only.
        {0, twice, unread(twice)},
    };
    open();
    ZmqClient req(ZMQ_REQ, peer.settings().address);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.logged.substr(0, 60));
        peer.settings().logImages = row.logImages;
        req.send(row.request);
        loop->turn();
        ASSERT_TRUE(req.receive());
        const std::vector<std::string> entries = logged();
        EXPECT_NE(std::find(entries.begin(), entries.end(), row.logged), entries.end());
    }
}

TEST_F(RequestLoopTest, ABrokenRecordIsRefusedAndItsCodeStaysSpendable) {
    open();
    ZmqClient dealer(ZMQ_DEALER, peer.settings().addressEx);
    dealer.send("{\"type\":0}");
    loop->turn();
    std::string code = test::codeOf(dealer.receive()->front());
    const std::string head =
        "{\"type\":1,\"cardtype\":\"ID\",\"ScanCmd\":\"C1\",\"code\":\"" + code + "\"";
    dealer.send(head + ",\"headiamgedata\":\"not base64\"}");
    loop->turn();
    EXPECT_EQ(dealer.receive()->front(),
              test::submissionReply("\"" + code + "\"", 1, "headiamgedata is invalid"));
    dealer.send(head + ",\"address\":{\"city\":\"x\"}}");
    loop->turn();
    EXPECT_EQ(dealer.receive()->front(),
              test::submissionReply("\"" + code + "\"", 1, "address is invalid"));
    EXPECT_TRUE(peer.cacheList().empty());

    dealer.send(head + ",\"address\":\"x\",\"headiamgedata\":\"QUJD\"}");
    loop->turn();
    EXPECT_EQ(dealer.receive()->front(), test::submissionReply("\"" + code + "\"", 0, ""));
    EXPECT_EQ(peer.cacheList().size(), 1u);
}

TEST_F(RequestLoopTest, TcpLoopbackServesToo) {
    peer.settings().address = "tcp://127.0.0.1:*";
    peer.settings().addressEx = "tcp://127.0.0.1:*";
    open();
    char endpoint[256];
    size_t size = sizeof(endpoint);
    ASSERT_EQ(zmq_getsockopt(loop->replySocket(), ZMQ_LAST_ENDPOINT, endpoint, &size), 0);
    ZmqClient req(ZMQ_REQ, endpoint);
    req.send("{\"type\":0}");
    loop->turn();
    auto reply = req.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(test::codeOf(reply->front()).size(), 36u);
}

TEST_F(RequestLoopTest, ThePollWaitShortensWhileRecordsAreQueued) {
    open();
    EXPECT_EQ(loop->pollTimeoutMs(), 3000);
    ZmqClient req(ZMQ_REQ, peer.settings().address);
    req.send("{\"type\":0}");
    loop->turn();
    std::string code = test::codeOf(req.receive()->front());
    EXPECT_EQ(loop->pollTimeoutMs(), 3000);  // codes alone do not count
    req.send("{\"type\":1,\"cardtype\":1,\"code\":\"" + code + "\"}");
    loop->turn();
    ASSERT_TRUE(req.receive());
    EXPECT_EQ(loop->pollTimeoutMs(), 200);
    peer.cacheList().clear();
    EXPECT_EQ(loop->pollTimeoutMs(), 3000);
}

// A request loop on the fake platform, its clock set by each test.
class RequestLoopAtRestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeDirs(dir / "drive_c/qrx");
        peer.settings().address = "ipc://" + dir / "reply.ipc";
        peer.settings().addressEx = "ipc://" + dir / "router.ipc";
    }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    CProcessor processor{fake};
    CProcessorPeer peer{processor};
};

// The heap's free memory goes back once nothing is queued, even while
// requests keep coming, and at most once in ten seconds.
TEST_F(RequestLoopAtRestTest, FreedMemoryGoesBackWhenNothingIsQueuedAtMostEveryTenSeconds) {
    // Far from 0, so that the ten seconds count from the start.
    fake.clock.monotonic = 100000;
    RequestLoop loop(processor);
    loop.open();
    ZmqClient client(ZMQ_REQ, peer.settings().address);
    const struct {
        int64_t at;
        bool queued;
        int releases;
    } turns[] = {{1000, false, 0},  {11000, false, 1}, {20000, false, 1}, {40000, true, 1},
                 {40000, false, 2}, {49000, false, 2}, {50000, false, 3}, {50000, false, 3}};
    for (const auto& t : turns) {
        SCOPED_TRACE(std::to_string(t.at) + (t.queued ? " ms, a record queued" : " ms"));
        fake.clock.monotonic = 100000 + t.at;
        peer.cacheList().clear();
        if (t.queued) peer.cacheList().push_back('C', "{}");
        client.send("{\"type\":0}");  // a request every turn
        loop.turn();
        ASSERT_TRUE(client.receive());
        EXPECT_EQ(fake.process.memoryReleases, t.releases);
    }
}

// A turn that only the connection gate woke waits for a request for the
// rest of its wait, as the platform's clock measures it.
TEST_F(RequestLoopAtRestTest, AGateEventLeavesTheTurnOnlyTheRestOfItsWaitByThePlatformClock) {
    RequestLoop loop(processor);
    loop.open();
    fake.clock.monotonic = 100000;
    fake.clock.stepMs = 5000;                            // past the turn's 3 s at its next look
    ZmqClient client(ZMQ_REQ, peer.settings().address);  // the gate hears of it
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        client.send("{\"type\":0}");
    });
    loop.turn();
    later.join();
    EXPECT_FALSE(client.receive(300));  // the turn ended at the gate's event
    fake.clock.stepMs = 0;
    loop.turn();
    EXPECT_TRUE(client.receive());
}

// Each endpoint that cannot be made is logged with its start-up line, then
// which endpoint and why, whichever step failed; a CURVE server that cannot
// be set up is not bound at all.
TEST_F(RequestLoopTest, StartFailuresAreLoggedWithTheirReasonsAndNothingBoundIsReported) {
    const std::string reply = peer.settings().address, router = peer.settings().addressEx;
    const struct {
        const char* what;
        std::string address, addressEx, secretKey;
        std::vector<std::string> logged;
    } rows[] = {
        {"no address can be bound",
         "bogus://nowhere",
         "tcp://999.1.1.1:1",
         "",
         {"zmq_bind fail", "cannot bind bogus://nowhere: Protocol not supported",
          "zmq_bind ex fail", "cannot bind tcp://999.1.1.1:1: No such device"}},
        {"libzmq takes no such secret key",
         reply,
         router,
         "short",
         {"zmq_bind fail", "cannot make " + reply + " a CURVE server: Invalid argument",
          "zmq_bind ex fail", "cannot make " + router + " a CURVE server: Invalid argument"}},
    };
    for (const auto& row : rows) {
        test::writeFile(dir / "drive_c/qrx/sock.log", "");
        peer.settings().address = row.address;
        peer.settings().addressEx = row.addressEx;
        peer.curveKeys().secretKey = row.secretKey;
        loop.reset();
        loop = std::make_unique<RequestLoop>(processor);
        EXPECT_FALSE(loop->open()) << row.what;
        EXPECT_EQ(logged(), row.logged) << row.what;
        peer.cacheList().push_back('C', "{}\n");  // a short wait for the turn below
        loop->turn();
    }
}

}  // namespace
}  // namespace qrx
