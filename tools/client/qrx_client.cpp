// qrx-client: asks the scan server for a code and submits card records, for
// installers checking a desk and for client authors. See --help.
#include <json/value.h>
#include <zmq.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "common/base64_encode.h"
#include "common/tool_main.h"
#include "jsontext/styled_json.h"

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitNoServer = 2;

const char kUsage[] =
    "usage: qrx-client code   [options]\n"
    "       qrx-client submit [options] [--code CODE] [--card FILE.json] [--set NAME=VALUE]...\n"
    "                         [--card-image FILE.jpg] [--head-image FILE.jpg]\n"
    "       qrx-client send   [options] REQUEST-TEXT\n"
    "\n"
    "  code     asks for a one-time code and prints the reply\n"
    "  submit   asks for a code (unless --code is given), then submits a card\n"
    "           (type 1): the members of FILE.json, each --set as a text member,\n"
    "           and the two images base64-encoded into cardiamgedata and\n"
    "           headiamgedata; prints both replies\n"
    "  send     sends REQUEST-TEXT as it is and prints the reply\n"
    "\n"
    "options:\n"
    "  --endpoint E   server endpoint (default tcp://127.0.0.1:7106)\n"
    "  --dealer       talk as a DEALER peer (for the router endpoint, :7107)\n"
    "  --timeout MS   how long to wait for each reply (default 5000)\n"
    "\n"
    "exit status: 0 when a code was issued (code), the card was accepted with\n"
    "\"result\" 0 (submit) or a reply came (send); 1 when the server refused;\n"
    "2 when no server answered in time; 3 for bad options or files.\n";

struct Options {
    std::string command;
    std::string endpoint = "tcp://127.0.0.1:7106";
    bool dealer = false;
    int timeoutMs = 5000;
    std::string code;
    std::string cardFile;
    std::vector<std::pair<std::string, std::string>> sets;
    std::string cardImage;
    std::string headImage;
    std::string text;
};

std::optional<std::string> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Options parseOptions(int argc, char** argv) {
    Options options;
    std::vector<std::string> args(argv + 1, argv + argc);
    auto value = [&](size_t& i) -> std::string {
        if (i + 1 >= args.size()) throw qrx::UsageError{args[i] + " needs a value"};
        return args[++i];
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") throw qrx::UsageError{""};
        if (arg == "--endpoint") {
            options.endpoint = value(i);
        } else if (arg == "--dealer") {
            options.dealer = true;
        } else if (arg == "--timeout") {
            options.timeoutMs = std::atoi(value(i).c_str());
        } else if (arg == "--code") {
            options.code = value(i);
        } else if (arg == "--card") {
            options.cardFile = value(i);
        } else if (arg == "--set") {
            std::string pair = value(i);
            size_t equals = pair.find('=');
            if (equals == std::string::npos) throw qrx::UsageError{"--set wants NAME=VALUE"};
            options.sets.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
        } else if (arg == "--card-image") {
            options.cardImage = value(i);
        } else if (arg == "--head-image") {
            options.headImage = value(i);
        } else if (!arg.empty() && arg[0] == '-') {
            throw qrx::UsageError{"unknown option " + arg};
        } else if (options.command.empty()) {
            options.command = arg;
        } else if (options.command == "send" && options.text.empty()) {
            options.text = arg;
        } else {
            throw qrx::UsageError{"unexpected argument " + arg};
        }
    }
    if (options.command != "code" && options.command != "submit" && options.command != "send")
        throw qrx::UsageError{options.command.empty() ? "no command given"
                                                      : "unknown command " + options.command};
    if (options.timeoutMs <= 0) throw qrx::UsageError{"--timeout wants a positive number"};
    return options;
}

