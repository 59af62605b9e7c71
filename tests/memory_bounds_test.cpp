// The bounds on the server's memory: the size of one request, the number of
// unspent codes, the bytes queued, the room a queued record keeps, and a
// server that can bind no endpoint at all.
#include <gtest/gtest.h>
#include <zmq.h>

#include <chrono>
#include <thread>

#include "jsontext/styled_json.h"
#include "processor/request_loop.h"
#include "processor_peer.h"
#include "test_support.h"

namespace qrx {
namespace {

class MemoryBoundsTest : public ::testing::Test {
  protected:
    void SetUp() override { test::makeDirs(dir / "drive_c/qrx"); }

    std::string replyTo(const std::string& request) {
        Json::Value reply;
        processor.handleRequest(request, reply);
        return styledText(reply);
    }
    std::string issueCode() { return test::codeOf(replyTo("{\"type\":0}")); }
    std::string submit(const std::string& code, const std::string& name = "x") {
        return replyTo("{\"type\":1,\"cardtype\":\"ID\",\"code\":\"" + code + "\",\"name\":\"" +
                       name + "\"}");
    }
    static std::string accepted(const std::string& code) {
        return test::submissionReply("\"" + code + "\"", 0, "");
    }
    static std::string refused(const std::string& code, const std::string& msg) {
        return test::submissionReply("\"" + code + "\"", 1, msg);
    }
    std::string logText() { return test::readFile(dir / "drive_c/qrx/sock.log"); }
    int countInLog(const std::string& text) {
        const std::string log = logText();
        int found = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++found;
        return found;
    }
    // The log line that follows the first line ending in ending.
    std::string lineAfter(const std::string& ending) {
        std::string log = logText();
        size_t at = log.find(ending);
        if (at == std::string::npos) return "";
        at += ending.size();
        return log.substr(at, log.find("\r\n", at) - at);
    }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    CProcessor processor{fake};
    CProcessorPeer peer{processor};
};

TEST_F(MemoryBoundsTest, TheOldestUnspentCodesAreForgottenFirst) {
    peer.settings().maxCodes = 3;
    std::vector<std::string> codes;
    for (int i = 0; i < 5; ++i) codes.push_back(issueCode());
    EXPECT_EQ(peer.codeSet().size(), 3u);

    EXPECT_EQ(submit(codes[0]), refused(codes[0], "code is err"));
    EXPECT_EQ(submit(codes[1]), refused(codes[1], "code is err"));
    for (int i = 2; i < 5; ++i) EXPECT_EQ(submit(codes[i]), accepted(codes[i])) << i;
}

TEST_F(MemoryBoundsTest, SpentCodesLeaveRoomAndAreNotForgottenAgain) {
    peer.settings().maxCodes = 2;
    std::string first = issueCode();
    std::string second = issueCode();
    EXPECT_EQ(submit(first), accepted(first));
    // first was spent: the limit is reached only with a third unspent code.
    std::string third = issueCode();
    std::string fourth = issueCode();
    EXPECT_EQ(peer.codeSet(), (std::set<std::string>{third, fourth}));
    EXPECT_EQ(submit(second), refused(second, "code is err"));

    // Many codes issued and spent in turn never push out the one held back.
    peer.settings().maxCodes = 3;
    for (int i = 0; i < 1000; ++i) {
        std::string code = issueCode();
        ASSERT_EQ(submit(code), accepted(code));
        peer.cacheList().clear();
    }
    EXPECT_EQ(submit(third), accepted(third));
    EXPECT_EQ(submit(fourth), accepted(fourth));
}

TEST_F(MemoryBoundsTest, ZeroMeansNoLimitOnCodes) {
    peer.settings().maxCodes = 0;
    for (int i = 0; i < 500; ++i) issueCode();
    EXPECT_EQ(peer.codeSet().size(), 500u);
}

TEST_F(MemoryBoundsTest, AFullQueueRefusesWithoutSpendingTheCodeOrLosingRecords) {
    std::string code = issueCode();
    ASSERT_EQ(submit(code, "first"), accepted(code));
    const size_t oneRecord = peer.cacheList().bytes();
    ASSERT_GT(oneRecord, 0u);
    peer.settings().maxCacheSize = static_cast<int>(2 * oneRecord + oneRecord / 2);
    code = issueCode();
    ASSERT_EQ(submit(code, "secnd"), accepted(code));

    std::string waiting = issueCode();
    EXPECT_EQ(submit(waiting, "third"), refused(waiting, "cache is full"));
    EXPECT_EQ(peer.cacheList().size(), 2u);
    EXPECT_EQ(peer.cacheList().bytes(), 2 * oneRecord);
    EXPECT_EQ(peer.codeSet().count(waiting), 1u);

    // Once the desktop side has taken a record, the same code goes through.
    peer.cacheList().erase(peer.cacheList().begin());
    EXPECT_EQ(submit(waiting, "third"), accepted(waiting));
    ASSERT_EQ(peer.cacheList().size(), 2u);
    EXPECT_NE(peer.cacheList().front().text.find("secnd"), std::string::npos);
    EXPECT_NE(std::next(peer.cacheList().begin())->text.find("third"), std::string::npos);
}

TEST_F(MemoryBoundsTest, AQueuedRecordKeepsOnlyItsOwnSize) {
    std::string code = issueCode();
    // Ignored trailing text and white space do not count towards the record.
    std::string request = "{\"type\":1,\"cardtype\":\"ID\",\"code\":\"" + code +
                          "\",\"name\":\"x\"}" + std::string(6 << 20, ' ') + "ignored";
    ASSERT_EQ(replyTo(request), accepted(code));
    ASSERT_EQ(peer.cacheList().size(), 1u);
    const std::string& kept = peer.cacheList().front().text;
    EXPECT_LT(kept.size(), 200u);
    EXPECT_LE(kept.capacity(), kept.size() + 64) << "a record keeps room it does not use";

    // Nor does a long record keep room beyond its text as it was written.
    code = issueCode();
    ASSERT_EQ(submit(code, std::string(300000, 'n')), accepted(code));
    const std::string& longer = peer.cacheList().back().text;
    EXPECT_GT(longer.size(), 300000u);
    EXPECT_LE(longer.capacity(), longer.size() + 64) << "a record keeps room it does not use";
}

class RequestBoundsLoopTest : public MemoryBoundsTest {
  protected:
    void SetUp() override {
        MemoryBoundsTest::SetUp();
        peer.settings().address = "ipc://" + dir / "reply.ipc";
        peer.settings().addressEx = "ipc://" + dir / "router.ipc";
    }
    std::unique_ptr<RequestLoop> loop = std::make_unique<RequestLoop>(processor);
};

TEST_F(RequestBoundsLoopTest, ARequestOverTheLimitIsDroppedAndOthersAreStillServed) {
    peer.settings().maxRequestSize = 1000;
    peer.cacheList().push_back('C', "{}\n");  // turns of 200 ms
    ASSERT_TRUE(loop->open());
    const std::string tooLarge = "{\"type\":0,\"pad\":\"" + std::string(2000, 'x') + "\"}";
    for (const std::string& endpoint : {peer.settings().address, peer.settings().addressEx}) {
        test::ZmqClient large(endpoint == peer.settings().address ? ZMQ_REQ : ZMQ_DEALER, endpoint);
        large.send(tooLarge);
        // Turns enough for the message to have arrived, were it taken.
        for (int turn = 0; turn < 5; ++turn) loop->turn();
        EXPECT_FALSE(large.receive(200)) << endpoint;
    }
    test::ZmqClient client(ZMQ_REQ, peer.settings().address);
    client.send("{\"type\":0,\"pad\":\"" + std::string(900, 'x') + "\"}");
    loop->turn();
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(test::codeOf(reply->front()).size(), 36u);
    EXPECT_EQ(peer.codeSet().size(), 1u);
    // Only the request within the limit reached the server and its log.
    EXPECT_EQ(logText().find(std::string(2000, 'x')), std::string::npos);
    EXPECT_NE(logText().find(std::string(900, 'x') + "\"}\r\n"), std::string::npos);
}

// A peer that pipelines requests faster than the loop takes them gets only
// a few into the server, and none is lost. Unbounded, all 100 (25 MiB) were.
TEST_F(RequestBoundsLoopTest, APipeliningPeerGetsOnlyAFewRequestsIntoTheServer) {
    ASSERT_TRUE(loop->open());
    const std::string request = "{\"type\":0,\"pad\":\"" + std::string(256 << 10, 'x') + "\"}";
    size_t served = 0;
    for (const std::string& endpoint :
         {processor.settings().address, processor.settings().addressEx}) {
        test::ZmqClient client(ZMQ_DEALER, endpoint, std::nullopt, 1);  // holds one itself
        test::admitConnections(*loop, processor);
        std::vector<std::string> frames{request};
        if (endpoint == processor.settings().address)
            frames.insert(frames.begin(), "");  // REP's envelope
        int sent = 0;
        for (int idle = 0; sent < 100 && idle < 50; ++idle) {  // until 500 ms pass with none
            if (client.send(frames, ZMQ_DONTWAIT))
                ++sent, idle = -1;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // Four waiting, one more in each side's hands, at most one in the kernel.
        EXPECT_GE(sent, 3) << endpoint;
        EXPECT_LE(sent, 8) << endpoint;
        for (int answered = 0; answered < sent; ++answered, ++served) {
            loop->turn();
            ASSERT_TRUE(client.receive(1000)) << endpoint << ": request " << answered;
        }
    }
    EXPECT_EQ(peer.codeSet().size(), served);
}

// A DEALER with a thousand requests in flight, libzmq's default depth, gets
// every reply, though it reads none until the last one has been sent.
TEST_F(RequestBoundsLoopTest, APipeliningDealerGetsEveryReply) {
    ASSERT_TRUE(loop->open());
    test::ZmqClient client(ZMQ_DEALER, processor.settings().addressEx);
    constexpr size_t kInFlight = 1000;
    for (size_t sent = 0; sent < kInFlight; ++sent)
        ASSERT_TRUE(client.send({"{\"type\":0}"}, ZMQ_DONTWAIT)) << "request " << sent;
    for (size_t turn = 0; turn < kInFlight; ++turn) loop->turn();
    std::set<std::string> codes;
    while (auto reply = client.receive(1000)) codes.insert(test::codeOf(reply->front()));
    EXPECT_EQ(codes.size(), kInFlight);
    EXPECT_TRUE(codes == peer.codeSet()) << "the replies carry other codes than those issued";
}

// A reply whose client has gone is logged, and later ones counted: at most
// a line a minute.
TEST_F(RequestBoundsLoopTest, DroppedRepliesAreLoggedOnceAMinuteAtMost) {
    ASSERT_TRUE(loop->open());
    for (int second : {0, 30, 59, 60, 200}) {
        fake.clock.monotonic = (1000 + second) * 1000;
        auto gone = std::make_unique<test::ZmqClient>(ZMQ_DEALER, peer.settings().addressEx);
        test::admitConnections(*loop, processor);
        gone->send("{\"type\":0}");
        zmq_pollitem_t item = {loop->routerSocket(), 0, ZMQ_POLLIN, 0};
        ASSERT_EQ(zmq_poll(&item, 1, 5000), 1);
        gone.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        loop->turn();
    }
    EXPECT_EQ(countInLog(")]reply dropped: the client at "), 1) << logText();
    EXPECT_EQ(countInLog(" has gone\r\n"), 1);
    EXPECT_EQ(countInLog(")]reply dropped 2 more times in 60 s, not logged one by one\r\n"), 1);
    EXPECT_EQ(countInLog(")]reply dropped 1 more times in 140 s, not logged one by one\r\n"), 1);
}

// A reply echoes the request's "code", whatever it holds; one longer than
// 1 KiB goes out as null, so a peer that reads no replies has small ones
// held for it.
TEST_F(RequestBoundsLoopTest, AReplyPastItsBoundGoesOutAsNull) {
    ASSERT_TRUE(loop->open());
    test::ZmqClient client(ZMQ_REQ, peer.settings().address);
    const auto echoing = [](const std::string& code) {
        return test::submissionReply(code, 1, "cardtype is null");
    };
    // A text "code" whose reply is exactly 1 KiB, as the documents say.
    const std::string fits(1024 - echoing("\"\"").size(), 'c');
    const struct {
        std::string code, reply;
    } cases[] = {
        // A short "code" is echoed as it came, arrays and all.
        {"[1,2,3]", echoing("[ 1, 2, 3 ]")},
        {"\"" + fits + "\"", echoing("\"" + fits + "\"")},
        // One byte more, and 900 nested arrays: under 2 KB of request,
        // megabytes of styled text.
        {"\"" + fits + "c\"", "null\n"},
        {std::string(900, '[') + std::string(900, ']'), "null\n"},
    };
    int nulls = 0;
    for (const auto& c : cases) {
        client.send("{\"type\":1,\"code\":" + c.code + "}");
        loop->turn();
        auto reply = client.receive();
        ASSERT_TRUE(reply) << c.code.substr(0, 20);
        EXPECT_EQ(reply->front(), c.reply) << c.code.substr(0, 20);
        if (c.reply == "null\n") ++nulls;
        EXPECT_EQ(countInLog("[Level:3][Processor.cpp("), nulls);
        EXPECT_EQ(countInLog(")]reply too large to write, sent as null\r\n"), nulls);
    }

    // The server serves on.
    client.send("{\"type\":0}");
    loop->turn();
    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(test::codeOf(reply->front()).size(), 36u);
}

TEST_F(RequestBoundsLoopTest, ABindFailureIsLoggedWithItsEndpointAndReason) {
    peer.settings().addressEx = "ipc://" + dir / "missing/router.ipc";
    EXPECT_TRUE(loop->open());  // the reply endpoint serves on
    std::string reason = lineAfter(")]zmq_bind ex fail\r\n");
    EXPECT_NE(reason.find("[Level:3][Processor.cpp("), std::string::npos) << reason;
    EXPECT_NE(
        reason.find(")]cannot bind " + peer.settings().addressEx + ": No such file or directory"),
        std::string::npos)
        << reason;
    EXPECT_EQ(logText().find("zmq_bind fail"), std::string::npos);

    test::ZmqClient client(ZMQ_REQ, peer.settings().address);
    client.send("{\"type\":0}");
    loop->turn();
    EXPECT_TRUE(client.receive());
}

}  // namespace
}  // namespace qrx
