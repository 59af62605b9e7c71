#include "test_support.h"

#include <sys/stat.h>
#include <zmq.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "processor_peer.h"

namespace qrx::test {
namespace {

// What Windows says of a file another program holds.
constexpr const char kHeldFile[] =
    "The process cannot access the file because it is being used by another process";

}  // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/qrx-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeRegistry(const std::string& exportFile, const std::string& values) {
    writeFile(exportFile,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\r\n" +
                  values);
}

std::string deskRegistryValues(const std::string& folder) {
    return "\"ScanCmdPath\"=\"" + folder + "/scancmd.scc\"\r\n\"ScanResult\"=\"" + folder +
           "/c\"\r\n\"ScanResult_jw\"=\"" + folder + "/jw\"\r\n";
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool isEmptyDir(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_empty(path, error) && !error;
}

void makeDirs(const std::string& path) {
    std::filesystem::create_directories(path);
}

LocalTime makeTime(int year, int month, int day, int hour, int minute, int second, int ms) {
    LocalTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.millisecond = ms;
    return t;
}

bool FakeFiles::fileExists(const std::string& path) {
    if (failFileChecks) throw std::runtime_error("file system unavailable");
    return PosixFiles::fileExists(path);
}

int FakeFiles::appendToFile(const std::string& path, const char* data, size_t length) {
    calls.push_back("append");
    appends.emplace_back(data, length);
    return PosixFiles::appendToFile(path, data, length);
}

bool FakeFiles::roomForWrite() {
    if (writesBeforeFull == 0) return false;
    if (writesBeforeFull > 0) --writesBeforeFull;
    return true;
}

bool FakeFiles::keptOut(const std::string& path, Hold least, std::string* failure) {
    const auto hold = held.find(path);
    if (hold == held.end() || hold->second < least) return false;
    *failure = kHeldFile;
    return true;
}

bool FakeFiles::writeNewFile(const std::string& path, const char* data, size_t length,
                             std::string* failure) {
    calls.push_back("write");
    if (writesBeforeThrow >= 0 && writesBeforeThrow-- == 0) throw std::bad_alloc();
    if (keptOut(path, Hold::Maps, failure)) return false;
    if (roomForWrite()) return PosixFiles::writeNewFile(path, data, length, failure);
    PosixFiles::writeNewFile(path, data, length / 2, failure);
    *failure = "No space left on device";
    return false;
}

bool FakeFiles::moveFile(const std::string& from, const std::string& to, std::string* failure) {
    if (roomForWrite()) return PosixFiles::moveFile(from, to, failure);
    *failure = "No space left on device";
    return false;
}

bool FakeFiles::replaceFile(const std::string& from, const std::string& to, std::string* failure) {
    calls.push_back("replace");
    if (keptOut(from, Hold::Renames, failure) || keptOut(to, Hold::Renames, failure)) return false;
    if (replacesBeforeFail >= 0 && replacesBeforeFail-- == 0) {
        *failure = kHeldFile;  // a scanner holds it for a moment
        return false;
    }
    if (roomForWrite()) return PosixFiles::replaceFile(from, to, failure);
    *failure = "No space left on device";
    return false;
}

bool FakeFiles::canCutFile(const std::string& path, std::string* failure) {
    calls.push_back("check");
    return !keptOut(path, Hold::Cuts, failure) && PosixFiles::canCutFile(path, failure);
}

bool FakeFiles::copyFile(const std::string& from, const std::string& to, std::string* failure) {
    calls.push_back("copy");
    if (keptOut(to, Hold::Maps, failure)) return false;
    if (!copiesFail) return PosixFiles::copyFile(from, to, failure);
    PosixFiles::writeNewFile(to, "part", 4, failure);
    *failure = "No space left on device";
    return false;
}

int64_t FakeFiles::fileSize(const std::string& path) {
    calls.push_back("size");
    return PosixFiles::fileSize(path);
}

bool FakeFiles::deleteFile(const std::string& path, std::string* failure) {
    calls.push_back("delete");
    if ((!deletesHeld && held.count(path) == 0) || !PosixFiles::fileExists(path))
        return PosixFiles::deleteFile(path, failure);
    if (failure != nullptr) *failure = kHeldFile;
    return false;
}

namespace {

// The command file on the fake's disk, where an announcement ("2…") is a write.
struct FakeCommandFile : ExclusiveFile {
    FakeCommandFile(std::unique_ptr<ExclusiveFile> file, FakeFiles* disk)
        : real(std::move(file)), disk(disk) {}
    bool readByte(char* byte) override { return real->readByte(byte); }
    bool rewrite(const char* data, size_t length, std::string* failure) override {
        if (disk->failingCommandWrites.count(++disk->commandWrites) > 0) {
            real->rewrite(data, 0, failure);
            *failure = "The process cannot access the file";
            return false;
        }
        if (length < 2 || disk->roomForWrite()) return real->rewrite(data, length, failure);
        real->rewrite(data, length / 2, failure);
        *failure = "No space left on device";
        return false;
    }
    std::unique_ptr<ExclusiveFile> real;
    FakeFiles* disk;
};

}  // namespace

std::unique_ptr<ExclusiveFile> FakeFiles::openExclusive(const std::string& path) {
    ++exclusiveOpens;
    std::unique_ptr<ExclusiveFile> real = PosixFiles::openExclusive(path);
    if (!real) return real;
    return std::make_unique<FakeCommandFile>(std::move(real), this);
}

WindowHandle FakeDesktop::addWindow(const std::string& title, const std::string& className,
                                    WindowHandle parent, int id) {
    windows.push_back({className, title, id, parent, ""});
    return windows.size();
}

WindowHandle FakeDesktop::findWindow(const char* className, const std::string& title) {
    ++findWindowCalls;
    for (size_t i = 0; i < windows.size(); ++i) {
        const Window& w = windows[i];
        if (w.parent == 0 && w.title == title && (className == nullptr || w.className == className))
            return i + 1;
    }
    return 0;
}

void FakeDesktop::forEachDescendant(WindowHandle parent,
                                    const std::function<bool(WindowHandle)>& visit) {
    for (size_t i = 0; i < windows.size(); ++i) {
        // A window is a descendant when parent is on its chain of parents.
        for (WindowHandle up = windows[i].parent; up != 0; up = windows[up - 1].parent) {
            if (up != parent) continue;
            if (!visit(i + 1)) return;
            break;
        }
    }
}

bool FakeDesktop::setWindowText(WindowHandle window, const std::string& text, int timeoutMs) {
    textTimeouts.push_back(timeoutMs);
    if (textThrows) throw std::bad_alloc();
    if (hung) return false;
    textsSent.emplace_back(window, text);
    windows[window - 1].text = text;
    return true;
}

std::pair<std::string, std::string> curveKeyPair() {
    char publicKey[41] = {}, secretKey[41] = {};
    if (zmq_curve_keypair(publicKey, secretKey) != 0)
        throw std::runtime_error("no CURVE in this libzmq");
    return {publicKey, secretKey};
}

ZmqClient::ZmqClient(int type, const std::string& endpoint, const std::optional<CurveClient>& curve,
                     int sendHwm)
    : context_(zmq_ctx_new()), socket_(zmq_socket(context_, type)) {
    int linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof(linger));
    if (sendHwm > 0) zmq_setsockopt(socket_, ZMQ_SNDHWM, &sendHwm, sizeof(sendHwm));
    if (curve) {
        // Z85 texts: 41 bytes with the NUL.
        zmq_setsockopt(socket_, ZMQ_CURVE_SERVERKEY, curve->serverPublic.c_str(), 41);
        zmq_setsockopt(socket_, ZMQ_CURVE_PUBLICKEY, curve->clientPublic.c_str(), 41);
        zmq_setsockopt(socket_, ZMQ_CURVE_SECRETKEY, curve->clientSecret.c_str(), 41);
    }
    if (zmq_connect(socket_, endpoint.c_str()) != 0)
        throw std::runtime_error("cannot connect to " + endpoint);
}

