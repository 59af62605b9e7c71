// Start-up of the processor: "Server.ini", the registry key, the two path
// lines of the log and the check of the command file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>

#include "base/version.h"
#include "log/log.h"
#include "processor/processor.h"
#include "processor_peer.h"
#include "server/server_main.h"
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
        fake.process.exePath = dir / "bin/ScanServer";
        fake.clock.wallTime = test::makeTime(2026, 12, 7, 9, 5, 0, 0);
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
    CProcessorPeer peer{processor};
};

TEST_F(SettingsTest, NoIniAndNoRegistryGiveTheDefaults) {
    processor.init();
    EXPECT_EQ(peer.settings().address, "tcp://0.0.0.0:7106");
    EXPECT_EQ(peer.settings().addressEx, "tcp://0.0.0.0:7107");
    EXPECT_EQ(peer.settings().scanMode, 2);
    EXPECT_EQ(peer.settings().waitTime, 180);
    EXPECT_EQ(peer.settings().caption, kDefaultCaption);
    EXPECT_EQ(peer.settings().hourCtrlId, 49);
    EXPECT_EQ(peer.settings().minuteCtrlId, 53);
    EXPECT_EQ(peer.settings().maxRequestSize, 4 * 1024 * 1024);
    EXPECT_EQ(peer.settings().maxCodes, 100000);
    EXPECT_EQ(peer.settings().maxCacheSize, 256 * 1024 * 1024);
    EXPECT_EQ(peer.settings().maxConnections, 32);
    EXPECT_EQ(peer.settings().maxConnectionsPerAddress, 16);
    EXPECT_EQ(logConfig().maxSize, 64 * 1024 * 1024);
    EXPECT_EQ(peer.settings().logImages, 1);
    EXPECT_EQ(peer.settings().scanCmdPath, "scancmd.scc");
    EXPECT_EQ(peer.settings().scanResultDir, "");
    EXPECT_EQ(peer.settings().scanResultJwDir, "");
    EXPECT_EQ(peer.pendingSince(), 0);
    EXPECT_EQ(peer.waitStart(), 0);
    // The command file is made in the working folder, empty.
    EXPECT_TRUE(test::exists(dir / "work/scancmd.scc"));
    EXPECT_EQ(readFile(dir / "work/scancmd.scc"), "");
    // The two path lines: the command file, then an empty result folder;
    // then the version and the settings file, in the event log too.
    ASSERT_EQ(fake.files.appends.size(), 3u);
    EXPECT_NE(fake.files.appends[0].find(")]scancmd.scc\r\n"), std::string::npos);
    EXPECT_EQ(fake.files.appends[1].substr(fake.files.appends[1].size() - 4), ")]\r\n");
    const std::string started = std::string("QRX Scan Server ") + serverVersion() +
                                " starts, settings " +
                                dir / "bin/Server.ini (missing: all defaults)";
    EXPECT_NE(fake.files.appends[2].find("[Level:6][Processor.cpp("), std::string::npos);
    EXPECT_NE(fake.files.appends[2].find(")]" + started + "\r\n"), std::string::npos)
        << fake.files.appends[2];
    ASSERT_EQ(fake.process.events.size(), 1u);
    EXPECT_EQ(fake.process.events[0].type, EventType::Information);
    EXPECT_EQ(fake.process.events[0].id, 100u);
    EXPECT_EQ(fake.process.events[0].text, started);
}

TEST_F(SettingsTest, IniBesideTheExecutableSetsEveryKey) {
    writeFile(dir / "bin/Server.ini",
              "[Server]\r\nAddress=ipc:///tmp/a\r\nAddressEx = \"ipc:///tmp/b\"\r\n"
              "ScanMode=3\r\nWaitTime=55zz\r\nLogImages=0\r\n"
              "[SheCai]\r\nCaption=Capture\r\nHourCtrlId=0x10\r\nMinuteCtrlId=-2\r\n");
    processor.init();
    EXPECT_EQ(peer.settings().address, "ipc:///tmp/a");
    EXPECT_EQ(peer.settings().addressEx, "ipc:///tmp/b");
    EXPECT_EQ(peer.settings().scanMode, 3);
    EXPECT_EQ(peer.settings().waitTime, 55);
    EXPECT_EQ(peer.settings().logImages, 0);
    EXPECT_EQ(peer.settings().caption, "Capture");
    EXPECT_EQ(peer.settings().hourCtrlId, 16);
    EXPECT_EQ(peer.settings().minuteCtrlId, -2);
}

