#include "log/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "test_support.h"

namespace qrx {
namespace {

using test::readFile;

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake.clock = test::makeTime(2026, 12, 6, 14, 3, 7, 45);
        test::makeDirs(dir / "drive_c/qrx");
    }
    std::string logText() { return readFile(dir / "drive_c/qrx/sock.log"); }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
};

TEST_F(LogTest, LineHasNameTimeLevelAndFileThenCrLf) {
    logMessage(fake, 6, "C:\\src\\Server\\Processor.cpp", 88, "hello");
    logMessage(fake, 3, "Server.cpp", 7, "");
    EXPECT_EQ(logText(),
              "[QRXScanServer][06,14:03:07.045][Level:6][Processor.cpp(88)]hello\r\n"
              "[QRXScanServer][06,14:03:07.045][Level:3][Server.cpp(7)]\r\n");
    EXPECT_EQ(fake.appends.size(), 2u);
}

TEST_F(LogTest, MonthAndYearAreNotWritten) {
    fake.clock = test::makeTime(2027, 1, 6, 0, 0, 0, 0);
    logMessage(fake, 6, "Server.cpp", 1, "x");
    EXPECT_EQ(logText(), "[QRXScanServer][06,00:00:00.000][Level:6][Server.cpp(1)]x\r\n");
}

TEST_F(LogTest, MessagesUpTo4095CharactersGoOutInOneWrite) {
    std::string message(4095, 'm');
    logMessage(fake, 6, "Processor.cpp", 1, message.c_str());
    ASSERT_EQ(fake.appends.size(), 1u);
    EXPECT_EQ(fake.appends[0],
              "[QRXScanServer][06,14:03:07.045][Level:6][Processor.cpp(1)]" + message + "\r\n");
}

TEST_F(LogTest, LongerMessagesGoOutInThreeWritesWithTheSameBytes) {
    std::string message(4096, 'm');
    logMessage(fake, 6, "Processor.cpp", 1, message.c_str());
    const std::string header = "[QRXScanServer][06,14:03:07.045][Level:6][Processor.cpp(1)]";
    ASSERT_EQ(fake.appends.size(), 3u);
    EXPECT_EQ(fake.appends[0], header);
    EXPECT_EQ(fake.appends[1], message);
    EXPECT_EQ(fake.appends[2], "\r\n");
    EXPECT_EQ(logText(), header + message + "\r\n");
}

TEST_F(LogTest, AMissingFolderLosesTheLineQuietly) {
    test::TempDir empty;
    PosixPlatform bare{empty.path()};
    logMessage(bare, 6, "Server.cpp", 1, "Server Start");
    EXPECT_FALSE(test::exists(empty / "drive_c"));
}

TEST_F(LogTest, OtherFlagsShapeTheHeader) {
    CLogConfig config{LOG_TIME | LOG_FULL_PATH | LOG_FILE_NAME | LOG_NO_LEVEL | LOG_PID_TID, 6, "N",
                      "unused"};
    char buffer[kLogHeaderArea];
    size_t length = formatLogHeader(fake, buffer, config, 6, "a/b/c.cpp", 3);
    std::string expected =
        "[06,14:03:07.045][a/b/c.cpp(3)][PID:" + std::to_string(fake.processId()) +
        "][TID:" + std::to_string(fake.threadId()) + "]";
    EXPECT_EQ(std::string(buffer, length), expected);
    // No source path: no location field.
    config.flags = LOG_NAME | LOG_FILE_NAME;
    length = formatLogHeader(fake, buffer, config, 3, nullptr, 3);
    EXPECT_EQ(std::string(buffer, length), "[N][Level:3]");
}

TEST_F(LogTest, AHeaderIsCutAtTheEndOfItsArea) {
    std::string source(5000, 's');
    CLogConfig config{LOG_NAME | LOG_FULL_PATH, 6, "N", "unused"};
    char buffer[kLogHeaderArea];
    size_t length = formatLogHeader(fake, buffer, config, 6, source.c_str(), 1);
    EXPECT_EQ(length, kLogHeaderArea - 1);
    EXPECT_EQ(std::string(buffer, 16), "[N][Level:6][sss");
}

// The header as printf formats it, field by field, each cut at the end of
// the area: the reference for the header the log puts together by hand.
std::string headerByPrintf(const CLogConfig& config, const LocalTime& t, int level,
                           const char* source, int line, uint32_t pid, uint32_t tid) {
    char buffer[kLogHeaderArea];
    size_t length = 0;
    auto field = [&](const char* format, auto... args) {
        if (length + 1 >= kLogHeaderArea) return;
        const size_t room = kLogHeaderArea - length;
        const int written = std::snprintf(buffer + length, room, format, args...);
        if (written <= 0) return;
        length += static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room - 1;
    };
    if (config.flags & LOG_NAME) field("[%s]", config.name.c_str());
    if (config.flags & LOG_NAME_WIDE) field("[%s]", config.name.c_str());
    if (config.flags & LOG_TIME)
        field("[%02d,%02d:%02d:%02d.%03d]", t.day, t.hour, t.minute, t.second, t.millisecond);
    if (!(config.flags & LOG_NO_LEVEL)) field("[Level:%d]", level);
    if (source != nullptr) {
        std::string name = source;
        if (!(config.flags & LOG_FULL_PATH)) name = name.substr(name.find_last_of("/\\") + 1);
        if (config.flags & (LOG_FULL_PATH | LOG_FILE_NAME)) field("[%s(%d)]", name.c_str(), line);
    }
    if (config.flags & LOG_PID_TID)
        field("[PID:%d][TID:%d]", static_cast<int>(pid), static_cast<int>(tid));
    return std::string(buffer, length);
}

