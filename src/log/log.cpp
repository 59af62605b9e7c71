#include "log/log.h"

#include <cstdio>
#include <cstring>

namespace qrx {
namespace {

// Appends a formatted field, cut at the end of the header area.
template <typename... Args>
void appendField(char* buffer, size_t* length, const char* format, Args... args) {
    if (*length + 1 >= kLogHeaderArea) return;
    size_t room = kLogHeaderArea - *length;
    int written = std::snprintf(buffer + *length, room, format, args...);
    if (written <= 0) return;
    *length += static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room - 1;
}

void sendOut(Platform& platform, const CLogConfig& config, const char* text, size_t length) {
    if (config.flags & LOG_TO_FILE) {
        appendToLogFile(platform, config.path, text, length);
    } else {
        std::string terminated(text, length);
        platform.process().debugOutput(terminated.c_str());
    }
}

const char* lastComponent(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') name = p + 1;
    }
    return name;
}

// A line's header, message and line end.
constexpr size_t kLineBufferSize = kLogHeaderArea + kLogOnePieceLimit + 3;

size_t lineLength(const CLogConfig& config, size_t headerLength, size_t messageLength) {
    return headerLength + messageLength + ((config.flags & LOG_CRLF) ? 2 : 0);
}

// Sends out a line whose header is in buffer: a message of up to
// kLogOnePieceLimit bytes goes after it, with the line end, in one write; a
// longer one is not cut: header, message and line end go out apart.
void sendLine(Platform& platform, const CLogConfig& config, char* buffer, size_t headerLength,
              const char* message, size_t messageLength) {
    const bool crlf = (config.flags & LOG_CRLF) != 0;
    if (messageLength > kLogOnePieceLimit) {
        sendOut(platform, config, buffer, headerLength);
        sendOut(platform, config, message, messageLength);
        if (crlf) sendOut(platform, config, "\r\n", 2);
        return;
    }
    size_t length = headerLength;
    std::memcpy(buffer + length, message, messageLength);
    length += messageLength;
    if (crlf) {
        buffer[length++] = '\r';
        buffer[length++] = '\n';
    }
    sendOut(platform, config, buffer, length);
}

// The rotation's notice, written before the line it made room for. It is a
// line of the log like any other: it makes room for itself too, and what
// that says goes before it.
void sendNotice(Platform& platform, const CLogConfig& config, const LogNotice& notice) {
    if (notice.text.empty()) return;
    const size_t textLength = std::strlen(notice.text.c_str());
    char buffer[kLineBufferSize];
    const size_t headerLength =
        formatLogHeader(platform, buffer, config, notice.level, __FILE__, __LINE__);
    sendNotice(platform, config,
               makeRoomInLog(platform, config, lineLength(config, headerLength, textLength)));
    sendLine(platform, config, buffer, headerLength, notice.text.c_str(), textLength);
}

CLogConfig& processLogConfig() {
    static CLogConfig config{LOG_SERVER_FLAGS, 6, "QRXScanServer", "c:\\qrx\\sock.log", 0};
    return config;
}

}  // namespace

const CLogConfig& logConfig() {
    return processLogConfig();
}

void setLogMaxSize(int64_t bytes) {
    processLogConfig().maxSize = bytes;
}

void logMessage(Platform& platform, int level, const char* source, int line, const char* message) {
    logMessage(platform, level, source, line, message, std::strlen(message));
}

void logMessage(Platform& platform, int level, const char* source, int line, const char* message,
                size_t length) {
    const CLogConfig& config = logConfig();
    if (static_cast<uint32_t>(level) <= config.level)
        writeLog(platform, config, level, source, line, message, length);
}

size_t formatLogHeader(Platform& platform, char* buffer, const CLogConfig& config, int level,
                       const char* source, int line) {
    size_t length = 0;
    buffer[0] = '\0';
    // The configured name is plain ASCII, so its wide form prints the same.
    if (config.flags & LOG_NAME) appendField(buffer, &length, "[%s]", config.name.c_str());
    if (config.flags & LOG_NAME_WIDE) appendField(buffer, &length, "[%s]", config.name.c_str());
    if (config.flags & LOG_TIME) {
        LocalTime t = platform.clock().localTime();
        appendField(buffer, &length, "[%02d,%02d:%02d:%02d.%03d]", t.day, t.hour, t.minute,
                    t.second, t.millisecond);
    }
    if (!(config.flags & LOG_NO_LEVEL)) appendField(buffer, &length, "[Level:%d]", level);
    if (source != nullptr) {
        if (config.flags & LOG_FULL_PATH)
            appendField(buffer, &length, "[%s(%d)]", source, line);
        else if (config.flags & LOG_FILE_NAME)
            appendField(buffer, &length, "[%s(%d)]", lastComponent(source), line);
    }
    if (config.flags & LOG_PID_TID)
        appendField(buffer, &length, "[PID:%d][TID:%d]",
                    static_cast<int>(platform.process().processId()),
                    static_cast<int>(platform.process().threadId()));
    return length;
}

void writeLog(Platform& platform, const CLogConfig& config, int level, const char* source, int line,
              const char* message) {
    writeLog(platform, config, level, source, line, message, std::strlen(message));
}

void writeLog(Platform& platform, const CLogConfig& config, int level, const char* source, int line,
              const char* message, size_t size) {
    const void* nul = std::memchr(message, '\0', size);
    const size_t messageLength =
        nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - message) : size;
    char buffer[kLineBufferSize];
    const size_t headerLength = formatLogHeader(platform, buffer, config, level, source, line);
    if (config.flags & LOG_TO_FILE)
        sendNotice(
            platform, config,
            makeRoomInLog(platform, config, lineLength(config, headerLength, messageLength)));
    sendLine(platform, config, buffer, headerLength, message, messageLength);
}

int appendToLogFile(Platform& platform, const std::string& path, const char* bytes, size_t count) {
    return platform.files().appendToFile(path, bytes, count);
}

LogNotice makeRoomInLog(Platform& platform, const CLogConfig& config, size_t lineLength) {
    return config.rotation.makeRoom(platform, config.path, config.maxSize, lineLength);
}

}  // namespace qrx
