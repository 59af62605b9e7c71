// qrx-client: asks the scan server for a code and submits card records, for
// installers checking a desk and for client authors. See --help.
#include <fcntl.h>
#include <json/value.h>
#include <sys/stat.h>
#include <zmq.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "common/base64_encode.h"
#include "common/gbk_text.h"
#include "common/tool_main.h"
#include "jsontext/styled_json.h"
#include "settings/curve_keys.h"

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitNoServer = 2;

const char kUsage[] =
    "usage: qrx-client code   [options]\n"
    "       qrx-client submit [options] [--code CODE] [--card FILE.json] [--set NAME=VALUE]...\n"
    "                         [--card-image FILE.jpg] [--head-image FILE.jpg]\n"
    "       qrx-client send   [options] REQUEST-TEXT\n"
    "       qrx-client keygen DIR\n"
    "\n"
    "  code     asks for a one-time code and prints the reply\n"
    "  submit   asks for a code (unless --code is given), then submits a card\n"
    "           (type 1): the members of FILE.json, each --set as a text member,\n"
    "           and the two images base64-encoded into cardiamgedata and\n"
    "           headiamgedata; prints both replies\n"
    "  send     sends REQUEST-TEXT as it is and prints the reply\n"
    "  keygen   makes a CURVE key pair: DIR/secret.key (yours alone) and\n"
    "           DIR/public.key (for the server's operator); prints the public key\n"
    "\n"
    "The card file is read as UTF-8, and its texts and the --set values are\n"
    "sent as GBK, which the desk's records hold.\n"
    "\n"
    "options:\n"
    "  --endpoint E   server endpoint (default tcp://127.0.0.1:7106, or\n"
    "                 tcp://127.0.0.1:7107 with --dealer)\n"
    "  --dealer       talk as a DEALER peer, to the router endpoint\n"
    "  --timeout MS   how long to wait for each reply (default 5000)\n"
    "  --raw          send the card's texts as they are (a card file in GBK)\n"
    "  --server-key KEY        talk CURVE to a server whose public key (Z85) is KEY\n"
    "  --client-key-file FILE  the secret key to talk CURVE with (as keygen writes\n"
    "                          it); without it a throwaway key pair is made, which\n"
    "                          only a server without a client list admits\n"
    "\n"
    "exit status: 0 when a code was issued (code), the card was accepted with\n"
    "\"result\" 0 (submit), a reply came (send) or the keys were written\n"
    "(keygen); 1 when the server refused;\n"
    "2 when no server answered in time; 3 for bad options or files.\n";

struct Options {
    std::string command;
    std::string endpoint;  // empty: the default of the socket kind
    bool dealer = false;
    bool raw = false;
    int timeoutMs = 5000;
    std::string code;
    std::string cardFile;
    std::vector<std::pair<std::string, std::string>> sets;
    std::string cardImage;
    std::string headImage;
    std::string text;
    std::string keyDir;
    std::string serverKey;      // Z85, empty: plain text
    std::string clientKeyFile;  // empty: a throwaway key pair
};

std::string readBytes(const std::string& path) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw qrx::UsageError{
            "cannot read " + path + (errno ? ": " + std::string(std::strerror(errno)) : ""),
            "check the path; paths are taken from the current folder"};
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
        } else if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--timeout") {
            options.timeoutMs = std::atoi(value(i).c_str());
        } else if (arg == "--code") {
            options.code = value(i);
        } else if (arg == "--card") {
            options.cardFile = value(i);
        } else if (arg == "--set") {
            std::string pair = value(i);
            size_t equals = pair.find('=');
            if (equals == std::string::npos)
                throw qrx::UsageError{"--set wants NAME=VALUE, not " + pair,
                                      "for example --set ScanCmd=C"};
            options.sets.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
        } else if (arg == "--card-image") {
            options.cardImage = value(i);
        } else if (arg == "--head-image") {
            options.headImage = value(i);
        } else if (arg == "--server-key") {
            options.serverKey = value(i);
        } else if (arg == "--client-key-file") {
            options.clientKeyFile = value(i);
        } else if (!arg.empty() && arg[0] == '-') {
            throw qrx::UsageError{"unknown option " + arg};
        } else if (options.command.empty()) {
            options.command = arg;
        } else if (options.command == "send" && options.text.empty()) {
            options.text = arg;
        } else if (options.command == "keygen" && options.keyDir.empty()) {
            options.keyDir = arg;
        } else {
            throw qrx::UsageError{"unexpected argument " + arg};
        }
    }
    if (options.command != "code" && options.command != "submit" && options.command != "send" &&
        options.command != "keygen")
        throw qrx::UsageError{
            options.command.empty() ? "no command given" : "unknown command " + options.command,
            "the commands are code, submit, send and keygen; run 'qrx-client --help' for the "
            "options"};
    if (options.command == "keygen" && options.keyDir.empty())
        throw qrx::UsageError{"keygen needs the folder to write the keys into",
                              "for example: qrx-client keygen keys"};
    std::string key;
    if (!options.serverKey.empty() && !qrx::decodeCurveKey(options.serverKey, &key))
        throw qrx::UsageError{
            "--server-key wants the server's public key in Z85 (40 characters), "
            "not " +
                options.serverKey,
            "the server logs it at start: \"CURVE on, server public key ...\""};
    if (!options.clientKeyFile.empty() && options.serverKey.empty())
        throw qrx::UsageError{"--client-key-file needs --server-key",
                              "CURVE needs the server's public key as well as your own keys"};
    if (options.timeoutMs <= 0)
        throw qrx::UsageError{"--timeout wants a positive number of milliseconds",
                              "for example --timeout 5000"};
    if (options.endpoint.empty())
        options.endpoint = options.dealer ? "tcp://127.0.0.1:7107" : "tcp://127.0.0.1:7106";
    return options;
}