// Numbers of every width and sign, names with a zero byte, and sources long
// enough that the area ends inside each kind of field: the header is what
// printf would make of it, and ends in a zero byte.
TEST_F(LogTest, AHeaderHasTheBytesPrintfWouldGiveIt) {
    struct Ids : test::FakePlatform {
        using test::FakePlatform::FakePlatform;
        uint32_t processId() override { return pid; }
        uint32_t threadId() override { return tid; }
        uint32_t pid = 0, tid = 0;
    } ids{posix};
    const int numbers[] = {0,
                           1,
                           7,
                           9,
                           10,
                           59,
                           99,
                           100,
                           999,
                           1000,
                           12345,
                           -1,
                           -7,
                           -10,
                           -99,
                           -100,
                           -1000,
                           2147483647,
                           -2147483647 - 1};
    const uint32_t idValues[] = {0u, 1u, 4242u, 2147483647u, 2147483648u, 4294967295u};
    std::mt19937 random(20261207);
    auto pick = [&](const auto& values) {
        return values[random() % (sizeof values / sizeof values[0])];
    };
    int differing = 0;
    for (int i = 0; i < 20000; ++i) {
        CLogConfig config{static_cast<uint32_t>(random() & 0xFF), 6,
                          random() % 4 == 0 ? std::string("Q\0R", 3) : "QRXScanServer", "unused"};
        LocalTime t;
        t.day = pick(numbers);
        t.hour = pick(numbers);
        t.minute = pick(numbers);
        t.second = pick(numbers);
        t.millisecond = pick(numbers);
        ids.clock = t;
        ids.pid = pick(idValues);
        ids.tid = pick(idValues);
        const int level = pick(numbers);
        const int line = pick(numbers);
        // From no source to one that ends the area in the fields after it.
        std::string source;
        const bool hasSource = random() % 8 != 0;
        if (hasSource)
            source = "C:\\src/Server\\" + std::string(4000 + random() % 120, 'p') + ".cpp";
        if (random() % 3 == 0) source = "a/b\\c.cpp";
        const char* sourceText = hasSource ? source.c_str() : nullptr;
        char buffer[kLogHeaderArea];
        std::memset(buffer, 'x', sizeof buffer);
        const size_t length = formatLogHeader(ids, buffer, config, level, sourceText, line);
        const std::string expected =
            headerByPrintf(config, t, level, sourceText, line, ids.pid, ids.tid);
        if ((std::string(buffer, length) != expected || buffer[length] != '\0') && ++differing <= 3)
            ADD_FAILURE() << "flags " << config.flags << ", level " << level << ", line " << line
                          << ":\n"
                          << std::string(buffer, length).substr(0, 200) << "\nexpected:\n"
                          << expected.substr(0, 200);
    }
    EXPECT_EQ(differing, 0);
}

TEST_F(LogTest, ALineThatWouldPassTheBoundMovesTheLogAside) {
    CLogConfig config{LOG_CRLF | LOG_NO_LEVEL | LOG_TO_FILE, 6, "N", "c:\\qrx\\sock.log", 100};
    std::string all;
    for (int i = 0; i < 12; ++i) {
        const std::string message = "line " + std::to_string(i) + std::string(20, '.');
        writeLog(fake, config, 6, nullptr, 0, message.c_str());
        all += message + "\r\n";
        const std::string older = readFile(dir / "drive_c/qrx/sock.log.1");
        EXPECT_LE(logText().size(), 100u);
        EXPECT_LE(older.size(), 100u);
        // Nothing is lost but what the second move replaced.
        EXPECT_EQ(all.substr(all.size() - older.size() - logText().size()), older + logText());
    }
    fake.writesBeforeFull = 0;  // the move fails: another program holds a file
    const std::string kept(90, 'k');
    writeLog(fake, config, 6, nullptr, 0, kept.c_str());
    EXPECT_GT(logText().size(), 100u);
    EXPECT_EQ(logText().substr(logText().size() - 92), kept + "\r\n");
}

TEST_F(LogTest, WithoutTheFileFlagLinesGoToTheDebuggerOutput) {
    CLogConfig config{LOG_NAME | LOG_CRLF, 6, "N", "c:\\qrx\\sock.log"};
    testing::internal::CaptureStderr();
    writeLog(fake, config, 6, nullptr, 0, "to the debugger");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[N][Level:6]to the debugger\r\n");
    EXPECT_TRUE(fake.appends.empty());
}

}  // namespace
}  // namespace qrx
