// CURVE on the road of a card, with the real programs: keys made by
// qrx-client keygen, ScanServer with a client list, qrx-client talking CURVE,
// and the desk taking the record.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zmq.h>

#include "desk_road_fixture.h"

namespace qrx {
namespace {

class CurveRoadTest : public DeskRoadTest {
  protected:
    test::Outcome keygen(const std::string& folder) {
        return test::runProgram({QRX_CLIENT_PATH, "keygen", folder}, dir.path(), {}, 10000);
    }
    static std::string firstLine(const std::string& text) {
        return text.substr(0, text.find('\n'));
    }
    // A record's bytes with its file stamp (its name, which the record
    // gives for its images) taken out: the stamp is the time it was written.
    static std::string withoutStamp(const std::string& record) {
        std::string text = readFile(record);
        const std::string stamp = fs::path(record).stem().string();
        for (size_t at = text.find(stamp); at != std::string::npos; at = text.find(stamp, at))
            text.replace(at, stamp.size(), "STAMP");
        return text;
    }
    static std::vector<std::string> join(std::vector<std::string> a,
                                         const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

TEST_F(CurveRoadTest, AListedClientGetsTheSameRepliesAndRecordsAsInPlainText) {
    // Keys as an operator and a client author make them.
    test::Outcome clientKeys = keygen(dir / "client-keys");
    ASSERT_EQ(clientKeys.exitCode, 0) << clientKeys.output;
    const std::string clientPublic = firstLine(clientKeys.output);
    EXPECT_EQ(test::readFile(dir / "client-keys/public.key"), clientPublic + "\n");
    struct stat info;
    ASSERT_EQ(stat((dir / "client-keys/secret.key").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    test::Outcome again = keygen(dir / "client-keys");
    EXPECT_EQ(again.exitCode, 3);
    EXPECT_NE(again.output.find("exists already; keys are never overwritten"), std::string::npos)
        << again.output;
    EXPECT_EQ(test::readFile(dir / "client-keys/public.key"), clientPublic + "\n");
    ASSERT_EQ(keygen(dir / "bin/server-keys").exitCode, 0);
    const std::string serverPublic = firstLine(test::readFile(dir / "bin/server-keys/public.key"));
    ASSERT_EQ(keygen(dir / "stranger-keys").exitCode, 0);
    ASSERT_EQ(desk({"capture-window"}).exitCode, 0);

    const std::vector<std::string> card = {
        "--set",        "cardtype=ID",    "--set",        "ScanCmd=C-same", "--set", "name=same",
        "--card-image", dir / "card.jpg", "--head-image", dir / "head.jpg", "--code"};
    // What a plain server answers and writes.
    startServer("");
    test::Outcome plainCode = client({"code"});
    ASSERT_EQ(plainCode.exitCode, 0) << plainCode.output;
    const std::string plainCodeText = test::codeOf(plainCode.output);
    test::Outcome plainSubmit = client(join({"submit"}, join(card, {plainCodeText})));
    ASSERT_EQ(plainSubmit.exitCode, 0) << plainSubmit.output;
    test::Outcome plainOther = client({"send", "{\"type\":2}"});
    writeCmdFile("0");
    ASSERT_TRUE(answered("2C-same")) << cmdFile();
    ASSERT_EQ(records("result").size(), 1u);
    const std::string plainRecord = withoutStamp(records("result")[0]);
    fs::remove(records("result")[0]);
    server.reset();

    // The same with CURVE on and the client listed.
    test::writeFile(dir / "bin/clients.txt", "# desk 7\r\n" + clientPublic + "\r\n");
    const std::vector<std::string> curve = {"--server-key", serverPublic, "--client-key-file",
                                            dir / "client-keys/secret.key"};
    startServer(
        "[Security]\r\nCurveSecretKeyFile=server-keys\\secret.key\r\n"
        "CurveClientKeys=clients.txt\r\n",
        curve);
    test::Outcome curveCode = client(join(curve, {"code"}));
    ASSERT_EQ(curveCode.exitCode, 0)
        << curveCode.output << readFile(prefix + "/drive_c/qrx/sock.log");
    const std::string curveCodeText = test::codeOf(curveCode.output);
    // Byte for byte what the plain server sent, but for the code itself.
    auto withCode = [](std::string text, const std::string& from, const std::string& to) {
        size_t at = text.find(from);
        if (at != std::string::npos) text.replace(at, from.size(), to);
        return text;
    };
    EXPECT_EQ(curveCode.output, withCode(plainCode.output, plainCodeText, curveCodeText));
    test::Outcome curveSubmit = client(join(curve, join({"submit"}, join(card, {curveCodeText}))));
    ASSERT_EQ(curveSubmit.exitCode, 0) << curveSubmit.output;
    EXPECT_EQ(curveSubmit.output, withCode(plainSubmit.output, plainCodeText, curveCodeText));
    EXPECT_EQ(client(join(curve, {"send", "{\"type\":2}"})).output, plainOther.output);
    writeCmdFile("0");
    ASSERT_TRUE(answered("2C-same")) << cmdFile();
    ASSERT_EQ(records("result").size(), 1u);
    EXPECT_EQ(withoutStamp(records("result")[0]), plainRecord);
    expectImagesOf(records("result")[0]);

    // Plain text, the wrong server key and an unlisted key get nothing.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"--server-key", clientPublic, "--client-key-file", dir / "client-keys/secret.key"},
             {"--server-key", serverPublic, "--client-key-file",
              dir / "stranger-keys/secret.key"}}) {
        test::Outcome refused = client(join({"--timeout", "500"}, join(args, {"code"})));
        EXPECT_EQ(refused.exitCode, 2) << refused.output;
    }
    const std::string strangerPublic = firstLine(test::readFile(dir / "stranger-keys/public.key"));
    const std::string log = readFile(prefix + "/drive_c/qrx/sock.log");
    EXPECT_NE(log.find(")]CURVE on, server public key " + serverPublic + "\r\n"), std::string::npos)
        << log;
    EXPECT_NE(
        log.find(")]CURVE clients admitted: the 1 key of " + dir.path() + "/bin/clients.txt\r\n"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find(")]CURVE client refused: key " + strangerPublic + " from "),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("CURVE client refused: key " + clientPublic), std::string::npos);
}

}  // namespace
}  // namespace qrx
