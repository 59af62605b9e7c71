// The ScanServer binary as a desk runs it: a copy with its own "Server.ini"
// in a temporary folder, a temporary prefix, real processes.
#include <gtest/gtest.h>
#include <zmq.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>

#include "process_support.h"
#include "test_support.h"

namespace qrx {
namespace {

using test::readFile;
using test::writeFile;

class ServerProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* sub : {"bin", "work", "prefix/drive_c/qrx", "prefix/scan/result"})
            test::makeDirs(dir / sub);
        std::filesystem::copy_file(SCAN_SERVER_PATH, dir / "bin/ScanServer");
        replyEndpoint = "ipc://" + dir / "reply.ipc";
        routerEndpoint = "ipc://" + dir / "router.ipc";
        writeFile(dir / "bin/Server.ini", "[Server]\r\nAddress=" + replyEndpoint +
                                              "\r\nAddressEx=" + routerEndpoint + "\r\n");
        test::writeRegistry(dir / "prefix/registry.reg",
                            "\"ScanCmdPath\"=\"c:\\\\scan\\\\scancmd.scc\"\r\n"
                            "\"ScanResult\"=\"" +
                                dir / "prefix/scan/result" + "\"\r\n\"ScanResult_jw\"=\"" +
                                dir / "prefix/scan/result" + "\"\r\n");
    }
    std::unique_ptr<test::Process> start(const std::string& output = "server.out",
                                         std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), dir / "bin/ScanServer");
        return std::make_unique<test::Process>(
            arguments, dir / "work",
            std::map<std::string, std::string>{{"QRX_PREFIX", dir / "prefix"}},
            output.empty() ? output : dir / output);
    }
    std::string logText() { return readFile(dir / "prefix/drive_c/qrx/sock.log"); }
    test::Outcome status(bool json = false) {
        std::vector<std::string> argv = {dir / "bin/ScanServer", "--status"};
        if (json) argv.push_back("--json");
        return test::runProgram(argv, dir / "work", {{"QRX_PREFIX", dir / "prefix"}}, 10000);
    }
    std::string askForCode() {
        test::ZmqClient client(ZMQ_REQ, replyEndpoint);
        std::string code = test::codeOf(client.request("{\"type\":0}"));
        waitForLogged(code);
        return code;
    }
    // The server logs a reply once it has sent it, so a client can have the
    // reply before the log has it.
    void waitForLogged(const std::string& text) {
        if (text.empty() || !test::exists(dir / "prefix/drive_c/qrx")) return;
        test::eventually([&] { return logText().find(text) != std::string::npos; });
    }

    test::TempDir dir;
    std::string replyEndpoint, routerEndpoint;
};

TEST_F(ServerProcessTest, StartsLogsItsPathsAndServes) {
    test::makeDirs(dir / "prefix/drive_c/scan");
    writeFile(dir / "prefix/drive_c/scan/scancmd.scc", "1");
    auto server = start("server.out", {"--setting", "a b"});  // stray arguments are ignored
    std::string code = askForCode();
    ASSERT_EQ(code.size(), 36u);

    test::ZmqClient dealer(ZMQ_DEALER, routerEndpoint);
    dealer.send("{\"type\":1,\"cardtype\":\"\xC9\xED\",\"code\":\"" + code +
                "\",\"name\":\"\xD5\xC5\xC8\xFD\"}");
    auto reply = dealer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->front(), test::submissionReply("\"" + code + "\"", 0, ""));
    waitForLogged("\"result\" : 0");

    // The leftover "1" was answered "5" at start-up.
    EXPECT_EQ(readFile(dir / "prefix/drive_c/scan/scancmd.scc"), "5");
    std::string log = logText();
    std::vector<std::string> expectedInOrder = {"[Level:6][Server.cpp(",
                                                ")]Server Start\r\n[QRXScanServer][",
                                                "[Level:6][Processor.cpp(",
                                                ")]c:\\scan\\scancmd.scc\r\n",
                                                ")]" + dir / "prefix/scan/result/\r\n",
                                                "[Level:3][Processor.cpp(",
                                                ")]CProcessor::init error type!\r\n",
                                                ")]QRX Scan Server ",
                                                " starts, settings " + dir / "bin/Server.ini\r\n",
                                                "[Level:3][Server.cpp(",
                                                ")]arguments ignored (the options are --settings, "
                                                "--status, --watch, --help and --version): "
                                                "\"--setting\" \"a b\"\r\n",
                                                ")]{\"type\":0}\r\n",
                                                "\"name\":\"\xD5\xC5\xC8\xFD\"}\r\n",
                                                "\"result\" : 0,\n   \"type\" : 1\n}\n\r\n"};
    size_t at = 0;
    for (const std::string& piece : expectedInOrder) {
        size_t found = log.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing after " << at << ": " << piece << "\n"
                                            << log;
        at = found + piece.size();
    }
    EXPECT_EQ(log.rfind("[QRXScanServer][", 0), 0u);  // "Server Start" is the first line
}

