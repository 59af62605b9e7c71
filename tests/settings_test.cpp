// Start-up of the processor: "Server.ini", the registry key, the two path
// lines of the log and the check of the command file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "log/log.h"
#include "processor/processor.h"
#include "test_support.h"

namespace qrx {
namespace {

using test::readFile;
using test::writeFile;

const char kDefaultCaption[] = "\xC9\xE7\xBB\xE1\xD0\xC5\xCF\xA2\xB2\xC9\xBC\xAF\xCF\xB5\xCD\xB3";

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeDirs(dir / "bin");
        test::makeDirs(dir / "work");
        test::makeDirs(dir / "drive_c/qrx");
        fake.exePath = dir / "bin/ScanServer";
        fake.fakeDesktop = true;
        fake.clock = test::makeTime(2026, 12, 7, 9, 5, 0, 0);
        ASSERT_EQ(chdir((dir / "work").c_str()), 0);
    }
    void TearDown() override { chdir("/"); }

    void writeRegistry(const std::string& values) {
        writeFile(dir / "registry.reg",
                  "Windows Registry Editor Version 5.00\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\r\n" +
                      values);
    }
    std::string logText() { return readFile(dir / "drive_c/qrx/sock.log"); }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    CProcessor processor{fake};
};

TEST_F(SettingsTest, NoIniAndNoRegistryGiveTheDefaults) {
    processor.init();
    EXPECT_EQ(processor.address, "tcp://0.0.0.0:7106");
    EXPECT_EQ(processor.addressEx, "tcp://0.0.0.0:7107");
    EXPECT_EQ(processor.scanMode, 2);
    EXPECT_EQ(processor.waitTime, 180);
    EXPECT_EQ(processor.caption, kDefaultCaption);
    EXPECT_EQ(processor.hourCtrlId, 49);
    EXPECT_EQ(processor.minuteCtrlId, 53);
    EXPECT_EQ(processor.maxRequestSize, 4 * 1024 * 1024);
    EXPECT_EQ(processor.maxCodes, 100000);
    EXPECT_EQ(processor.maxCacheSize, 256 * 1024 * 1024);
    EXPECT_EQ(processor.maxConnections, 32);
    EXPECT_EQ(processor.maxConnectionsPerAddress, 16);
    EXPECT_EQ(logConfig().maxSize, 64 * 1024 * 1024);
    EXPECT_EQ(processor.scanCmdPath, "scancmd.scc");
    EXPECT_EQ(processor.scanResultDir, "");
    EXPECT_EQ(processor.scanResultJwDir, "");
    EXPECT_EQ(processor.pendingSince, 0);
    EXPECT_EQ(processor.waitStart, 0);
    // The command file is made in the working folder, empty.
    EXPECT_TRUE(test::exists(dir / "work/scancmd.scc"));
    EXPECT_EQ(readFile(dir / "work/scancmd.scc"), "");
    // The two path lines: the command file, then an empty result folder.
    ASSERT_EQ(fake.appends.size(), 2u);
    EXPECT_NE(fake.appends[0].find(")]scancmd.scc\r\n"), std::string::npos);
    EXPECT_EQ(fake.appends[1].substr(fake.appends[1].size() - 4), ")]\r\n");
}

TEST_F(SettingsTest, IniBesideTheExecutableSetsEveryKey) {
    writeFile(dir / "bin/Server.ini",
              "[Server]\r\nAddress=ipc:///tmp/a\r\nAddressEx = \"ipc:///tmp/b\"\r\n"
              "ScanMode=3\r\nWaitTime=55zz\r\n"
              "[SheCai]\r\nCaption=Capture\r\nHourCtrlId=0x10\r\nMinuteCtrlId=-2\r\n");
    processor.init();
    EXPECT_EQ(processor.address, "ipc:///tmp/a");
    EXPECT_EQ(processor.addressEx, "ipc:///tmp/b");
    EXPECT_EQ(processor.scanMode, 3);
    EXPECT_EQ(processor.waitTime, 55);
    EXPECT_EQ(processor.caption, "Capture");
    EXPECT_EQ(processor.hourCtrlId, 16);
    EXPECT_EQ(processor.minuteCtrlId, -2);
}

TEST_F(SettingsTest, IniSetsTheMemoryBounds) {
    writeFile(dir / "bin/Server.ini",
              "[Server]\r\nMaxRequestSize=1048576\r\nMaxCodes=0\r\nMaxCacheSize=5000000\r\n"
              "MaxLogSize=0\r\n");
    processor.init();
    EXPECT_EQ(processor.maxRequestSize, 1048576);
    EXPECT_EQ(processor.maxCodes, 0);
    EXPECT_EQ(processor.maxCacheSize, 5000000);
    EXPECT_EQ(logConfig().maxSize, 0);
}