void needCurve() {
    if (!zmq_has("curve"))
        throw qrx::UsageError{"this build of ZeroMQ has no CURVE security",
                              "use a qrx-client built with a libzmq that has CURVE"};
}

// The client's CURVE key pair in Z85: from --client-key-file, or made now.
std::pair<std::string, std::string> clientKeyPair(const Options& options) {
    char publicKey[qrx::kCurveKeyTextSize + 1] = {};
    if (options.clientKeyFile.empty()) {
        char secretKey[qrx::kCurveKeyTextSize + 1] = {};
        zmq_curve_keypair(publicKey, secretKey);
        return {publicKey, secretKey};
    }
    std::string secret, problem;
    if (!qrx::parseSecretKeyFile(readBytes(options.clientKeyFile), &secret, &problem))
        throw qrx::UsageError{options.clientKeyFile + ": " + problem,
                              "give the secret.key that 'qrx-client keygen' wrote"};
    const std::string secretText = qrx::encodeCurveKey(secret);
    zmq_curve_public(publicKey, secretText.c_str());
    return {publicKey, secretText};
}

// Writes a new file, which only its owner may read when secret (on POSIX);
// false when it exists already or cannot be made.
bool writeNewKeyFile(const std::string& path, const std::string& text, bool secret) {
#ifdef _WIN32
    (void)secret;  // the folder's permissions decide on Windows
    int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return false;
    bool written = _write(fd, text.data(), static_cast<unsigned>(text.size())) ==
                   static_cast<int>(text.size());
    return _close(fd) == 0 && written;
#else
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, secret ? 0600 : 0644);
    if (fd < 0) return false;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written;
#endif
}