// Neither a second copy nor a run with --settings touches anything; the
// latter takes no guard and prints, "name value" a line, what a start would
// now use: set, default and registry values.
TEST_F(ServerProcessTest, ASecondCopyExitsWithOneAndTouchesNothing) {
    auto first = start();
    ASSERT_EQ(askForCode().size(), 36u);
    writeFile(dir / "bin/Server.ini",
              readFile(dir / "bin/Server.ini") + "WaitTime=7\r\nMaxLogSize=0\r\n");
    test::makeDirs(dir / "prefix/drive_c/scan");
    writeFile(dir / "prefix/drive_c/scan/scancmd.scc", "1");
    std::string logBefore = logText();

    test::Outcome shown = test::runProgram({dir / "bin/ScanServer", "--settings"}, dir / "work",
                                           {{"QRX_PREFIX", dir / "prefix"}}, 10000);
    EXPECT_EQ(shown.exitCode, 0);
    const std::string printed = std::regex_replace("\n" + shown.output, std::regex(" +"), " ");
    for (const std::string& line : std::vector<std::string>{
             "Address " + replyEndpoint, "WaitTime 7", "MaxLogSize 0", "ScanMode 2", "CURVE off",
             "ScanCmdPath " + dir / "prefix/drive_c/scan/scancmd.scc",
             "ScanResult " + dir / "prefix/scan/result/",
             "log " + dir / "prefix/drive_c/qrx/sock.log"})
        EXPECT_NE(printed.find("\n" + line + "\n"), std::string::npos) << line << printed;
    // --help (or a short form of it) and --version print and exit 0, and
    // start nothing either.
    for (const char* asked : {"--help", "-h", "-?", "/?"}) {
        test::Outcome help = test::runProgram({dir / "bin/ScanServer", asked}, dir / "work",
                                              {{"QRX_PREFIX", dir / "prefix"}}, 10000);
        EXPECT_EQ(help.exitCode, 0) << asked;
        EXPECT_EQ(help.output.rfind("Usage: ScanServer [--settings | --status [--json] | --watch | "
                                    "--help | --version]\n",
                                    0),
                  0u)
            << asked << help.output;
    }
    test::Outcome version = test::runProgram({dir / "bin/ScanServer", "--version"}, dir / "work",
                                             {{"QRX_PREFIX", dir / "prefix"}}, 10000);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output.rfind("QRX Scan Server ", 0), 0u) << version.output;
    EXPECT_EQ(start("second.out")->wait(5000), 1);
    EXPECT_EQ(readFile(dir / "second.out"), "ScanServer: another copy is running: it holds " +
                                                dir / "prefix/QRXScanServerMutex.lock\n");
    EXPECT_EQ(logText(), logBefore);
    EXPECT_EQ(readFile(dir / "prefix/drive_c/scan/scancmd.scc"), "1");

    // The guard goes away with the process that held it.
    first->kill();
    auto again = start();
    EXPECT_EQ(askForCode().size(), 36u);
    EXPECT_EQ(readFile(dir / "prefix/drive_c/scan/scancmd.scc"), "5");
}