// As an operator writes it; what is not a size, or is below 1 MiB, is named
// in one level-3 line and in the settings report.
TEST_F(SettingsTest, MaxLogSizeIsReadAsWritten) {
    const int64_t kDefault = 64 << 20, kLeast = 1 << 20;
    const struct {
        const char* written;
        int64_t used;
        bool noted;
    } cases[] = {
        {"64MB", 64 << 20, false},
        {"2gB", int64_t{2} << 30, false},
        {"1kb", kLeast, true},
        {"3000000000", 3000000000, false},
        {"4294967296", 4294967296, false},
        {"9223372036854775807", INT64_MAX, false},
        {"8589934592GB", kDefault, true},
        {"99999999999999999999", kDefault, true},
        {"1000", kLeast, true},
        {"0", 0, false},
        {"64 MB", kDefault, true},
        {"-5", kDefault, true},
    };
    for (const auto& c : cases) {
        writeFile(dir / "bin/Server.ini", std::string("[Server]\r\nMaxLogSize=") + c.written);
        fake.appends.clear();
        processor.init();
        EXPECT_EQ(logConfig().maxSize, c.used) << c.written;
        ASSERT_EQ(fake.appends.size(), c.noted ? 3u : 2u) << c.written;
        const std::string note = std::string("MaxLogSize=") + c.written + " in Server.ini is ";
        if (!c.noted) continue;
        EXPECT_NE(fake.appends[2].find("[Level:3][Processor.cpp("), std::string::npos);
        EXPECT_NE(fake.appends[2].find(")]" + note), std::string::npos) << fake.appends[2];
        const std::string used = ": " + std::to_string(c.used) + " used";
        EXPECT_NE(fake.appends[2].find(used + "\r\n"), std::string::npos);
        EXPECT_NE(processor.settingsReport().find("\nnote" + std::string(16, ' ') + note),
                  std::string::npos);
    }
}

TEST_F(SettingsTest, AnIniInTheWorkingFolderIsNotRead) {
    writeFile(dir / "work/Server.ini", "[Server]\nScanMode=1\n");
    processor.init();
    EXPECT_EQ(processor.scanMode, 2);
}

TEST_F(SettingsTest, RegistryPathsGetAFolderSeparator) {
    writeRegistry(
        "\"ScanCmdPath\"=\"D:\\\\scan\\\\scancmd.scc\"\r\n"
        "\"ScanResult\"=\"D:\\\\scan\"\r\n"
        "\"ScanResult_jw\"=\"D:\\\\scan_jw/\"\r\n");
    processor.init();
    EXPECT_EQ(processor.scanCmdPath, "D:\\scan\\scancmd.scc");
    EXPECT_EQ(processor.scanResultDir, "D:\\scan/");
    EXPECT_EQ(processor.scanResultJwDir, "D:\\scan_jw/");
    ASSERT_EQ(fake.appends.size(), 2u);
    EXPECT_NE(fake.appends[0].find(")]D:\\scan\\scancmd.scc\r\n"), std::string::npos);
    EXPECT_NE(fake.appends[1].find(")]D:\\scan/\r\n"), std::string::npos);
    // Opening the command file needs its folder: none was made, none created.
    EXPECT_FALSE(test::exists(dir / "drive_d"));
}

TEST_F(SettingsTest, EmptyRegistryValuesGiveTheDefaults) {
    writeRegistry("\"ScanCmdPath\"=\"\"\r\n\"ScanResult\"=\"\"\r\n\"ScanResult_jw\"=\"x\\\\\"\r\n");
    processor.init();
    EXPECT_EQ(processor.scanCmdPath, "scancmd.scc");
    EXPECT_EQ(processor.scanResultDir, "");
    EXPECT_EQ(processor.scanResultJwDir, "x\\");
}

TEST_F(SettingsTest, ALeftoverOneBecomesFiveAndIsLogged) {
    for (const std::string content : {"1", "1more"}) {
        writeFile(dir / "work/scancmd.scc", content);
        fake.appends.clear();
        processor.init();
        EXPECT_EQ(readFile(dir / "work/scancmd.scc"), "5");
        ASSERT_EQ(fake.appends.size(), 3u);
        EXPECT_NE(fake.appends[2].find("[Level:3][Processor.cpp("), std::string::npos);
        EXPECT_NE(fake.appends[2].find(")]CProcessor::init error type!\r\n"), std::string::npos);
    }
}

TEST_F(SettingsTest, OtherCommandFileContentsAreLeftAlone) {
    for (const std::string content : {"C", "0", "5", "", "2CARD"}) {
        writeFile(dir / "work/scancmd.scc", content);
        fake.appends.clear();
        processor.init();
        EXPECT_EQ(readFile(dir / "work/scancmd.scc"), content);
        EXPECT_EQ(fake.appends.size(), 2u);
    }
}

TEST_F(SettingsTest, ACommandFileHeldByTheDesktopSideIsSkipped) {
    writeFile(dir / "work/scancmd.scc", "1");
    int other = open((dir / "work/scancmd.scc").c_str(), O_RDWR);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    processor.init();
    close(other);
    EXPECT_EQ(readFile(dir / "work/scancmd.scc"), "1");
    EXPECT_EQ(fake.appends.size(), 2u);
}

TEST_F(SettingsTest, LoadingSettingsSetsTheCaptureClock) {
    WindowHandle window = fake.addWindow(kDefaultCaption, "AnyClass");
    fake.addWindow("", "Edit", window, 49);
    fake.addWindow("", "Edit", window, 53);
    processor.init();
    ASSERT_EQ(fake.textsSent.size(), 2u);
    EXPECT_EQ(fake.textsSent[0].second, "09");
    EXPECT_EQ(fake.textsSent[1].second, "05");
}

}  // namespace
}  // namespace qrx
