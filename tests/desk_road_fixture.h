// The fixture of the tests that run the real programs together: ScanServer
// on a temporary prefix prepared by prepare-prefix.sh, qrx-client submitting
// cards, and qrx-desk playing the desktop side.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "process_support.h"
#include "test_support.h"

namespace qrx {

namespace fs = std::filesystem;
using test::readFile;

class DeskRoadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeDirs(dir / "bin");
        test::makeDirs(dir / "work");
        fs::copy_file(SCAN_SERVER_PATH, dir / "bin/ScanServer");
        ASSERT_EQ(test::runProgram({"/bin/bash", QRX_SOURCE_DIR "/scripts/prepare-prefix.sh"},
                                   dir.path(), {{"QRX_PREFIX", prefix}}, 10000)
                      .exitCode,
                  0);
        replyEndpoint = "ipc://" + dir / "reply.ipc";
        routerEndpoint = "ipc://" + dir / "router.ipc";
        std::string card, head;
        for (int i = 0; i < 5000; ++i) card.push_back(static_cast<char>(i * 31 % 251));
        for (int i = 0; i < 1200; ++i) head.push_back(static_cast<char>(i * 17 % 253));
        test::writeFile(dir / "card.jpg", card);
        test::writeFile(dir / "head.jpg", head);
    }

    // Starts the server with settings added to "Server.ini" and waits until
    // it answers a code request sent with clientOptions (qrx-client's).
    void startServer(const std::string& settings,
                     const std::vector<std::string>& clientOptions = {}) {
        test::writeFile(dir / "bin/Server.ini", "[Server]\r\nAddress=" + replyEndpoint +
                                                    "\r\nAddressEx=" + routerEndpoint + "\r\n" +
                                                    settings);
        server = std::make_unique<test::Process>(
            std::vector<std::string>{dir / "bin/ScanServer"}, dir / "work",
            std::map<std::string, std::string>{{"QRX_PREFIX", prefix}}, dir / "server.out");
        std::vector<std::string> code = clientOptions;
        code.push_back("code");
        const test::Outcome serving = client(code);
        ASSERT_EQ(serving.exitCode, 0) << serving.output;
    }
    test::Outcome desk(std::vector<std::string> args, int timeoutMs = 20000) {
        args.insert(args.begin(), {QRX_DESK_PATH, "--prefix", prefix, "--out", dir / "taken"});
        return test::runProgram(args, dir.path(), {}, timeoutMs);
    }
    std::unique_ptr<test::Process> deskInBackground(std::vector<std::string> args) {
        args.insert(args.begin(), {QRX_DESK_PATH, "--prefix", prefix, "--out", dir / "taken"});
        return std::make_unique<test::Process>(
            args, dir.path(), std::map<std::string, std::string>{}, dir / "desk.out");
    }
    test::Outcome client(std::vector<std::string> args) {
        args.insert(args.begin(), {QRX_CLIENT_PATH, "--endpoint", replyEndpoint});
        return test::runProgram(args, dir.path(), {}, 10000);
    }
    void submit(const std::string& scanCmd, const std::string& name) {
        test::Outcome outcome =
            client({"submit", "--set", "cardtype=ID", "--set", "ScanCmd=" + scanCmd, "--set",
                    "name=" + name, "--set", "chinese_name=" + name, "--card-image",
                    dir / "card.jpg", "--head-image", dir / "head.jpg"});
        ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
    }
    std::string cmdFile() { return readFile(prefix + "/scan/scancmd.scc"); }
    void writeCmdFile(const std::string& content) {
        ASSERT_EQ(desk({"write", content}).exitCode, 0);
    }
    // Record files (names) now in a result folder.
    std::vector<std::string> records(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(prefix + "/scan/" + folder)) {
            if (entry.path().extension() == ".xml") names.push_back(entry.path().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    bool answered(const std::string& content) {
        return test::eventually([&] { return cmdFile() == content; });
    }
    void expectImagesOf(const std::string& record) {
        std::string stamp = record.substr(0, record.size() - 4);
        EXPECT_EQ(readFile(stamp + ".jpg"), readFile(dir / "card.jpg"));
        EXPECT_EQ(readFile(stamp + "_head.jpg"), readFile(dir / "head.jpg"));
    }

    test::TempDir dir;
    std::string prefix = dir / "prefix";
    std::string replyEndpoint, routerEndpoint;
    std::unique_ptr<test::Process> server;
};

}  // namespace qrx
