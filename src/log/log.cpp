#include "log/log.h"

#include <cstring>

namespace qrx {
namespace {

// The header as it is put together, cut where the header area ends: the
// area keeps its last byte for the terminating zero, as snprintf into the
// room left would. Fields are copied and numbers written digit by digit:
// this runs for every line, and a formatting call per field cost more than
// the rest of the line.
class HeaderText {
  public:
    explicit HeaderText(char* buffer) : buffer_(buffer) {}

    void add(const char* text, size_t size) {
        const size_t room = kLogHeaderArea - 1 - length_;
        if (size > room) size = room;
        std::memcpy(buffer_ + length_, text, size);
        length_ += size;
    }
    void add(const char* text) { add(text, std::strlen(text)); }

    // A number as printf's "%0<width>d" writes it: the sign counts towards
    // the width, and zeros are put between the sign and the digits.
    void addNumber(int value, size_t width = 0) {
        char digits[24];
        char* const end = digits + sizeof digits;
        char* at = end;
        const size_t sign = value < 0 ? 1 : 0;
        unsigned magnitude =
            value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
        do {
            *--at = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        while (static_cast<size_t>(end - at) + sign < width) *--at = '0';
        if (sign != 0) *--at = '-';
        add(at, static_cast<size_t>(end - at));
    }

    size_t finish() {
        buffer_[length_] = '\0';
        return length_;
    }

  private:
    char* buffer_;
    size_t length_ = 0;
};

void sendOut(Platform& platform, const CLogConfig& config, const char* text, size_t length) {
    if (config.flags & LOG_TO_FILE) {
        appendToLogFile(platform, config.path, text, length);
    } else {
        std::string terminated(text, length);
        platform.debugOutput(terminated.c_str());
    }
}

const char* lastComponent(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') name = p + 1;
    }
    return name;
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
    HeaderText header(buffer);
    // The configured name is plain ASCII, so its wide form prints the same;
    // like "%s", it ends at its first zero byte.
    if (config.flags & LOG_NAME) {
        header.add("[");
        header.add(config.name.c_str());
        header.add("]");
    }
    if (config.flags & LOG_NAME_WIDE) {
        header.add("[");
        header.add(config.name.c_str());
        header.add("]");
    }
    if (config.flags & LOG_TIME) {
        LocalTime t = platform.localTime();
        header.add("[");
        header.addNumber(t.day, 2);
        header.add(",");
        header.addNumber(t.hour, 2);
        header.add(":");
        header.addNumber(t.minute, 2);
        header.add(":");
        header.addNumber(t.second, 2);
        header.add(".");
        header.addNumber(t.millisecond, 3);
        header.add("]");
    }
    if (!(config.flags & LOG_NO_LEVEL)) {
        header.add("[Level:");
        header.addNumber(level);
        header.add("]");
    }
    if (source != nullptr && (config.flags & (LOG_FULL_PATH | LOG_FILE_NAME))) {
        header.add("[");
        header.add(config.flags & LOG_FULL_PATH ? source : lastComponent(source));
        header.add("(");
        header.addNumber(line);
        header.add(")]");
    }
    if (config.flags & LOG_PID_TID) {
        header.add("[PID:");
        header.addNumber(static_cast<int>(platform.processId()));
        header.add("][TID:");
        header.addNumber(static_cast<int>(platform.threadId()));
        header.add("]");
    }
    return header.finish();
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
    char buffer[kLogHeaderArea + kLogOnePieceLimit + 3];
    size_t length = formatLogHeader(platform, buffer, config, level, source, line);
    const bool crlf = (config.flags & LOG_CRLF) != 0;
    if (config.flags & LOG_TO_FILE)
        makeRoomInLog(platform, config, length + messageLength + (crlf ? 2 : 0));
    if (messageLength <= kLogOnePieceLimit) {
        std::memcpy(buffer + length, message, messageLength);
        length += messageLength;
        if (crlf) {
            buffer[length++] = '\r';
            buffer[length++] = '\n';
        }
        sendOut(platform, config, buffer, length);
        return;
    }
    // A long message is not cut: header, message and line end go out apart.
    sendOut(platform, config, buffer, length);
    sendOut(platform, config, message, messageLength);
    if (crlf) sendOut(platform, config, "\r\n", 2);
}

int appendToLogFile(Platform& platform, const std::string& path, const char* bytes, size_t count) {
    return platform.appendToFile(path, bytes, count);
}

void makeRoomInLog(Platform& platform, const CLogConfig& config, size_t lineLength) {
    if (config.maxSize <= 0) return;
    const int64_t size = platform.fileSize(config.path);
    if (size <= 0 ||
        static_cast<uint64_t>(size) + lineLength <= static_cast<uint64_t>(config.maxSize))
        return;
    std::string failure;
    platform.moveFile(config.path, config.path + ".1", &failure);
}

}  // namespace qrx