// One socket to the server; every request waits at most timeoutMs.
class Connection {
  public:
    explicit Connection(const Options& options)
        : context_(zmq_ctx_new()),
          socket_(zmq_socket(context_, options.dealer ? ZMQ_DEALER : ZMQ_REQ)),
          timeoutMs_(options.timeoutMs),
          endpoint_(options.endpoint) {
        int linger = 0;
        zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof(linger));
        if (zmq_connect(socket_, endpoint_.c_str()) != 0)
            throw qrx::UsageError{"cannot use endpoint " + endpoint_ + ": " +
                                  zmq_strerror(zmq_errno())};
    }
    ~Connection() {
        zmq_close(socket_);
        zmq_ctx_term(context_);
    }

    // The reply frame, or nothing when no reply came in time.
    std::optional<std::string> request(const std::string& body) {
        zmq_send(socket_, body.data(), body.size(), 0);
        zmq_pollitem_t item = {socket_, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, timeoutMs_) <= 0) return std::nullopt;
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        zmq_msg_recv(&msg, socket_, 0);
        std::string reply(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
        zmq_msg_close(&msg);
        return reply;
    }
    const std::string& endpoint() const { return endpoint_; }
    int timeoutMs() const { return timeoutMs_; }

  private:
    void* context_;
    void* socket_;
    int timeoutMs_;
    std::string endpoint_;
};

struct NoServer {};

// Sends body, prints the reply as it came and returns it parsed.
Json::Value exchange(Connection& connection, const std::string& body) {
    std::optional<std::string> reply = connection.request(body);
    if (!reply) throw NoServer{};
    std::fwrite(reply->data(), 1, reply->size(), stdout);
    Json::Value parsed;
    qrx::parseJson(*reply, &parsed);
    return parsed;
}

std::string askForCode(Connection& connection) {
    Json::Value reply = exchange(connection, "{\"type\":0}");
    return reply.isObject() && reply["code"].isString() ? reply["code"].asString() : std::string();
}

Json::Value buildCard(const Options& options) {
    Json::Value card(Json::objectValue);
    if (!options.cardFile.empty()) {
        std::optional<std::string> text = readBytes(options.cardFile);
        if (!text) throw qrx::UsageError{"cannot read " + options.cardFile};
        if (!qrx::parseJson(*text, &card) || !card.isObject())
            throw qrx::UsageError{options.cardFile + " does not hold a JSON object"};
    }
    for (const auto& [name, value] : options.sets) card[name] = value;
    for (const auto& [path, member] : {std::pair{options.cardImage, "cardiamgedata"},
                                       std::pair{options.headImage, "headiamgedata"}}) {
        if (path.empty()) continue;
        std::optional<std::string> bytes = readBytes(path);
        if (!bytes) throw qrx::UsageError{"cannot read " + path};
        card[member] = qrx::base64Encode(*bytes);
    }
    card["type"] = 1;
    return card;
}

int submit(Connection& connection, const Options& options) {
    Json::Value card = buildCard(options);  // bad files fail before anything is sent
    std::string code = options.code.empty() ? askForCode(connection) : options.code;
    if (code.empty()) {
        std::cerr << "qrx-client: the server issued no code\n";
        return kExitRefused;
    }
    card["code"] = code;
    Json::Value reply = exchange(connection, qrx::styledText(card));
    bool accepted = reply.isObject() && reply["result"].isInt() && reply["result"].asInt() == 0;
    return accepted ? 0 : kExitRefused;
}

int run(const Options& options) {
    Connection connection(options);
    try {
        if (options.command == "code") return askForCode(connection).empty() ? kExitRefused : 0;
        if (options.command == "send") {
            exchange(connection, options.text);
            return 0;
        }
        return submit(connection, options);
    } catch (const NoServer&) {
        std::cerr << "qrx-client: no reply from " << connection.endpoint() << " within "
                  << connection.timeoutMs() << " ms; is the scan server running?\n";
        return kExitNoServer;
    }
}

}  // namespace

int main(int argc, char** argv) {
    return qrx::toolMain("qrx-client", kUsage, [&] { return run(parseOptions(argc, argv)); });
}
