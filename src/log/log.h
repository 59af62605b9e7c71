// The diagnostic log: one line per call, bracketed header fields chosen by a
// flag word, then the message, appended to a fixed file that is opened and
// closed for every write. When a line would take the file past its bound, the
// file is rotated first (log_rotation.h). It keeps no state beyond its
// configuration record, with the rotation's memory of a failed try, and never
// fails its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "log/log_rotation.h"
#include "platform/platform.h"

namespace qrx {

constexpr uint32_t LOG_NAME = 0x00000001;       // "[name]"
constexpr uint32_t LOG_NAME_WIDE = 0x00000002;  // the name as a wide string
constexpr uint32_t LOG_TIME = 0x00000004;       // "[dd,hh:mm:ss.mmm]"
constexpr uint32_t LOG_FULL_PATH = 0x00000008;  // "[source path(line)]"
constexpr uint32_t LOG_FILE_NAME = 0x00000010;  // "[file name(line)]"
constexpr uint32_t LOG_PID_TID = 0x00000020;    // "[PID:p][TID:t]"
constexpr uint32_t LOG_NO_LEVEL = 0x00000040;   // leaves out "[Level:n]"
constexpr uint32_t LOG_CRLF = 0x00000080;       // CR LF after the message
constexpr uint32_t LOG_TO_FILE = 0x01000000;    // to path, else debugger output
constexpr uint32_t LOG_SERVER_FLAGS = 0x01000095;

// The source name that the processor's log lines carry, the record export's
// included.
constexpr const char kProcessorLogSource[] = "Processor.cpp";

constexpr int LOG_LEVEL_ERROR = 3;
constexpr int LOG_LEVEL_INFO = 6;

// Messages up to this many characters go out with their header in one write.
constexpr size_t kLogOnePieceLimit = 4095;
// The room the header fields are formatted into.
constexpr size_t kLogHeaderArea = 4096;

struct CLogConfig {
    uint32_t flags;
    uint32_t level;
    std::string name;
    std::string path;
    int64_t maxSize = 0;  // bytes; 0 or less: no bound
    // Whether the last rotation failed, and when: the log's only state.
    mutable LogRotation rotation{};
};

// The process-wide record, made on first use with the server's fixed values.
const CLogConfig& logConfig();
// Sets the process-wide record's bound ("MaxLogSize"), read at start.
void setLogMaxSize(int64_t bytes);

// The log call: writes message at level when the configured level admits it.
// message ends at its first NUL.
void logMessage(Platform& platform, int level, const char* source, int line, const char* message);
// The same for a message of at most length bytes that need not be
// terminated: it ends at its first NUL or after length bytes.
void logMessage(Platform& platform, int level, const char* source, int line, const char* message,
                size_t length);

void writeLog(Platform& platform, const CLogConfig& config, int level, const char* source, int line,
              const char* message);
void writeLog(Platform& platform, const CLogConfig& config, int level, const char* source, int line,
              const char* message, size_t length);

// Writes the header fields into buffer (which has room for kLogHeaderArea
// bytes) and returns their length.
size_t formatLogHeader(Platform& platform, char* buffer, const CLogConfig& config, int level,
                       const char* source, int line);

// Opens path, appends the bytes, closes it. 0, or the failure code of the open.
int appendToLogFile(Platform& platform, const std::string& path, const char* bytes, size_t count);

// Before a line of lineLength bytes goes to the file: when the file holds
// something and the line would take it past config.maxSize, the file is
// rotated to config.path + ".1" (LogRotation::makeRoom). Returns the line the
// log writes about that before the line, if any.
LogNotice makeRoomInLog(Platform& platform, const CLogConfig& config, size_t lineLength);

}  // namespace qrx