TEST_F(SettingsTest, IniSetsTheMemoryBounds) {
    writeFile(dir / "bin/Server.ini",
              "[Server]\r\nMaxRequestSize=1048576\r\nMaxCodes=0\r\nMaxCacheSize=5000000\r\n"
              "MaxLogSize=0\r\n");
    processor.init();
    EXPECT_EQ(peer.settings().maxRequestSize, 1048576);
    EXPECT_EQ(peer.settings().maxCodes, 0);
    EXPECT_EQ(peer.settings().maxCacheSize, 5000000);
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
        {"-1", 0, true},
    };
    for (const auto& c : cases) {
        writeFile(dir / "bin/Server.ini", std::string("[Server]\r\nMaxLogSize=") + c.written);
        fake.files.appends.clear();
        processor.init();
        EXPECT_EQ(logConfig().maxSize, c.used) << c.written;
        ASSERT_EQ(fake.files.appends.size(), c.noted ? 4u : 3u) << c.written;
        const std::string note = std::string("MaxLogSize=") + c.written + " in Server.ini is ";
        if (!c.noted) continue;
        EXPECT_NE(fake.files.appends[3].find("[Level:3][Processor.cpp("), std::string::npos);
        EXPECT_NE(fake.files.appends[3].find(")]" + note), std::string::npos)
            << fake.files.appends[3];
        const std::string used = ": " + std::to_string(c.used) + " used; write bytes, or ";
        EXPECT_NE(fake.files.appends[3].find(used), std::string::npos) << fake.files.appends[3];
        EXPECT_NE(fake.files.appends[3].find(", as MaxLogSize=64MB\r\n"), std::string::npos);
        EXPECT_NE(settingsReport(fake, readSettings(fake), logConfig().path)
                      .find("\nnote" + std::string(16, ' ') + note),
                  std::string::npos);
    }
}

// Every value not read as written gets a note: on the line after its key in
// --settings, which then exits 1, and at start as a level-3 line and a
// warning event. A key the server does not read is noted after the keys.
TEST_F(SettingsTest, ValuesNotReadAsWrittenAreNotedBesideTheirKey) {
    const std::string longText(300, 'x');
    const struct {
        std::string ini;
        const char* beside;  // the key whose line the note follows; "" after the keys
        std::string note;
    } cases[] = {
        {"[Server]\nScanMode=two", "ScanMode",
         "ScanMode=two in Server.ini is not a whole number: 0 used; write a whole number from "
         "0 to 3, digits only, as ScanMode=2"},
        {"[Server]\nScanMode=4", "ScanMode",
         "ScanMode=4 in Server.ini is not from 0 to 3: 4 used; write a whole number from 0 to 3, "
         "digits only, as ScanMode=2"},
        {"[Server]\nWaitTime=3 min", "WaitTime",
         "WaitTime=3 min in Server.ini is not a whole number: 3 used; write a whole number, "
         "digits only, as WaitTime=180"},
        {"[Server]\nMaxCacheSize=3000000000", "MaxCacheSize",
         "MaxCacheSize=3000000000 in Server.ini is too large a number: -1294967296 used; write "
         "a whole number, digits only, as MaxCacheSize=268435456"},
        {"[Server]\nMaxLogSize=64 MB", "MaxLogSize",
         "MaxLogSize=64 MB in Server.ini is not a whole number of bytes, KB, MB or GB: 67108864 "
         "used; write bytes, or a whole number and KB, MB or GB with no space, at least 1MB, or "
         "0 for no bound, as MaxLogSize=64MB"},
        {"[Server]\nScanMode=1\nscanmode=3", "ScanMode",
         "scanmode in [Server] of Server.ini comes again: only the first is read"},
        {"[Server]\nAddress=tcp://" + longText, "Address",
         "Address=tcp://" + longText +
             " in Server.ini is longer than 259 bytes: its first 259 used"},
        {"[Server]\nScanMod=1", "",
         "ScanMod in [Server] of Server.ini is not a key the server reads: it is not read "
         "(misspelt?)"},
        {"[Server]\nCaption=Capture", "",
         "Caption in [Server] of Server.ini is not a key the server reads: it is read in [SheCai]"},
        {"[Sever]\nScanMode=1", "",
         "[Sever] in Server.ini is not a section the server reads: its keys are not read; the "
         "sections are [Server], [SheCai] and [Security]"},
        {"[Server]\nScanMode=1\n[Server]\nWaitTime=9", "",
         "[Server] comes again in Server.ini: only the keys of its first one are read"},
        // Read as written: a control identifier in hexadecimal, a negative
        // wait (no wait), comments and an empty value (the default).
        {"[SheCai]\nHourCtrlId=0x31\n; a comment\nMinuteCtrlId=\n[Server]\nWaitTime=-1", "", ""},
    };
    for (const auto& c : cases) {
        writeFile(dir / "bin/Server.ini", c.ini);
        testing::internal::CaptureStdout();
        const int status = serverMain(fake, {"--settings"});
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, c.note.empty() ? 0 : 1) << c.ini;
        const std::string noteLine = "\nnote" + std::string(16, ' ') + c.note + "\n";
        if (c.note.empty()) {
            EXPECT_EQ(printed.find("\nnote "), std::string::npos) << printed;
            // The default caption, in GBK, as a UTF-8 terminal shows it.
            EXPECT_NE(printed.find("\nCaption             社会信息采集系统\n"), std::string::npos)
                << printed;
            continue;
        }
        const size_t at = printed.find(noteLine);
        ASSERT_NE(at, std::string::npos) << printed;
        const size_t lineStart = printed.rfind('\n', at - 1) + 1;
        if (*c.beside != '\0')
            EXPECT_EQ(
                printed.compare(lineStart, std::strlen(c.beside) + 1, std::string(c.beside) + " "),
                0)
                << printed;
        else
            EXPECT_LT(printed.find("\nMaxLogSize "), at) << printed;

        fake.files.appends.clear();
        fake.process.events.clear();
        CProcessor started(fake);  // its events are not held back by an earlier start's
        started.init();
        ASSERT_EQ(fake.files.appends.size(), 4u) << c.ini;
        EXPECT_NE(fake.files.appends[3].find("[Level:3][Processor.cpp("), std::string::npos);
        EXPECT_NE(fake.files.appends[3].find(")]" + c.note + "\r\n"), std::string::npos)
            << fake.files.appends[3];
        ASSERT_EQ(fake.process.events.size(), 2u);
        EXPECT_EQ(fake.process.events[1].type, EventType::Warning);
        EXPECT_EQ(fake.process.events[1].id, 101u);
        EXPECT_EQ(fake.process.events[1].text, c.note);
    }
}

