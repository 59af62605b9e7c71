// The POSIX stand-in's contract, as the README documents it for users and
// desktop-side programs.
#include "platform/platform_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <regex>
#include <vector>

#include "test_support.h"

namespace qrx {
namespace {

using test::exists;
using test::makeDirs;
using test::readFile;
using test::writeFile;

class PosixPlatformTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    PosixPlatform platform{dir.path()};
};

TEST_F(PosixPlatformTest, CommandFileIsCreatedReadAndRewritten) {
    auto file = platform.files().openExclusive("cmd.scc");
    ASSERT_NE(file, nullptr);
    char byte = 'x';
    EXPECT_FALSE(file->readByte(&byte));  // created empty
    std::string failure;
    EXPECT_TRUE(file->rewrite("2CARD", 5, &failure)) << failure;
    file.reset();
    EXPECT_EQ(readFile("cmd.scc"), "2CARD");
    unlink("cmd.scc");

    writeFile(dir / "cmd.scc", "1abc");
    file = platform.files().openExclusive(dir / "cmd.scc");
    ASSERT_TRUE(file->readByte(&byte));
    EXPECT_EQ(byte, '1');
    EXPECT_TRUE(file->rewrite("5", 1, &failure)) << failure;
    file.reset();
    EXPECT_EQ(readFile(dir / "cmd.scc"), "5");
}

TEST_F(PosixPlatformTest, CommandFileHeldByAnotherOpenerCannotBeOpened) {
    writeFile(dir / "cmd.scc", "0");
    int other = open((dir / "cmd.scc").c_str(), O_RDWR);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(platform.files().openExclusive(dir / "cmd.scc"), nullptr);
    close(other);
    EXPECT_NE(platform.files().openExclusive(dir / "cmd.scc"), nullptr);
    // And while the server holds it, the other side's lock fails.
    auto held = platform.files().openExclusive(dir / "cmd.scc");
    other = open((dir / "cmd.scc").c_str(), O_RDWR);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

TEST_F(PosixPlatformTest, SingleInstanceClaimIsExclusiveAndSurvivesAMissingPrefix) {
    auto first = platform.process().claimSingleInstance("QRXScanServerMutex");
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(exists(dir / "QRXScanServerMutex.lock"));
    EXPECT_EQ(platform.process().claimSingleInstance("QRXScanServerMutex"), nullptr);
    first.reset();
    EXPECT_NE(platform.process().claimSingleInstance("QRXScanServerMutex"), nullptr);

    PosixPlatform nowhere(dir / "missing");
    EXPECT_NE(nowhere.process().claimSingleInstance("QRXScanServerMutex"), nullptr);
    EXPECT_FALSE(exists(dir / "missing"));
}

TEST_F(PosixPlatformTest, LogAppendsUnderTheDriveFolderAndNeverCreatesIt) {
    EXPECT_NE(platform.files().appendToFile("c:\\qrx\\sock.log", "a", 1), 0);
    EXPECT_FALSE(exists(dir / "drive_c"));
    makeDirs(dir / "drive_c/qrx");
    EXPECT_EQ(platform.files().appendToFile("c:\\qrx\\sock.log", "ab", 2), 0);
    EXPECT_EQ(platform.files().appendToFile("C:/qrx/sock.log", "c\r\n", 3), 0);
    EXPECT_EQ(readFile(dir / "drive_c/qrx/sock.log"), "abc\r\n");
}

TEST_F(PosixPlatformTest, NewFilesAreCreatedOrCutAndFoldersNeverMade) {
    std::string failure;
    EXPECT_FALSE(platform.files().writeNewFile("d:\\scan\\a.jpg", "xy", 2, &failure));
    EXPECT_FALSE(exists(dir / "drive_d"));
    makeDirs(dir / "drive_d/scan");
    EXPECT_TRUE(platform.files().writeNewFile("d:\\scan\\a.jpg", "long content", 12, &failure));
    EXPECT_TRUE(platform.files().writeNewFile("D:/scan/a.jpg", "\0z", 2, &failure));
    EXPECT_EQ(readFile(dir / "drive_d/scan/a.jpg"), std::string("\0z", 2));
    EXPECT_TRUE(platform.files().writeNewFile(dir / "empty.jpg", "", 0, &failure));
    EXPECT_TRUE(exists(dir / "empty.jpg"));
}

TEST_F(PosixPlatformTest, RegistryKeyComesFromTheExportFile) {
    EXPECT_EQ(platform.process().openMachineKey("SOFTWARE\\Quorvane"), nullptr);
    writeFile(
        dir / "registry.reg",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\n\"ScanResult\"=\"D:\\\\scan\"\n");
    auto key = platform.process().openMachineKey("SOFTWARE\\Quorvane");
    ASSERT_NE(key, nullptr);
    std::string value;
    EXPECT_TRUE(key->queryString("scanresult", &value));
    EXPECT_EQ(value, "D:\\scan");
    EXPECT_FALSE(key->queryString("ScanCmdPath", &value));
    EXPECT_EQ(platform.process().openMachineKey("SOFTWARE\\Other"), nullptr);
}

TEST_F(PosixPlatformTest, DesktopFoldersAreWindows) {
    const std::string caption = "\xC9\xE7\xBB\xE1";
    makeDirs(dir / "desktop/capture/panel/hour");
    makeDirs(dir / "desktop/capture/minute");
    makeDirs(dir / "desktop/prompt");
    writeFile(dir / "desktop/capture/title", caption);
    writeFile(dir / "desktop/capture/panel/hour/id", "49");
    writeFile(dir / "desktop/capture/minute/id", "53\n");
    writeFile(dir / "desktop/prompt/title", "\xCC\xE1\xCA\xBE");
    writeFile(dir / "desktop/prompt/class", "#32770");

    EXPECT_EQ(platform.desktop().findWindow(nullptr, "nothing"), 0u);
    EXPECT_EQ(platform.desktop().findWindow("#32770", caption), 0u);
    EXPECT_NE(platform.desktop().findWindow("#32770", "\xCC\xE1\xCA\xBE"), 0u);
    WindowHandle capture = platform.desktop().findWindow(nullptr, caption);
    ASSERT_NE(capture, 0u);
    EXPECT_EQ(capture,
              platform.desktop().findWindow(nullptr, caption));  // a window keeps its handle

    std::vector<int> ids;
    platform.desktop().forEachDescendant(capture, [&](WindowHandle w) {
        ids.push_back(platform.desktop().controlId(w));
        if (platform.desktop().controlId(w) == 49) platform.desktop().setWindowText(w, "09", 2000);
        return true;
    });
    EXPECT_EQ(ids, (std::vector<int>{53, 0, 49}));  // minute, panel, hour (by name, depth first)
    EXPECT_EQ(readFile(dir / "desktop/capture/panel/hour/text"), "09");

    int visits = 0;
    platform.desktop().forEachDescendant(capture, [&](WindowHandle) { return ++visits < 2; });
    EXPECT_EQ(visits, 2);
}

TEST_F(PosixPlatformTest, GuidsAreRandomVersion4) {
    Guid a = platform.process().newGuid(), b = platform.process().newGuid();
    EXPECT_EQ(a.data3 >> 12, 4);
    EXPECT_EQ(a.data4[0] & 0xC0, 0x80);
    EXPECT_FALSE(a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3);
}

TEST_F(PosixPlatformTest, FileExistsFollowsThePathMapping) {
    EXPECT_FALSE(platform.files().fileExists(""));
    EXPECT_FALSE(platform.files().fileExists("d:\\scan\\a.xml"));
    makeDirs(dir / "drive_d/scan");
    writeFile(dir / "drive_d/scan/a.xml", "x");
    EXPECT_TRUE(platform.files().fileExists("d:\\scan\\a.xml"));
}

TEST_F(PosixPlatformTest, ExecutablePathIsThisProgram) {
    std::string path = platform.process().executablePath();
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "qrx_tests");
}

// Blocks freed below one still in use stay with the process until the
// release: what a drained queue leaves behind a connection's buffers.
TEST_F(PosixPlatformTest, FreedMemoryBetweenBlocksInUseGoesBackToTheSystem) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__GLIBC__)
    GTEST_SKIP() << "the heap is not glibc's";
#endif
    constexpr size_t kBlock = 4000, kBlocks = 64 * 1024 * 1024 / kBlock;
    std::vector<std::unique_ptr<char[]>> blocks;
    for (size_t i = 0; i < kBlocks; ++i) {
        blocks.emplace_back(new char[kBlock]);
        std::memset(blocks.back().get(), 1, kBlock);
    }
    std::unique_ptr<char[]> last = std::move(blocks.back());
    blocks.clear();
    const long held = bench::residentKb(getpid());
    platform.process().releaseFreeMemory();
    const long released = bench::residentKb(getpid());
    EXPECT_GT(held - released, 32 * 1024) << held << " KB held, " << released << " KB after";
}

}  // namespace
}  // namespace qrx
