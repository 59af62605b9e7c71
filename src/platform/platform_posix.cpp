#include "platform/platform_posix.h"

#include <netdb.h>
#include <sys/socket.h>
#include <time.h>

#include "platform/path_mapping.h"

namespace qrx {

Platform& Platform::Default() {
    static PosixPlatform platform(posixPrefix());
    return platform;
}

PosixParts::PosixParts(const std::string& prefix)
    : posixFiles(prefix), posixDesktop(prefix + "/desktop"), posixProcess(prefix) {}

LocalTime PosixClock::localTime() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts;
    localtime_r(&now.tv_sec, &parts);
    LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return t;
}

int64_t PosixClock::monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void PosixClock::sleepMs(int ms) {
    timespec wait{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    // A signal (a stop request) ends the wait early; the caller looks again.
    nanosleep(&wait, nullptr);
}

std::string PosixNetwork::peerAddress(int64_t socket) {
    const int fd = static_cast<int>(socket);
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    char host[NI_MAXHOST];
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&address), size, host, sizeof(host), nullptr, 0,
                    NI_NUMERICHOST) != 0)
        return std::string();
    std::string text = host;
    // A local socket's peer is named by its credentials as well, as libzmq
    // names it.
    ucred peer{};
    socklen_t peerSize = sizeof(peer);
    if (address.ss_family == AF_UNIX &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0)
        text += ":" + std::to_string(peer.uid) + ":" + std::to_string(peer.gid) + ":" +
                std::to_string(peer.pid);
    return text;
}

}  // namespace qrx
