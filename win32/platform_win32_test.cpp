// What only the Win32 half does: the registry in its 32-bit view, values of
// every stored type and longer than the server's old 255-character buffer,
// record files shared with other openers as fopen shares them, a log that
// is rotated though a viewer keeps its rename out and keeps its history
// where it cannot be, "Server.ini" found beside the executable through
// backslashed paths, with its keys listed, and the event messages in
// ScanServer.exe.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "log/event_log.h"
#include "log/log.h"
#include "settings/ini_file.h"
#include "settings/settings.h"
#include "settings_files.h"

namespace qrx {
namespace {

constexpr const char kTestKey[] = "SOFTWARE\\QuorvaneContractTest";

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0,
                                  KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(key);
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kTestKey, KEY_WOW64_32KEY, 0);
    }
    void setText(const char* name, const std::string& value) {
        setBytes(name, REG_SZ, value + '\0');
    }
    void setBytes(const char* name, DWORD type, const std::string& bytes) {
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS)
            << name;
    }
    HKEY key = nullptr;
};

TEST_F(RegistryTest, ValuesAreTheirBytesUpToTheFirstNulWhateverTheirType) {
    const std::string longFolder = "D:\\" + std::string(300, 'x');
    setText("ScanResult", longFolder);
    setText("Short", "c:\\scan\\scancmd.scc");
    setBytes("Expand", REG_EXPAND_SZ, std::string("%TEMP%\\scan\0", 12));
    const DWORD abc = 0x00636261, five = 5;
    setBytes("Dword", REG_DWORD, std::string(reinterpret_cast<const char*>(&abc), 4));
    setBytes("Number", REG_DWORD, std::string(reinterpret_cast<const char*>(&five), 4));
    setBytes("Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5));
    setBytes("Binary", REG_BINARY, std::string("xy\0z", 4));
    setBytes("Unended", REG_BINARY, "D:\\bin");  // no NUL at all
    setBytes("LongBinary", REG_BINARY, std::string(300, 'b'));
    setBytes("Empty", REG_BINARY, "");
    auto opened = Platform::Default().process().openMachineKey(kTestKey);
    ASSERT_NE(opened, nullptr);

    const std::pair<const char*, std::string> cases[] = {
        {"ScanResult", longFolder},
        {"short", "c:\\scan\\scancmd.scc"},  // names compare without case
        {"Expand", "%TEMP%\\scan"},          // not expanded
        {"Dword", "abc"},
        {"Number", "\x05"},
        {"Multi", "a"},
        {"Binary", "xy"},
        {"Unended", "D:\\bin"},
        {"LongBinary", std::string(300, 'b')},
        {"Empty", ""},
    };
    for (const auto& [name, expected] : cases) {
        std::string value = "left over";
        EXPECT_TRUE(opened->queryString(name, &value)) << name;
        EXPECT_EQ(value, expected) << name;
    }
    std::string value;
    EXPECT_FALSE(opened->queryString("Missing", &value));
    EXPECT_EQ(Platform::Default().process().openMachineKey("SOFTWARE\\QuorvaneNoSuchKey"), nullptr);
}

// A registry value borrowed by a test and put back as it was afterwards.
class BorrowedValue {
  public:
    BorrowedValue(HKEY key, const char* name) : key_(key), name_(name) {
        char value[2048] = {};
        DWORD size = sizeof(value) - 1;
        had_ = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                                &size) == ERROR_SUCCESS;
        old_ = value;
    }
    ~BorrowedValue() {
        if (had_)
            RegSetValueExA(key_, name_, 0, REG_SZ, reinterpret_cast<const BYTE*>(old_.c_str()),
                           static_cast<DWORD>(old_.size() + 1));
        else
            RegDeleteValueA(key_, name_);
    }
    void set(const std::string& value) {
        RegSetValueExA(key_, name_, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }

  private:
    HKEY key_;
    const char* name_;
    bool had_;
    std::string old_;
};

// A record or image file written while another program has it open, as the
// desktop side may have. Windows checks each open against the share modes of
// the others and theirs against its own, so an opener that comes first stands
// for one that comes while the file is being written.
class SharingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        path = std::string(temp) + "qrx-sharing-" + std::to_string(GetCurrentProcessId()) + ".xml";
    }
    void TearDown() override {
        DeleteFileA(path.c_str());
        DeleteFileA((path + ".1").c_str());
    }
    static std::string read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string content() { return read(path); }
    std::string older() { return read(path + ".1"); }
    std::string path;
};