TEST_F(ServerProcessTest, WithNoEndpointBoundItExitsWithTwoAndLetsACorrectedStartRun) {
    const std::string missing = "ipc://" + dir / "missing";
    writeFile(dir / "bin/Server.ini", "[Server]\r\nAddress=" + missing +
                                          "/reply.ipc\r\nAddressEx=" + missing + "/router.ipc\r\n");
    EXPECT_EQ(start()->wait(10000), 2);
    std::string log = logText();
    EXPECT_NE(log.find(")]cannot bind " + missing + "/reply.ipc: No such file or directory\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[Level:3][Processor.cpp("), std::string::npos);
    EXPECT_NE(log.find(")]no endpoint could be bound: the server stops\r\n"), std::string::npos)
        << log;
    // The same faults as events, which the POSIX stand-in writes to standard error.
    const std::string shown = readFile(dir / "server.out");
    EXPECT_NE(shown.find("QRXScanServer: error 111: cannot bind " + missing +
                         "/reply.ipc: No such file or directory\n"),
              std::string::npos)
        << shown;
    EXPECT_NE(
        shown.find("QRXScanServer: error 110: no endpoint could be bound: the server stops\n"),
        std::string::npos)
        << shown;

    writeFile(dir / "bin/Server.ini", "[Server]\r\nAddress=" + replyEndpoint +
                                          "\r\nAddressEx=" + missing + "/router.ipc\r\n");
    auto corrected = start();
    EXPECT_EQ(askForCode().size(), 36u);  // one endpoint is enough to serve
}

TEST_F(ServerProcessTest, ServesWithoutALogFolder) {
    std::filesystem::remove_all(dir / "prefix/drive_c");
    writeFile(dir / "bin/Server.ini", "[Server]\r\nAddress=" + replyEndpoint + "\r\n");
    auto server = start();
    EXPECT_EQ(askForCode().size(), 36u);
    EXPECT_FALSE(test::exists(dir / "prefix/drive_c"));
}

// Asked to stop, the server says so in its log and as event 110, with the
// queued cards that end with it named by their ScanCmd alone, and exits 0.
TEST_F(ServerProcessTest, AStopRequestIsLoggedWithTheQueuedCardsItDrops) {
    const struct {
        int signal;
        std::vector<std::string> scanCmds;  // queued before the stop
        std::string said;
    } rows[] = {
        {SIGTERM,
         {"C1", "F2"},
         "asked to stop (SIGTERM): the server stops; 2 queued cards end "
         "with it, their ScanCmd: \"C1\" \"F2\""},
        {SIGINT, {}, "asked to stop (SIGINT): the server stops; 0 queued cards end"},
    };
    test::makeDirs(dir / "prefix/drive_c/scan");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.said);
        // "5": the desk wants nothing, so the cards stay queued.
        writeFile(dir / "prefix/drive_c/scan/scancmd.scc", "5");
        std::filesystem::remove(dir / "prefix/drive_c/qrx/sock.log");
        auto server = start();
        for (const std::string& scanCmd : row.scanCmds) {
            test::ZmqClient client(ZMQ_REQ, replyEndpoint);
            const std::string code = askForCode();
            EXPECT_EQ(client.request("{\"type\":1,\"cardtype\":1,\"code\":\"" + code +
                                     "\",\"name\":\"\xD5\xC5\",\"ScanCmd\":\"" + scanCmd + "\"}"),
                      test::submissionReply("\"" + code + "\"", 0, ""));
        }
        EXPECT_EQ(askForCode().size(), 36u);  // serving: the stop is watched for
        server->signal(row.signal);
        EXPECT_EQ(server->wait(10000), 0);
        EXPECT_NE(logText().find("[Level:3][Processor.cpp("), std::string::npos);
        // The whole line: no other card data.
        EXPECT_NE(logText().find(")]" + row.said + "\r\n"), std::string::npos) << logText();
        EXPECT_NE(readFile(dir / "server.out").find("QRXScanServer: error 110: " + row.said),
                  std::string::npos);
    }
}

