// Start-up of the processor: "Server.ini", the registry key, the two path
// lines of the log and the check of the command file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "base/version.h"
#include "log/log.h"
#include "processor/processor.h"
#include "processor_peer.h"
#include "server/server_main.h"
#include "settings_files.h"
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
        writeRegistry(test::deskRegistryValues(dir / "work"));  // a desk that is set up
    }
    void TearDown() override { chdir("/"); }

    void writeRegistry(const std::string& values) {
        test::writeRegistry(dir / "registry.reg", values);
    }
    std::string logText() { return readFile(dir / "drive_c/qrx/sock.log"); }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    CProcessor processor{fake};
    CProcessorPeer peer{processor};
};

TEST_F(SettingsTest, NoIniAndNoRegistryGiveTheDefaults) {
    std::filesystem::remove(dir / "registry.reg");
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
    // then the version and the settings file, in the event log too; then
    // the note that the records go to the working folder.
    ASSERT_EQ(fake.files.appends.size(), 4u);
    EXPECT_NE(fake.files.appends[0].find(")]scancmd.scc\r\n"), std::string::npos);
    EXPECT_EQ(fake.files.appends[1].substr(fake.files.appends[1].size() - 4), ")]\r\n");
    const std::string started = std::string("QRX Scan Server ") + serverVersion() +
                                " starts, settings " +
                                dir / "bin/Server.ini (missing: all defaults)";
    EXPECT_NE(fake.files.appends[2].find("[Level:6][Processor.cpp("), std::string::npos);
    EXPECT_NE(fake.files.appends[2].find(")]" + started + "\r\n"), std::string::npos)
        << fake.files.appends[2];
    ASSERT_EQ(fake.process.events.size(), 2u);
    EXPECT_EQ(fake.process.events[0].type, EventType::Information);
    EXPECT_EQ(fake.process.events[0].id, 100u);
    EXPECT_EQ(fake.process.events[0].text, started);
    EXPECT_EQ(fake.process.events[1].id, 101u);
    EXPECT_EQ(fake.process.events[1].text.rfind("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane cannot be "
                                                "opened",
                                                0),
              0u);
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

// The files the Win32 build's contract tests read too, to the same values
// and notes.
TEST_F(SettingsTest, TheFilesBothBuildsReadAlike) {
    for (const test::SettingsFile& file : test::kSettingsFiles) {
        writeFile(dir / "bin/Server.ini", file.bytes);
        EXPECT_EQ(test::readSettingsFile(fake), std::make_pair(file.scanMode, file.notes))
            << file.what;
    }
}

// A line of --settings: the name, then the value from column 20.
std::string reportLine(const std::string& name, const std::string& value) {
    return name + std::string(std::max<size_t>(20, name.size() + 2) - name.size(), ' ') + value;
}

// Every mistake a desk can make in "Server.ini" or the registry key gets a
// note: on the line after the value it concerns in --settings, which then
// exits 1, and at start as a level-3 line and a warning event. A note of
// the file's keys or sections follows the keys. A remark (a documented
// choice) is printed alike, but --settings exits 0 and the start logs it
// at level 6 with no event. Each row: the file, the registry's values
// (kDesk: a desk's; kNoKey: no key at all), a value used, and the note.
TEST_F(SettingsTest, EachMistakeOfADeskIsNotedWithTheValueUsed) {
    const std::string kNoKey = "<none>";
    const std::string longText(300, 'x');
    const std::string working = "the working folder, " + dir / "work";
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane";
    const std::string caption = "社会信息采集系统";  // UTF-8, as this file is
    const struct {
        std::string ini;
        std::string registry;  // export lines, kNoKey, or empty for a desk's
        std::string used;      // a line of the report
        const char* beside;    // the line the note follows; "" after the keys
        std::string note;
        bool remark;
    } cases[] = {
        {"[Server]\nScanMode=two", "", reportLine("ScanMode", "0"), "ScanMode",
         "ScanMode=two in Server.ini is not a whole number: 0 used; write a whole number from "
         "0 to 3, digits only, as ScanMode=2",
         false},
        {"[Server]\nScanMode=4", "", reportLine("ScanMode", "4"), "ScanMode",
         "ScanMode=4 in Server.ini is not from 0 to 3: 4 used; write a whole number from 0 to 3, "
         "digits only, as ScanMode=2",
         false},
        {"[Server]\nWaitTime=3 min", "", reportLine("WaitTime", "3"), "WaitTime",
         "WaitTime=3 min in Server.ini is not a whole number: 3 used; write a whole number, "
         "digits only, as WaitTime=180",
         false},
        {"[Server]\nMaxLogSize=64 MB", "", reportLine("MaxLogSize", "67108864"), "MaxLogSize",
         "MaxLogSize=64 MB in Server.ini is not a whole number of bytes, KB, MB or GB: 67108864 "
         "used; write bytes, or a whole number and KB, MB or GB with no space, at least 1MB, or "
         "0 for no bound, as MaxLogSize=64MB",
         false},
        {"[Server]\nScanMode=1\nscanmode=3", "", reportLine("ScanMode", "1"), "ScanMode",
         "scanmode in [Server] of Server.ini comes again: only the first is read", false},
        {"[Server]\nAddress=tcp://" + longText, "",
         reportLine("Address", ("tcp://" + longText).substr(0, 259)), "Address",
         "Address=tcp://" + longText +
             " in Server.ini is longer than 259 bytes: its first 259 used",
         false},
        {"[Server]\nScanMod=1", "", reportLine("ScanMode", "2"), "",
         "ScanMod in [Server] of Server.ini is not a key the server reads: it is not read "
         "(misspelt?)",
         false},
        {"[Server]\nCaption=Capture", "", reportLine("Caption", caption), "",
         "Caption in [Server] of Server.ini is not a key the server reads: it is read in [SheCai]",
         false},
        {"[Sever]\nScanMode=1", "", reportLine("ScanMode", "2"), "",
         "[Sever] in Server.ini is not a section the server reads: its keys are not read; the "
         "sections are [Server], [SheCai] and [Security]",
         false},
        {"[Server]\nScanMode=1\n[Server]\nWaitTime=9", "", reportLine("WaitTime", "180"), "",
         "[Server] comes again in Server.ini: only the keys of its first one are read", false},
        // A file saved as "Unicode" is read in the code page (GBK here).
        {test::utf16File(u"[Server]\r\nScanMode=1\r\n[SheCai]\r\nCaption=\u91C7\u96C6\r\n"), "",
         reportLine("Caption", "采集"), "", "", false},
        // One that cannot be converted (a lone surrogate) is not read: said.
        {test::utf16File(u"[Server]\r\nScanMode=1\xD800\r\n"), "", reportLine("ScanMode", "2"),
         "Server.ini",
         "Server.ini is saved as UTF-16 and cannot be read in the system's code page: all "
         "defaults used; save it as ANSI (GBK)",
         false},
        // Every size in the same units; a bound never falls back to none.
        {"[Server]\nMaxCacheSize=1GB\nMaxRequestSize=8mb", "",
         reportLine("MaxCacheSize", "1073741824"), "", "", false},
        {"[Server]\nMaxRequestSize=3000000000", "", reportLine("MaxRequestSize", "4194304"),
         "MaxRequestSize",
         "MaxRequestSize=3000000000 in Server.ini is more than 2147483647 bytes: 4194304 used; "
         "write bytes, or a whole number and KB, MB or GB with no space, at most 2147483647 "
         "bytes, or 0 for no bound, as MaxRequestSize=4MB",
         false},
        {"[Server]\nMaxCacheSize=-5", "", reportLine("MaxCacheSize", "268435456"), "MaxCacheSize",
         "MaxCacheSize=-5 in Server.ini is negative: 268435456 used; write bytes, or a whole "
         "number and KB, MB or GB with no space, at most 2147483647 bytes, or 0 for no bound, as "
         "MaxCacheSize=256MB",
         false},
        {"[Server]\nMaxCodes=abc", "", reportLine("MaxCodes", "100000"), "MaxCodes",
         "MaxCodes=abc in Server.ini is not a whole number: 100000 used; write a whole number "
         "from 0 to 2147483647, digits only, as MaxCodes=100000",
         false},
        {"[Server]\nMaxConnectionsPerAddress=-1", "", reportLine("MaxConnectionsPerAddress", "16"),
         "MaxConnectionsPerAddress",
         "MaxConnectionsPerAddress=-1 in Server.ini is not from 0 to 2147483647: 16 used; write a "
         "whole number from 0 to 2147483647, digits only, as MaxConnectionsPerAddress=16",
         false},
        {"[SheCai]\nClockTimeout=600000", "", reportLine("ClockTimeout", "2000"), "ClockTimeout",
         "ClockTimeout=600000 in Server.ini is not from 0 to 60000: 2000 used; write a whole "
         "number from 0 to 60000, digits only, as ClockTimeout=2000",
         false},
        {"[Server]\nMaxLogSize=-1", "", reportLine("MaxLogSize", "0"), "MaxLogSize",
         "MaxLogSize=-1 in Server.ini is negative, which means no bound: 0 used", true},
        // The registry key of the card-scanning application.
        {"", kNoKey, reportLine("ScanCmdPath", "scancmd.scc"), "ScanCmdPath",
         key +
             " cannot be opened (32-bit view): the command file is scancmd.scc and every record "
             "is written in " +
             working + "; the card-scanning application's setup writes the key",
         false},
        {"", "\"ScanCmdPath\"=\"\"\r\n\"ScanResult\"=\"d:\\\\c\"\r\n\"ScanResult_jw\"=\"d:\\\\jw\"",
         reportLine("ScanCmdPath", "scancmd.scc"), "ScanCmdPath",
         "ScanCmdPath in " + key + " is missing or empty: the command file is scancmd.scc in " +
             working,
         false},
        {"", "\"ScanCmdPath\"=\"d:\\\\s.scc\"\r\n\"ScanResult_jw\"=\"d:\\\\jw\"",
         reportLine("ScanResult", ""), "ScanResult",
         "ScanResult in " + key + " is missing or empty: records of kind C are written in " +
             working,
         false},
        {"",
         "\"ScanCmdPath\"=\"d:\\\\s.scc\"\r\n\"ScanResult\"=\"d:\\\\c\"\r\n\"ScanResult_jw\"=\"\"",
         reportLine("ScanResult_jw", ""), "ScanResult_jw",
         "ScanResult_jw in " + key +
             " is missing or empty: records of the other kinds are "
             "written in " +
             working,
         false},
        // Read as written: a control identifier in hexadecimal, a negative
        // wait (no wait), comments and an empty value (the default); no
        // registry key where no worker runs.
        {"[SheCai]\nHourCtrlId=0x31\n; a comment\nMinuteCtrlId=\n[Server]\nWaitTime=-1", "",
         reportLine("Caption", caption), "", "", false},
        {"[Server]\nScanMode=0", kNoKey, reportLine("ScanMode", "0"), "", "", false},
    };
    for (const auto& c : cases) {
        const std::string row = c.ini + " | " + c.registry;
        writeFile(dir / "bin/Server.ini", c.ini);
        if (c.registry == kNoKey)
            std::filesystem::remove(dir / "registry.reg");
        else
            writeRegistry(c.registry.empty() ? test::deskRegistryValues(dir / "work")
                                             : c.registry + "\r\n");
        testing::internal::CaptureStdout();
        const int status = serverMain(fake, {"--settings"});
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, c.note.empty() || c.remark ? 0 : 1) << row;
        EXPECT_NE(printed.find("\n" + c.used + "\n"), std::string::npos) << row << "\n" << printed;
        if (c.note.empty()) {
            EXPECT_EQ(printed.find("\nnote "), std::string::npos) << printed;
            EXPECT_EQ(printed.find("\nremark "), std::string::npos) << printed;
            continue;
        }
        const std::string noteLine = "\n" + reportLine(c.remark ? "remark" : "note", c.note) + "\n";
        const size_t at = printed.find(noteLine);
        ASSERT_NE(at, std::string::npos) << row << "\n" << printed;
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
        ASSERT_EQ(fake.files.appends.size(), 4u) << row;
        EXPECT_NE(fake.files.appends[3].find(c.remark ? "[Level:6][Processor.cpp("
                                                      : "[Level:3][Processor.cpp("),
                  std::string::npos);
        EXPECT_NE(fake.files.appends[3].find(")]" + c.note + "\r\n"), std::string::npos)
            << fake.files.appends[3];
        ASSERT_EQ(fake.process.events.size(), c.remark ? 1u : 2u);
        if (c.remark) continue;
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
