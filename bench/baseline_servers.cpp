#include "baseline_servers.h"

#include <fcntl.h>
#include <json/reader.h>
#include <unistd.h>
#include <zmq.h>

#include <list>

#include "jsontext/styled_json.h"

namespace qrx::bench {
namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void parse(const char* data, size_t size, Json::Value* root) {
    Json::Reader reader;
    reader.parse(data, data + size, *root);
}
#pragma GCC diagnostic pop

void appendToFile(const std::string& path, const char* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return;
    if (write(fd, data, size) < 0) {
    }
    close(fd);
}

// One log line as the server writes it: a header of about the server's
// length, then the message, then CR LF; one write for a short message, three
// for a long one.
void logLine(const std::string& path, const char* message, size_t size) {
    static const char header[] = "[QRXScanServer][07,12:00:00.000][Level:6][Processor.cpp(140)]";
    const size_t headerSize = sizeof(header) - 1;
    if (size < 4096) {
        std::string line(header, headerSize);
        line.append(message, size).append("\r\n");
        appendToFile(path, line.data(), line.size());
        return;
    }
    appendToFile(path, header, headerSize);
    appendToFile(path, message, size);
    appendToFile(path, "\r\n", 2);
}

// The reply of an accepted submission as the scan server writes it.
std::string acceptedReply(const Json::Value& request) {
    const Json::Value& code = request.isObject() ? request["code"] : Json::Value::nullSingleton();
    return "{\n   \"code\" : \"" + (code.isString() ? code.asString() : std::string()) +
           "\",\n   \"msg\" : \"\",\n   \"result\" : 0,\n   \"type\" : 1\n}\n";
}

// The loop floor's loop; with keep set, the keep floor's.
[[noreturn]] void serveFloor(const std::string& endpoint, const std::string& routerEndpoint,
                             const std::string& logPath, bool keep) {
    void* context = zmq_ctx_new();
    void* reply = zmq_socket(context, ZMQ_REP);
    void* router = zmq_socket(context, ZMQ_ROUTER);
    zmq_bind(reply, endpoint.c_str());
    zmq_bind(router, routerEndpoint.c_str());
    std::list<std::string> kept;
    for (;;) {
        zmq_pollitem_t items[] = {{reply, 0, ZMQ_POLLIN, 0}, {router, 0, ZMQ_POLLIN, 0}};
        if (zmq_poll(items, 2, 3000) <= 0 || !(items[0].revents & ZMQ_POLLIN)) continue;
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, reply, 0) < 0) _exit(1);
        const char* data = static_cast<const char*>(zmq_msg_data(&msg));
        const size_t size = zmq_msg_size(&msg);
        logLine(logPath, data, size);
        if (keep) {
            Json::Value root;
            qrx::parseJson(std::string_view(data, size), &root);
            kept.emplace_back(data, size);
            const std::string answer = acceptedReply(root);
            zmq_send(reply, answer.data(), answer.size(), 0);
            logLine(logPath, answer.data(), answer.size());
        } else {
            zmq_send(reply, data, size, 0);
            logLine(logPath, data, size);
        }
        zmq_msg_close(&msg);
    }
}

}  // namespace

pid_t startEcho(const std::string& endpoint, bool parseEach) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ZMQ_REP);
    zmq_bind(socket, endpoint.c_str());
    for (;;) {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, socket, 0) < 0) _exit(1);
        if (parseEach) {
            Json::Value root;
            parse(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg), &root);
        }
        zmq_msg_send(&msg, socket, 0);
    }
}

pid_t startLoopFloor(const std::string& endpoint, const std::string& routerEndpoint,
                     const std::string& logPath) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    serveFloor(endpoint, routerEndpoint, logPath, false);
}

pid_t startKeepFloor(const std::string& endpoint, const std::string& routerEndpoint,
                     const std::string& logPath) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    serveFloor(endpoint, routerEndpoint, logPath, true);
}

}  // namespace qrx::bench