TEST_F(SettingsTest, AnIniInTheWorkingFolderIsNotRead) {
    writeFile(dir / "work/Server.ini", "[Server]\nScanMode=1\n");
    processor.init();
    EXPECT_EQ(peer.settings().scanMode, 2);
}

TEST_F(SettingsTest, RegistryPathsGetAFolderSeparator) {
    writeRegistry(
        "\"ScanCmdPath\"=\"D:\\\\scan\\\\scancmd.scc\"\r\n"
        "\"ScanResult\"=\"D:\\\\scan\"\r\n"
        "\"ScanResult_jw\"=\"D:\\\\scan_jw/\"\r\n");
    processor.init();
    EXPECT_EQ(peer.settings().scanCmdPath, "D:\\scan\\scancmd.scc");
    EXPECT_EQ(peer.settings().scanResultDir, "D:\\scan/");
    EXPECT_EQ(peer.settings().scanResultJwDir, "D:\\scan_jw/");
    ASSERT_EQ(fake.files.appends.size(), 3u);
    EXPECT_NE(fake.files.appends[0].find(")]D:\\scan\\scancmd.scc\r\n"), std::string::npos);
    EXPECT_NE(fake.files.appends[1].find(")]D:\\scan/\r\n"), std::string::npos);
    // Opening the command file needs its folder: none was made, none created.
    EXPECT_FALSE(test::exists(dir / "drive_d"));
}

TEST_F(SettingsTest, EmptyRegistryValuesGiveTheDefaults) {
    writeRegistry("\"ScanCmdPath\"=\"\"\r\n\"ScanResult\"=\"\"\r\n\"ScanResult_jw\"=\"x\\\\\"\r\n");
    processor.init();
    EXPECT_EQ(peer.settings().scanCmdPath, "scancmd.scc");
    EXPECT_EQ(peer.settings().scanResultDir, "");
    EXPECT_EQ(peer.settings().scanResultJwDir, "x\\");
}

TEST_F(SettingsTest, ALeftoverOneBecomesFiveAndIsLogged) {
    for (const std::string content : {"1", "1more"}) {
        writeFile(dir / "work/scancmd.scc", content);
        fake.files.appends.clear();
        processor.init();
        EXPECT_EQ(readFile(dir / "work/scancmd.scc"), "5");
        ASSERT_EQ(fake.files.appends.size(), 4u);
        // Right after the two paths, before the start's own line.
        EXPECT_NE(fake.files.appends[2].find("[Level:3][Processor.cpp("), std::string::npos);
        EXPECT_NE(fake.files.appends[2].find(")]CProcessor::init error type!\r\n"),
                  std::string::npos);
    }
}

TEST_F(SettingsTest, OtherCommandFileContentsAreLeftAlone) {
    for (const std::string content : {"C", "0", "5", "", "2CARD"}) {
        writeFile(dir / "work/scancmd.scc", content);
        fake.files.appends.clear();
        processor.init();
        EXPECT_EQ(readFile(dir / "work/scancmd.scc"), content);
        EXPECT_EQ(fake.files.appends.size(), 3u);
    }
}

TEST_F(SettingsTest, ACommandFileHeldByTheDesktopSideIsSkipped) {
    writeFile(dir / "work/scancmd.scc", "1");
    int other = open((dir / "work/scancmd.scc").c_str(), O_RDWR);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    processor.init();
    close(other);
    EXPECT_EQ(readFile(dir / "work/scancmd.scc"), "1");
    EXPECT_EQ(fake.files.appends.size(), 3u);
}

TEST_F(SettingsTest, LoadingSettingsSetsTheCaptureClock) {
    WindowHandle window = fake.desktop.addWindow(kDefaultCaption, "AnyClass");
    fake.desktop.addWindow("", "Edit", window, 49);
    fake.desktop.addWindow("", "Edit", window, 53);
    processor.init();
    ASSERT_EQ(fake.desktop.textsSent.size(), 2u);
    EXPECT_EQ(fake.desktop.textsSent[0].second, "09");
    EXPECT_EQ(fake.desktop.textsSent[1].second, "05");
}

}  // namespace
}  // namespace qrx
