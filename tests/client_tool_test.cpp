// qrx-client as a client author runs it: card files in UTF-8 go out as GBK,
// --raw sends bytes as they are, and a problem is one line and a hint. The
// server here is a stand-in REP socket that keeps what it was sent.
#include <gtest/gtest.h>
#include <zmq.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/gbk_text.h"
#include "process_support.h"
#include "test_support.h"

namespace qrx::test {
namespace {

// 张三 and 北京市 in UTF-8 and in GBK.
const std::string kNameUtf8 = "\xE5\xBC\xA0\xE4\xB8\x89";
const std::string kNameGbk = "\xD5\xC5\xC8\xFD";
const std::string kCityUtf8 = "\xE5\x8C\x97\xE4\xBA\xAC\xE5\xB8\x82";
const std::string kCityGbk = "\xB1\xB1\xBE\xA9\xCA\xD0";
const std::string kAccepted = "{\n   \"code\" : \"c\",\n   \"msg\" : \"\",\n   \"result\" : 0\n}\n";

TEST(GbkTextTest, ConvertsUtf8AndNamesWhatItCannot) {
    std::string gbk, problem;
    ASSERT_TRUE(utf8ToGbk(kNameUtf8 + " / " + kCityUtf8, &gbk, &problem)) << problem;
    EXPECT_EQ(gbk, kNameGbk + " / " + kCityGbk);

    EXPECT_FALSE(utf8ToGbk(kNameGbk, &gbk, &problem));  // GBK bytes are not UTF-8
    EXPECT_EQ(problem, "is not valid UTF-8");
    EXPECT_FALSE(utf8ToGbk("ab\xE5\xBC", &gbk, &problem));  // cut in the middle
    EXPECT_EQ(problem, "is not valid UTF-8");
    EXPECT_FALSE(utf8ToGbk(kNameUtf8 + "\xF0\x9F\x98\x80", &gbk, &problem));
    EXPECT_EQ(problem, "holds U+1F600, which has no GBK form");
}

// One REP socket that answers a single request with a fixed reply.
class StandInServer {
  public:
    StandInServer(const std::string& endpoint, std::string reply)
        : context_(zmq_ctx_new()), socket_(zmq_socket(context_, ZMQ_REP)) {
        EXPECT_EQ(zmq_bind(socket_, endpoint.c_str()), 0);
        thread_ = std::thread([this, reply] {
            zmq_pollitem_t item = {socket_, 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, 10000) <= 0) return;
            std::vector<char> buffer(1 << 20);
            int size = zmq_recv(socket_, buffer.data(), buffer.size(), 0);
            if (size < 0) return;
            received_.assign(buffer.data(), std::min<size_t>(size, buffer.size()));
            zmq_send(socket_, reply.data(), reply.size(), 0);
        });
    }
    ~StandInServer() {
        int linger = 0;
        zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof(linger));
        if (thread_.joinable()) thread_.join();
        zmq_close(socket_);
        zmq_ctx_term(context_);
    }
    // What the client sent; waits for the one request to be answered.
    const std::string& received() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }

  private:
    void* context_;
    void* socket_;
    std::thread thread_;
    std::string received_;
};

class ClientToolTest : public ::testing::Test {
  protected:
    std::string endpoint() const { return "ipc://" + dir / "server.ipc"; }
    Outcome client(std::vector<std::string> args, int timeoutMs = 15000) {
        args.insert(args.begin(), QRX_CLIENT_PATH);
        return runProgram(args, dir.path(), {}, timeoutMs);
    }
    static int lines(const std::string& text) {
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }
    TempDir dir;
};

TEST_F(ClientToolTest, Utf8CardTextsGoOutAsGbk) {
    writeFile(dir / "card.json", "{\"cardtype\":\"ID\",\"ScanCmd\":\"C\",\"name\":\"" + kNameUtf8 +
                                     "\",\"address\":\"" + kCityUtf8 + "\"}");
    StandInServer server(endpoint(), kAccepted);
    Outcome run = client({"--endpoint", endpoint(), "submit", "--code", "c", "--card",
                          dir / "card.json", "--set", "nation=" + kCityUtf8});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("3 texts converted from UTF-8 to GBK"), std::string::npos)
        << run.output;
    const std::string& sent = server.received();
    EXPECT_NE(sent.find("\"name\" : \"" + kNameGbk + "\""), std::string::npos) << sent;
    EXPECT_NE(sent.find("\"address\" : \"" + kCityGbk + "\""), std::string::npos) << sent;
    EXPECT_NE(sent.find("\"nation\" : \"" + kCityGbk + "\""), std::string::npos) << sent;
    EXPECT_EQ(sent.find(kNameUtf8), std::string::npos);
}

