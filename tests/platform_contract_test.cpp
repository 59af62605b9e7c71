// The platform contract: what the server relies on from every platform,
// run against the POSIX stand-in here and against the Win32 build under
// Wine. Paths are native absolute paths in a scratch folder.
#include "platform_contract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace qrx {
namespace {

namespace fs = std::filesystem;

class PlatformContract : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        folder = fs::temp_directory_path() / ("qrx-contract-" + std::to_string(random()));
        fs::create_directories(folder);
        platform = contract::platformFor(folder.string());
    }
    void TearDown() override {
        platform.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    std::string path(const std::string& name) const { return (folder / name).string(); }
    static std::string read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void write(const std::string& file, const std::string& content) {
        std::ofstream(file, std::ios::binary) << content;
    }

    fs::path folder;
    std::shared_ptr<Platform> platform;
};

TEST_F(PlatformContract, AnExclusiveOpenShutsOutEveryOtherOpen) {
    auto first = platform->files().openExclusive(path("scancmd.scc"));
    ASSERT_NE(first, nullptr);  // created
    char byte = 'x';
    EXPECT_FALSE(first->readByte(&byte));
    EXPECT_EQ(platform->files().openExclusive(path("scancmd.scc")), nullptr);
    std::string failure;
    EXPECT_TRUE(first->rewrite("2C-7", 4, &failure)) << failure;
    first.reset();
    auto second = platform->files().openExclusive(path("scancmd.scc"));
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->readByte(&byte));
    EXPECT_EQ(byte, '2');
    EXPECT_TRUE(second->rewrite("5", 1, &failure)) << failure;
    second.reset();
    EXPECT_EQ(read(path("scancmd.scc")), "5");
}

// Held until released; --status looks at it without taking it, and at
// whether the process that wrote the status runs.
TEST_F(PlatformContract, TheSingleInstanceNameIsHeldUntilReleased) {
    const std::string name = "QRXContract" + std::to_string(std::random_device()());
    Process& process = platform->process();
    EXPECT_FALSE(process.instanceHeld(name));
    auto claim = process.claimSingleInstance(name);
    ASSERT_NE(claim, nullptr);
    EXPECT_TRUE(process.instanceHeld(name));
    EXPECT_EQ(process.claimSingleInstance(name), nullptr);
    claim.reset();
    EXPECT_FALSE(process.instanceHeld(name));
    EXPECT_NE(process.claimSingleInstance(name), nullptr);
    EXPECT_TRUE(process.processRuns(process.processId()));
    EXPECT_FALSE(process.processRuns(0));
}

TEST_F(PlatformContract, FilesAreAppendedAndWrittenButFoldersNeverMade) {
    EXPECT_EQ(platform->files().appendToFile(path("log.txt"), "ab", 2), 0);
    EXPECT_EQ(platform->files().appendToFile(path("log.txt"), "c\r\n", 3), 0);
    EXPECT_EQ(read(path("log.txt")), "abc\r\n");
    EXPECT_NE(platform->files().appendToFile(path("missing/log.txt"), "x", 1), 0);
    std::string failure;
    EXPECT_TRUE(platform->files().writeNewFile(path("a.jpg"), "longer", 6, &failure)) << failure;
    EXPECT_TRUE(platform->files().writeNewFile(path("a.jpg"), "\0b", 2, &failure)) << failure;
    EXPECT_EQ(read(path("a.jpg")), std::string("\0b", 2));
    EXPECT_FALSE(platform->files().writeNewFile(path("missing/a.jpg"), "x", 1, &failure));
    EXPECT_FALSE(failure.empty());
    EXPECT_FALSE(fs::exists(folder / "missing"));
    EXPECT_TRUE(platform->files().fileExists(path("a.jpg")));
    EXPECT_FALSE(platform->files().fileExists(path("b.jpg")));
    EXPECT_FALSE(platform->files().fileExists(""));
}