// "--status" as whoever looks after the desk runs it: not running before the
// start, well with cards waiting for the desk, a fault once a result folder
// cannot be written (the command file reads "0" and the card is tried), and
// not running again after the stop, with the last status's process named.
TEST_F(ServerProcessTest, StatusTellsAWellServerAFailingFolderAndAStoppedOne) {
    const std::string missing = dir / "prefix/scan/missing/";
    test::writeRegistry(dir / "prefix/registry.reg",
                        "\"ScanCmdPath\"=\"c:\\\\scan\\\\scancmd.scc\"\r\n\"ScanResult\"=\"" +
                            dir / "prefix/scan/result" + "\"\r\n\"ScanResult_jw\"=\"" + missing +
                            "\"\r\n");
    test::makeDirs(dir / "prefix/drive_c/scan");
    const std::string command = dir / "prefix/drive_c/scan/scancmd.scc";
    writeFile(command, "5");
    auto shows = [&](int exitCode, const std::string& text) {
        return test::eventually([&] {
            const test::Outcome outcome = status();
            return outcome.exitCode == exitCode && outcome.output.find(text) != std::string::npos;
        });
    };
    test::Outcome before = status();
    EXPECT_EQ(before.exitCode, 3);
    EXPECT_EQ(before.output, "ScanServer: not running\n");

    auto server = start();
    for (const char* scanCmd : {"C1", "F2"}) {
        test::ZmqClient client(ZMQ_REQ, replyEndpoint);
        const std::string code = askForCode();
        ASSERT_EQ(client.request("{\"type\":1,\"cardtype\":1,\"code\":\"" + code +
                                 "\",\"name\":\"\xD5\xC5\",\"ScanCmd\":\"" + scanCmd + "\"}"),
                  test::submissionReply("\"" + code + "\"", 0, ""));
    }
    EXPECT_TRUE(shows(0, "  queue       2 cards (C 1, F 1), the oldest queued "))
        << status().output;

    writeFile(command, "0");  // the desk wants a card: C1 goes into its folder
    ASSERT_TRUE(test::eventually([&] { return readFile(command) == "2C1"; }));
    std::filesystem::remove_all(dir / "prefix/scan/result");  // the desk took C1's record
    test::makeDirs(dir / "prefix/scan/result");
    writeFile(command, "0");  // and F2's folder is not there
    EXPECT_TRUE(
        shows(1, "  place       result folder of the other cards " + missing + ": FAILING\n"))
        << status().output;
    const test::Outcome faulty = status();
    EXPECT_NE(faulty.output.find("ScanServer 1"), std::string::npos) << faulty.output;
    EXPECT_NE(faulty.output.find(": running, with faults\n"), std::string::npos);
    EXPECT_NE(faulty.output.find("  queue       1 card (F 1)"), std::string::npos);
    EXPECT_EQ(faulty.output.find("last hand-over never"), std::string::npos);
    EXPECT_NE(faulty.output.find("  fault       result folder of the other cards " + missing +
                                 " fails since "),
              std::string::npos);
    const test::Outcome json = status(true);
    EXPECT_EQ(json.exitCode, 1);
    for (const char* member : {"\"running\" : true", "\"well\" : false", "\"total\" : 1",
                               "\"working\" : false", "\"scanMode\" : 2"})
        EXPECT_NE(json.output.find(member), std::string::npos) << member << json.output;
    EXPECT_EQ(json.output.find("\xD5\xC5"), std::string::npos);  // no card data

    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(10000), 0);
    const test::Outcome after = status();
    EXPECT_EQ(after.exitCode, 3);
    EXPECT_EQ(
        after.output.rfind("ScanServer: not running; the last status was written by process ", 0),
        0u)
        << after.output;
}

// The start's event goes to standard error; with nobody reading it any more
// the write fails, and the server serves on.
TEST_F(ServerProcessTest, ServesWhenNobodyReadsItsStandardError) {
    auto server = start("");
    EXPECT_EQ(askForCode().size(), 36u);
    EXPECT_EQ(server->wait(0), -1);  // still running
}