// An open file held for the length of one case.
class Holder {
  public:
    explicit Holder(HANDLE file) : file_(file) {}
    ~Holder() {
        if (valid()) CloseHandle(file_);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    bool valid() const { return file_ != INVALID_HANDLE_VALUE; }
    // Reads from the start through this opener's own handle.
    std::string readFromStart() const {
        char bytes[64] = {};
        DWORD got = 0;
        SetFilePointer(file_, 0, nullptr, FILE_BEGIN);
        if (!ReadFile(file_, bytes, sizeof(bytes), &got, nullptr)) return "(read failed)";
        return std::string(bytes, got);
    }

  private:
    HANDLE file_;
};

TEST_F(SharingTest, RecordFilesAreWrittenBesideOpenersThatShareAsFopenDoes) {
    const std::string earlier = "an earlier, longer record";
    const struct {
        const char* opener;
        DWORD access;
        DWORD share;
        bool written;
        bool moved;  // the log's move to ".1" goes through beside it
    } cases[] = {
        {"a reader sharing reading and writing", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
         true, false},
        {"a reader sharing everything", GENERIC_READ,
         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true, true},
        {"a writer sharing reading and writing", GENERIC_READ | GENERIC_WRITE,
         FILE_SHARE_READ | FILE_SHARE_WRITE, true, false},
        {"a writer sharing writing", GENERIC_WRITE, FILE_SHARE_WRITE, true, false},
        {"a reader sharing only reading", GENERIC_READ, FILE_SHARE_READ, false, false},
        {"a reader sharing nothing", GENERIC_READ, 0, false, false},
    };
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << earlier;
        {
            Holder holder(CreateFileA(path.c_str(), c.access, c.share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(holder.valid()) << c.opener;
            std::string failure;
            EXPECT_EQ(Platform::Default().files().writeNewFile(path, "<new/>", 6, &failure),
                      c.written)
                << c.opener;
            if (c.written && (c.access & GENERIC_READ) != 0) {
                EXPECT_EQ(holder.readFromStart(), "<new/>") << c.opener;  // cut, then written
            }
            // The C runtime's own open for writing, beside the same opener.
            // Whether the log's rotation could cut it, beside the same opener.
            EXPECT_EQ(Platform::Default().files().canCutFile(path, &failure), c.written)
                << c.opener;
            FILE* runtime = std::fopen(path.c_str(), "ab");
            EXPECT_EQ(runtime != nullptr, c.written) << c.opener;
            if (runtime != nullptr) std::fclose(runtime);
            EXPECT_EQ(Platform::Default().files().moveFile(path, path + ".1", &failure), c.moved)
                << c.opener;
        }
        if (c.moved) MoveFileExA((path + ".1").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
        const std::string before = c.written ? "<new/>" : earlier;
        EXPECT_EQ(content(), before) << c.opener;

        // The log's rotation beside the same opener: moved, or copied (a read)
        // and cut (a write); else its lines all stay in the log, and ".1"
        // keeps the older history.
        const bool rotated = c.written && (c.access & GENERIC_READ) != 0;
        const std::string history = "older history";
        std::ofstream(path + ".1", std::ios::binary | std::ios::trunc) << history;
        {
            Holder holder(CreateFileA(path.c_str(), c.access, c.share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
            makeRoomInLog(Platform::Default(), CLogConfig{LOG_TO_FILE, 6, "N", path, 1}, 1);
            if (rotated) {
                EXPECT_EQ(holder.readFromStart(), c.moved ? before : "") << c.opener;
            }
        }
        std::printf("[ rotation ] beside %-37s log %2d bytes, .1 %2d bytes\n", c.opener,
                    static_cast<int>(content().size()), static_cast<int>(older().size()));
        EXPECT_EQ(content(), rotated ? "" : before) << c.opener;
        EXPECT_EQ(older(), rotated ? before : history) << c.opener;
        DeleteFileA((path + ".1").c_str());
    }
}

// A record whose announcement failed, held by a reader that does not share
// deleting (a virus scanner, a folder watcher), stands and its removal says
// why, so the server never writes the card again beside it.
TEST_F(SharingTest, ARecordHeldWithoutSharingDeleteStandsAndTheRemovalSaysWhy) {
    for (DWORD share : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_DELETE}}) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << "<record/>";
        Holder holder(CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder.valid());
        const bool removable = (share & FILE_SHARE_DELETE) != 0;
        std::string failure;
        EXPECT_EQ(Platform::Default().files().deleteFile(path, &failure), removable) << share;
        EXPECT_EQ(failure.empty(), removable) << failure;
    }
}

TEST(Win32Settings, ServerIniBesideTheExecutableAndBackslashedFolders) {
    Platform& platform = Platform::Default();
    std::string exe = platform.process().executablePath();
    std::string ini = exe.substr(0, exe.rfind('\\') + 1) + "Server.ini";
    std::ofstream(ini) << "[Server]\r\nScanMode=3\r\nWaitTime=0x20\r\n";
    Settings settings;
    readIniSettings(platform, &settings);
    DeleteFileA(ini.c_str());
    EXPECT_EQ(settings.scanMode, 3);
    EXPECT_EQ(settings.waitTime, 32);
    EXPECT_EQ(settings.address, "tcp://0.0.0.0:7106");

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvane", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    {
        BorrowedValue result(key, "ScanResult"), resultJw(key, "ScanResult_jw");
        result.set("D:\\scan");
        resultJw.set("D:\\scan_jw/");
        readScanPaths(platform, &settings);
    }
    RegCloseKey(key);
    EXPECT_EQ(settings.scanResultDir, "D:\\scan\\");
    EXPECT_EQ(settings.scanResultJwDir, "D:\\scan_jw/");
}

// The settings reader keeps the profile functions' rules: on a file
// without a byte-order mark it reads each value as GetPrivateProfileStringA
// and GetPrivateProfileIntA read it.
TEST(Win32Settings, TheReaderReadsAsTheProfileFunctions) {
    std::string exe = Platform::Default().process().executablePath();
    const std::string ini = exe.substr(0, exe.rfind('\\') + 1) + "ProfileRules.ini";
    const std::string text =
        "; settings\r\n[server]\r\nADDRESS = \"tcp://a:1\"\r\nLong=" + std::string(300, 'l') +
        "\r\nScanMode=55zz\r\nHex=0x10\r\nNeg=-3\r\nWord=abc\r\nEmpty=\r\n"
        "[SheCai]\r\nCaption=\xC9\xE7\xBB\xE1\r\n";
    std::ofstream(ini, std::ios::binary) << text;
    const std::pair<const char*, const char*> keys[] = {
        {"Server", "Address"}, {"Server", "Long"}, {"Server", "ScanMode"}, {"Server", "Hex"},
        {"Server", "Neg"},     {"Server", "Word"}, {"Server", "Empty"},    {"Server", "Missing"},
        {"SheCai", "Caption"}, {"Nowhere", "Key"},
    };
    for (const auto& [section, key] : keys) {
        char buffer[260] = {};
        GetPrivateProfileStringA(section, key, "<default>", buffer, sizeof buffer, ini.c_str());
        std::string own;
        const bool found = findProfileValue(text, section, key, &own);
        EXPECT_EQ(std::string(buffer), found ? own.substr(0, 259) : "<default>") << key;
        EXPECT_EQ(static_cast<int>(GetPrivateProfileIntA(section, key, 7, ini.c_str())),
                  found && !own.empty() ? parseProfileInt(own) : 7)
            << key;
    }
    DeleteFileA(ini.c_str());
}

// Server.ini as the POSIX suite reads it, on the real calls: the same files
// give the same values and notes.
TEST(Win32Settings, TheFilesOfTheSettingsTableReadAsOnPosix) {
    Platform& platform = Platform::Default();
    std::string exe = platform.process().executablePath();
    std::string ini = exe.substr(0, exe.rfind('\\') + 1) + "Server.ini";
    for (const test::SettingsFile& file : test::kSettingsFiles) {
        std::ofstream(ini, std::ios::binary) << file.bytes;
        EXPECT_EQ(test::readSettingsFile(platform), std::make_pair(file.scanMode, file.notes))
            << file.what;
    }
    DeleteFileA(ini.c_str());
}

// Event Viewer finds each event's message in ScanServer.exe, the source's
// message file, by the event's number, and puts the event's line in it.
TEST(Win32Events, EveryKindOfEventHasItsMessageInScanServerExe) {
    std::string exe = Platform::Default().process().executablePath();
    const std::string server = exe.substr(0, exe.rfind('\\') + 1) + "ScanServer.exe";
    HMODULE module = LoadLibraryExA(server.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) GTEST_SKIP() << "no " << server;
    const char* line = "cannot bind tcp://0.0.0.0:7106: Address in use";
    for (const EventKind& kind : kEventKinds) {
        char text[2048] = {};
        DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(line)};
        const DWORD length =
            FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                           static_cast<DWORD>(kind.event), 0, text, sizeof(text),
                           reinterpret_cast<va_list*>(inserts));
        EXPECT_GT(length, 0u) << static_cast<uint32_t>(kind.event);
        EXPECT_NE(std::string(text).find(line), std::string::npos) << text;
    }
    FreeLibrary(module);
}

}  // namespace
}  // namespace qrx