// A record is moved only to a free name (a clash fails and leaves both
// files); the log's rotation replaces the older file, or copies over it and
// cuts the log once it has found that it can.
TEST_F(PlatformContract, AFileIsMovedReplacedCopiedListedSizedAndDeleted) {
    write(path("1.xml.part"), "record");
    write(path("1.xml"), "earlier");
    EXPECT_EQ(platform->files().filesEndingIn((folder / "").string(), ".xml.part"),
              std::vector<std::string>{"1.xml.part"});
    std::string failure;
    EXPECT_FALSE(platform->files().moveFile(path("1.xml.part"), path("1.xml"), &failure));
    EXPECT_EQ(read(path("1.xml")) + read(path("1.xml.part")), "earlierrecord");
    write(path("sock.log"), "newer");
    write(path("sock.log.1"), "older and longer");
    EXPECT_EQ(platform->files().fileSize(path("sock.log")), 5);
    EXPECT_EQ(platform->files().fileSize(path("missing.log")), -1);
    ASSERT_TRUE(platform->files().replaceFile(path("sock.log"), path("sock.log.1"), &failure))
        << failure;
    EXPECT_FALSE(fs::exists(folder / "sock.log"));
    EXPECT_EQ(read(path("sock.log.1")), "newer");
    failure.clear();
    EXPECT_FALSE(platform->files().moveFile(path("sock.log"), path("sock.log.2"), &failure));
    EXPECT_FALSE(failure.empty());
    write(path("sock.log"), "copied");
    ASSERT_TRUE(platform->files().copyFile(path("sock.log"), path("sock.log.1"), &failure))
        << failure;
    EXPECT_EQ(read(path("sock.log.1")) + read(path("sock.log")), "copiedcopied");
    EXPECT_FALSE(platform->files().copyFile(path("missing.log"), path("sock.log.1"), &failure));
    // Whether the log could be cut, asked without cutting it.
    EXPECT_TRUE(platform->files().canCutFile(path("sock.log"), &failure)) << failure;
    EXPECT_EQ(read(path("sock.log")), "copied");
    failure.clear();
    EXPECT_FALSE(platform->files().canCutFile(path("missing.log"), &failure));
    EXPECT_FALSE(failure.empty());
    EXPECT_TRUE(platform->files().deleteFile(path("sock.log.1"), &failure)) << failure;
    EXPECT_FALSE(fs::exists(folder / "sock.log.1"));
    // A file already gone counts as removed: it does not stand.
    EXPECT_TRUE(platform->files().deleteFile(path("sock.log.1"), &failure)) << failure;
}

TEST_F(PlatformContract, AFileOpenForReadingElsewhereIsStillWrittenAnew) {
    // A program on the desktop side may have a record or an image open for
    // reading when it is written: the write still happens and the reader
    // sees the new bytes.
    write(path("a.xml"), "an earlier, longer record");
    std::ifstream reader(path("a.xml"), std::ios::binary);
    ASSERT_TRUE(reader.is_open());
    std::string failure;
    EXPECT_TRUE(platform->files().writeNewFile(path("a.xml"), "<new/>", 6, &failure)) << failure;
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "<new/>");
    reader.close();
    EXPECT_EQ(read(path("a.xml")), "<new/>");
}

TEST_F(PlatformContract, AFileIsReadWholeOrItsFailureIsNamed) {
    std::string bytes("key\r\n\0\xFF", 7);
    bytes += std::string(10000, 'k');  // more than one read
    write(path("server.key"), bytes);
    std::string content = "stale", failure;
    ASSERT_TRUE(platform->files().readFileContent(path("server.key"), &content, &failure))
        << failure;
    EXPECT_EQ(content, bytes);
    write(path("empty.key"), "");
    ASSERT_TRUE(platform->files().readFileContent(path("empty.key"), &content, &failure))
        << failure;
    EXPECT_EQ(content, "");

    EXPECT_FALSE(platform->files().readFileContent(path("missing.key"), &content, &failure));
    EXPECT_FALSE(failure.empty());
    failure.clear();
    EXPECT_FALSE(
        platform->files().readFileContent(folder.string(), &content, &failure));  // a folder
    EXPECT_FALSE(failure.empty());
}