TEST_F(ClientToolTest, RawSendsAGbkCardAsItIs) {
    writeFile(dir / "card.json",
              "{\"cardtype\":\"ID\",\"ScanCmd\":\"C\",\"name\":\"" + kNameGbk + "\"}");
    StandInServer server(endpoint(), kAccepted);
    Outcome run = client(
        {"--endpoint", endpoint(), "--raw", "submit", "--code", "c", "--card", dir / "card.json"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("texts sent as they are (--raw)"), std::string::npos);
    EXPECT_NE(server.received().find("\"name\" : \"" + kNameGbk + "\""), std::string::npos);
}

TEST_F(ClientToolTest, CardsThatCannotBeGbkAreRefusedBeforeAnythingIsSent) {
    StandInServer server(endpoint(), kAccepted);
    // A file in GBK is told apart from a character that GBK cannot hold:
    // --raw mends only the first.
    struct Case {
        std::string card, says, hint;
    } cases[] = {
        {"{\"cardtype\":\"ID\",\"name\":\"" + kNameGbk + "\"}",
         "card.json: \"name\" is not valid UTF-8\n",
         "the file is not UTF-8: if its texts are GBK already, pass --raw"},
        {"{\"cardtype\":\"ID\",\"sex\":\"\xF0\x9F\x98\x80\"}",
         "card.json: \"sex\" holds U+1F600, which has no GBK form\n",
         "the desk's records hold GBK, which has no such character: write the text without it"},
    };
    for (const Case& c : cases) {
        writeFile(dir / "card.json", c.card);
        Outcome run = client({"--endpoint", endpoint(), "submit", "--card", "card.json"});
        EXPECT_EQ(run.exitCode, 3) << run.output;
        EXPECT_EQ(run.output.rfind("qrx-client: " + c.says, 0), 0u) << run.output;
        EXPECT_NE(run.output.find(c.hint), std::string::npos) << run.output;
        EXPECT_EQ(lines(run.output), 2) << run.output;
    }
    // Not even a code was asked for: the stand-in's one request is this one.
    EXPECT_EQ(client({"--endpoint", endpoint(), "code"}).exitCode, 0);
    EXPECT_EQ(server.received(), "{\"type\":0}");
}

TEST_F(ClientToolTest, ProblemsAreOneLineAndAHint) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"submit", "--card", "missing.json"},
                                               {"--bogus"},
                                               {},
                                               {"code", "--timeout", "0"},
                                               {"submit", "--set", "novalue"}}) {
        Outcome run = client(args);
        EXPECT_EQ(run.exitCode, 3) << run.output;
        EXPECT_EQ(lines(run.output), 2) << run.output;
        EXPECT_EQ(run.output.find("usage:"), std::string::npos) << run.output;
    }
    EXPECT_NE(client({"submit", "--card", "missing.json"})
                  .output.find("cannot read missing.json: No such file or directory"),
              std::string::npos);
    Outcome help = client({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.output.rfind("usage:", 0), 0u);
}

TEST_F(ClientToolTest, CurveOptionProblemsAreOneLineAndAHintBeforeAnythingIsSent) {
    writeFile(dir / "short.key", "not a key\n");
    StandInServer server(endpoint(), kAccepted);
    const std::string serverKey = curveKeyPair().first;
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"--server-key", "short", "code"},
         "--server-key wants the server's public key in Z85 (40 characters), not short"},
        {{"--server-key", serverKey, "--client-key-file", "short.key", "code"},
         "short.key: the file holds 9 characters, not one Z85 key of 40"},
        {{"--server-key", serverKey, "--client-key-file", "missing.key", "code"},
         "cannot read missing.key: No such file or directory"},
        {{"--client-key-file", "short.key", "code"}, "--client-key-file needs --server-key"},
        {{"keygen"}, "keygen needs the folder to write the keys into"},
    };
    for (Case& c : cases) {
        c.args.insert(c.args.begin(), {"--endpoint", endpoint()});
        Outcome run = client(c.args);
        EXPECT_EQ(run.exitCode, 3) << run.output;
        EXPECT_EQ(run.output.rfind("qrx-client: " + c.says + "\n", 0), 0u) << run.output;
        EXPECT_EQ(lines(run.output), 2) << run.output;
    }
    // The stand-in's one request is this plain one: none of the above sent.
    EXPECT_EQ(client({"--endpoint", endpoint(), "code"}).exitCode, 0);
    EXPECT_EQ(server.received(), "{\"type\":0}");
}

// The default endpoints are dialled from a network of the client's own
// (unshare -rn: only a loopback that is down), so a server on this
// machine's ports 7106 and 7107 neither answers nor matters.
TEST_F(ClientToolTest, DealerWithoutAnEndpointDialsTheRouterPort) {
    auto isolated = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/unshare", "-rn", QRX_CLIENT_PATH});
        return runProgram(args, dir.path(), {}, 15000);
    };
    if (isolated({"--help"}).exitCode != 0)
        GTEST_SKIP() << "unshare -rn cannot give the client a network of its own here";
    Outcome run = isolated({"--dealer", "--timeout", "200", "code"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("no reply from tcp://127.0.0.1:7107 within 200 ms"),
              std::string::npos)
        << run.output;
    Outcome req = isolated({"--timeout", "200", "code"});
    EXPECT_NE(req.output.find("tcp://127.0.0.1:7106"), std::string::npos) << req.output;
}

}  // namespace
}  // namespace qrx::test