ZmqClient::~ZmqClient() {
    zmq_close(socket_);
    zmq_ctx_term(context_);
}

bool ZmqClient::send(const std::vector<std::string>& frames, int flags) {
    // A message's later frames go wherever its first one went.
    for (size_t i = 0; i < frames.size(); ++i)
        if (zmq_send(socket_, frames[i].data(), frames[i].size(),
                     flags | (i + 1 < frames.size() ? ZMQ_SNDMORE : 0)) < 0)
            return false;
    return true;
}

std::optional<std::vector<std::string>> ZmqClient::receive(int timeoutMs) {
    zmq_pollitem_t item = {socket_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, timeoutMs) <= 0) return std::nullopt;
    std::vector<std::string> frames;
    int more = 1;
    while (more) {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        zmq_msg_recv(&msg, socket_, 0);
        frames.emplace_back(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
        more = zmq_msg_more(&msg);
        zmq_msg_close(&msg);
    }
    return frames;
}

std::string ZmqClient::request(const std::string& body, int timeoutMs) {
    send(body);
    auto reply = receive(timeoutMs);
    return reply && !reply->empty() ? reply->back() : std::string();
}

std::string submissionReply(const std::string& codeJson, int result, const std::string& msg) {
    return "{\n   \"code\" : " + codeJson + ",\n   \"msg\" : \"" + msg +
           "\",\n   \"result\" : " + std::to_string(result) + ",\n   \"type\" : 1\n}\n";
}

void admitConnections(RequestLoop& loop, CProcessor& processor) {
    RecordQueue& queue = CProcessorPeer(processor).cacheList();
    queue.push_back('F', "{}\n");
    loop.turn();
    queue.erase(std::prev(queue.end()));
}

}  // namespace qrx::test