// The process id of the n-th server (from 1) the watcher logged starting.
pid_t watchedServer(const std::string& log, int n) {
    const std::string started = "the watcher started the server, process ";
    size_t at = 0;
    for (int i = 0; i < n; ++i) {
        at = log.find(started, at);
        if (at == std::string::npos) return 0;
        at += started.size();
    }
    return static_cast<pid_t>(std::stol(log.substr(at)));
}

// A server that crashes, or is stopped alone and not through its watcher,
// is started again after 1 s, then 2 s, each time with a line and an error
// event; a stop of the watcher stops its server, and both end.
TEST_F(ServerProcessTest, TheWatcherStartsACrashedServerAgainAndStopsItWhenStopped) {
    auto watcher = start("watcher.out", {"--watch"});
    ASSERT_EQ(askForCode().size(), 36u);
    pid_t server = watchedServer(logText(), 1);
    ASSERT_GT(server, 0) << logText();
    EXPECT_EQ(start("second.out", {"--watch"})->wait(5000), 1);  // one watcher at a time

    const struct {
        int signal;
        const char* said;
    } ends[] = {{SIGKILL, "signal 9"}, {SIGTERM, "exit code 0"}};
    for (int restart = 1; restart <= 2; ++restart) {
        ::kill(server, ends[restart - 1].signal);
        const std::string line =
            std::string("the server ended with ") + ends[restart - 1].said + " after ";
        const std::string again = ": started again in " + std::to_string(restart) + " s (restart " +
                                  std::to_string(restart) + ")";
        ASSERT_TRUE(test::eventually([&] { return watchedServer(logText(), restart + 1) > 0; }))
            << logText();
        const std::string log = logText();
        const size_t at = log.rfind(line);
        ASSERT_NE(at, std::string::npos) << log;
        const size_t begin = log.rfind('\n', at) + 1;
        const std::string ended = log.substr(begin, log.find('\r', at) - begin);
        EXPECT_NE(ended.find("[Level:3][Watcher.cpp("), std::string::npos) << ended;
        EXPECT_NE(ended.find(again), std::string::npos) << ended;
        EXPECT_EQ(askForCode().size(), 36u);
        server = watchedServer(logText(), restart + 1);
    }
    const std::string events = readFile(dir / "watcher.out");
    EXPECT_NE(events.find("QRXScanServer: error 112: the server ended with signal 9 after "),
              std::string::npos)
        << events;
    const std::string shown = status().output;
    EXPECT_TRUE(std::regex_search(
        shown, std::regex("\n  watcher     process [0-9]+, 2 restarts, the last [-0-9: ]+ "
                          "\\([0-9]+ s ago\\) after exit code 0\n")))
        << shown;

    // The watcher asks its server to stop, which says so (as the one
    // stopped alone above did), well before the watcher would end it.
    watcher->signal(SIGTERM);
    EXPECT_EQ(watcher->wait(5000), 0);
    EXPECT_NE(::kill(server, 0), 0) << "the watched server still runs";
    const std::string log = logText();
    EXPECT_NE(log.find("the watcher stops on SIGTERM, and stops its server"), std::string::npos);
    EXPECT_EQ(log.find("did not stop within"), std::string::npos) << log;
    const std::string stopped = "asked to stop (SIGTERM): the server stops";
    EXPECT_NE(log.find(stopped, log.find(stopped) + 1), std::string::npos) << log;
}

// A start that would only fail again is not repeated: the watcher ends
// with the server's exit status and an event.
TEST_F(ServerProcessTest, TheWatcherStopsWhenTheServerCannotStart) {
    writeFile(dir / "bin/Server.ini",
              "[Server]\r\nAddress=tcp://999.0.0.1:1\r\nAddressEx=tcp://999.0.0.1:2\r\n");
    auto watcher = start("watcher.out", {"--watch"});
    EXPECT_EQ(watcher->wait(15000), 2);
    EXPECT_NE(readFile(dir / "watcher.out")
                  .find("QRXScanServer: error 113: the server ended with exit code 2, a start "
                        "that would fail again: the watcher stops"),
              std::string::npos)
        << readFile(dir / "watcher.out");
    EXPECT_EQ(watchedServer(logText(), 2), 0) << "started twice";
}

}  // namespace
}  // namespace qrx