int keygen(const Options& options) {
    needCurve();
    namespace fs = std::filesystem;
    const fs::path folder = fs::u8path(options.keyDir);
    const std::string secretPath = (folder / "secret.key").u8string();
    const std::string publicPath = (folder / "public.key").u8string();
    std::error_code error;
    for (const std::string& path : {secretPath, publicPath}) {
        if (fs::exists(fs::u8path(path), error))
            throw qrx::UsageError{path + " exists already; keys are never overwritten",
                                  "pick another folder, or remove the old keys yourself"};
    }
    fs::create_directories(folder, error);
    char publicKey[qrx::kCurveKeyTextSize + 1] = {};
    char secretKey[qrx::kCurveKeyTextSize + 1] = {};
    zmq_curve_keypair(publicKey, secretKey);
    errno = 0;
    if (!writeNewKeyFile(secretPath, std::string(secretKey) + "\n", true) ||
        !writeNewKeyFile(publicPath, std::string(publicKey) + "\n", false))
        throw qrx::UsageError{"cannot write the keys into " + options.keyDir +
                                  (errno ? ": " + std::string(std::strerror(errno)) : ""),
                              "check that the folder can be written"};
    std::cout << publicKey << "\n";
    std::cerr << "qrx-client: wrote " << secretPath << " (keep it to yourself) and " << publicPath
              << " (give it to the server's operator)\n";
    return 0;
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
        if (!options.serverKey.empty()) {
            needCurve();
            auto [publicKey, secretKey] = clientKeyPair(options);
            // Z85 texts are set with their NUL: 41 bytes.
            zmq_setsockopt(socket_, ZMQ_CURVE_SERVERKEY, options.serverKey.c_str(),
                           options.serverKey.size() + 1);
            zmq_setsockopt(socket_, ZMQ_CURVE_PUBLICKEY, publicKey.c_str(), publicKey.size() + 1);
            zmq_setsockopt(socket_, ZMQ_CURVE_SECRETKEY, secretKey.c_str(), secretKey.size() + 1);
        }
        if (zmq_connect(socket_, endpoint_.c_str()) != 0)
            throw qrx::UsageError{
                "cannot use endpoint " + endpoint_ + ": " + zmq_strerror(zmq_errno()),
                "endpoints look like tcp://HOST:7106 or ipc:///path/reply.ipc"};
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
Json::Value roundTrip(Connection& connection, const std::string& body) {
    std::optional<std::string> reply = connection.request(body);
    if (!reply) throw NoServer{};
    std::fwrite(reply->data(), 1, reply->size(), stdout);
    Json::Value parsed;
    qrx::parseJson(*reply, &parsed);
    return parsed;
}

std::string askForCode(Connection& connection) {
    Json::Value reply = roundTrip(connection, "{\"type\":0}");
    return reply.isObject() && reply["code"].isString() ? reply["code"].asString() : std::string();
}

bool isAscii(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

// Converts the card's text members from UTF-8 to GBK in place; `from` names
// where they came from for the one line that refuses a text. Returns how
// many texts needed it.
int convertTexts(Json::Value& card, const std::string& from) {
    int converted = 0;
    for (const std::string& name : card.getMemberNames()) {
        Json::Value& value = card[name];
        if (!value.isString() || isAscii(value.asString())) continue;
        std::string gbk, problem;
        if (qrx::utf8ToGbk(value.asString(), &gbk, &problem)) {
            value = gbk;
            ++converted;
            continue;
        }
        const std::string hint =
            problem != qrx::kNotUtf8 ? "the desk's records hold GBK, which has no such character: "
                                       "write the text without it"
            : from == "--set"        ? "type the value in UTF-8, or pass --raw"
                                     : "the file is not UTF-8: if its texts are GBK already, pass "
                                       "--raw to send them as they are; else save it as UTF-8";
        throw qrx::UsageError{from + ": \"" + name + "\" " + problem, hint};
    }
    return converted;
}

Json::Value buildCard(const Options& options) {
    Json::Value card(Json::objectValue);
    int converted = 0;
    if (!options.cardFile.empty()) {
        if (!qrx::parseJson(readBytes(options.cardFile), &card) || !card.isObject())
            throw qrx::UsageError{options.cardFile + " does not hold a JSON object",
                                  "a card is one JSON object, such as samples/cards/card-c.json"};
        if (!options.raw) converted += convertTexts(card, options.cardFile);
    }
    Json::Value sets(Json::objectValue);
    for (const auto& [name, value] : options.sets)
        sets[name] = options.raw ? value : qrx::argumentToUtf8(value);
    if (!options.raw) converted += convertTexts(sets, "--set");
    for (const std::string& name : sets.getMemberNames()) card[name] = sets[name];
    if (options.raw)
        std::cerr << "qrx-client: texts sent as they are (--raw)\n";
    else if (converted > 0)
        std::cerr << "qrx-client: " << converted << (converted == 1 ? " text" : " texts")
                  << " converted from UTF-8 to GBK\n";
    for (const auto& [path, member] : {std::pair{options.cardImage, "cardiamgedata"},
                                       std::pair{options.headImage, "headiamgedata"}}) {
        if (!path.empty()) card[member] = qrx::base64Encode(readBytes(path));
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
    Json::Value reply = roundTrip(connection, qrx::styledText(card));
    bool accepted = reply.isObject() && reply["result"].isInt() && reply["result"].asInt() == 0;
    return accepted ? 0 : kExitRefused;
}

int run(const Options& options) {
    if (options.command == "keygen") return keygen(options);
    Connection connection(options);
    try {
        if (options.command == "code") return askForCode(connection).empty() ? kExitRefused : 0;
        if (options.command == "send") {
            roundTrip(connection, options.text);
            return 0;
        }
        return submit(connection, options);
    } catch (const NoServer&) {
        std::cerr << "qrx-client: no reply from " << connection.endpoint() << " within "
                  << connection.timeoutMs() << " ms\n";
        if (options.serverKey.empty())
            std::cerr << "  (is the scan server running, and at this address? its Server.ini "
                         "sets Address and AddressEx; a server with CURVE on needs --server-key)\n";
        else
            std::cerr << "  (is the server running there with CURVE on, is --server-key its "
                         "public key, and is your public key on its client list? its log says)\n";
        return kExitNoServer;
    }
}

}  // namespace

int main(int argc, char** argv) {
    return qrx::toolMain("qrx-client", kUsage, [&] { return run(parseOptions(argc, argv)); });
}