// A settings file saved as "Unicode" (UTF-16LE with its mark) is read in
// the system's code page, as the profile functions read it; and a bare
// file name lands in the working folder that currentFolder names.
TEST_F(PlatformContract, Utf16TextAndTheWorkingFolder) {
    const std::string ascii = "[Server]\r\nScanMode=1\r\n";
    std::string utf16;
    for (char c : ascii) utf16 += std::string{c, '\0'};
    EXPECT_EQ(platform->process().ansiFromUtf16(utf16), ascii);
    EXPECT_EQ(platform->process().ansiFromUtf16(""), "");

    const std::string folder = platform->process().currentFolder();
    ASSERT_FALSE(folder.empty());
    const std::string name = "contract-working-folder.tmp";
    std::string failure;
    ASSERT_TRUE(platform->files().writeNewFile(name, "x", 1, &failure)) << failure;
    const char separator = platform->files().pathSeparator();
    EXPECT_TRUE(platform->files().fileExists(folder + separator + name)) << folder;
    EXPECT_TRUE(platform->files().deleteFile(name, &failure)) << failure;
}

TEST_F(PlatformContract, ClockAndCodes) {
    LocalTime local = platform->clock().localTime();
    // The monotonic clock counts milliseconds and never goes back.
    const int64_t tick = platform->clock().monotonicMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int64_t later = platform->clock().monotonicMs();
    EXPECT_GE(later - tick, 40);
    EXPECT_LT(later - tick, 2000);
    EXPECT_GE(local.year, 2024);
    EXPECT_TRUE(local.month >= 1 && local.month <= 12 && local.day >= 1 && local.day <= 31);
    EXPECT_TRUE(local.hour < 24 && local.minute < 60 && local.second < 61);
    EXPECT_TRUE(local.millisecond >= 0 && local.millisecond < 1000);
    Guid a = platform->process().newGuid(), b = platform->process().newGuid();
    EXPECT_FALSE(a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3);
    EXPECT_EQ(a.data3 >> 12, 4);  // random GUIDs
}

TEST_F(PlatformContract, WindowsAreFoundByTitleAndTheirControlsSet) {
    auto desktop = contract::desktopFor(folder.string());
    const std::string title = "QRX contract " + std::to_string(std::random_device()());
    desktop->addTopWindow("capture", title, nullptr);
    desktop->addControl("capture", "panel", 7);
    desktop->addControl("panel", "hour", 49);  // a grandchild
    desktop->addControl("capture", "minute", 53);
    desktop->addTopWindow("prompt", title + " prompt", "#32770");

    EXPECT_EQ(platform->desktop().findWindow(nullptr, title + " nothing"), 0u);
    EXPECT_NE(platform->desktop().findWindow("#32770", title + " prompt"), 0u);
    EXPECT_EQ(platform->desktop().findWindow("#32770", title), 0u);
    WindowHandle window = platform->desktop().findWindow(nullptr, title);
    ASSERT_NE(window, 0u);
    std::vector<int> ids;
    platform->desktop().forEachDescendant(window, [&](WindowHandle control) {
        int id = platform->desktop().controlId(control);
        ids.push_back(id);
        if (id == 49) {
            EXPECT_TRUE(platform->desktop().setWindowText(control, "09", 2000));
        }
        if (id == 53) {
            EXPECT_TRUE(platform->desktop().setWindowText(control, "05", 2000));
        }
        return true;
    });
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<int>{7, 49, 53}));
    EXPECT_EQ(desktop->textOf("hour"), "09");
    EXPECT_EQ(desktop->textOf("minute"), "05");
}

}  // namespace
}  // namespace qrx
