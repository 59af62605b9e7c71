#include "settings/curve_keys.h"

#include <zmq.h>

#include <cctype>
#include <cstdint>

namespace qrx {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// A path that names its place by itself: from a root or a drive.
bool isAbsolutePath(const std::string& path) {
    if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
    return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

// Reads the file a setting names into *text; *path gets where it was looked
// for.
bool readKeyFile(Platform& platform, const std::string& setting, std::string* path,
                 std::string* text, std::string* why) {
    *path = isAbsolutePath(setting) ? setting : executableFolder(platform) + setting;
    std::string reason;
    if (platform.files().readFileContent(*path, text, &reason)) return true;
    *why = "cannot read it: " + reason;
    return false;
}

}  // namespace

bool readCurveKeys(Platform& platform, const Settings& settings, CurveKeys* keys,
                   std::string* failure) {
    *keys = CurveKeys();
    if (!settings.curveOn()) return true;
    auto fail = [&](const char* setting, const std::string& path, const std::string& why) {
        *keys = CurveKeys();
        *failure = std::string(setting) + " " + path + ": " + why;
        return false;
    };
    std::string path, text, why;
    if (settings.curveSecretKeyFile.empty())
        return fail("CurveClientKeys", settings.curveClientKeysFile,
                    "a client list needs CurveSecretKeyFile, which is not set");
    if (!zmq_has("curve"))
        return fail("CurveSecretKeyFile", settings.curveSecretKeyFile,
                    "this build of ZeroMQ has no CURVE security");
    if (!readKeyFile(platform, settings.curveSecretKeyFile, &path, &text, &why) ||
        !parseSecretKeyFile(text, &keys->secretKey, &why))
        return fail("CurveSecretKeyFile", path, why);
    if (settings.curveClientKeysFile.empty()) return true;
    if (!readKeyFile(platform, settings.curveClientKeysFile, &path, &text, &why) ||
        !parseClientKeyList(text, &keys->clientKeys, &why))
        return fail("CurveClientKeys", path, why);
    keys->clientKeysPath = path;
    return true;
}

bool decodeCurveKey(std::string_view text, std::string* key) {
    if (text.size() != kCurveKeyTextSize) return false;
    const std::string terminated(text);  // zmq_z85_decode reads to the NUL
    if (terminated.find('\0') != std::string::npos) return false;
    uint8_t bytes[kCurveKeyBytes];
    if (zmq_z85_decode(bytes, terminated.c_str()) == nullptr) return false;
    key->assign(reinterpret_cast<const char*>(bytes), sizeof(bytes));
    return true;
}

std::string encodeCurveKey(const std::string& key) {
    char text[kCurveKeyTextSize + 1] = {};
    if (key.size() != kCurveKeyBytes ||
        zmq_z85_encode(text, reinterpret_cast<const uint8_t*>(key.data()), key.size()) == nullptr)
        return std::string();
    return text;
}

bool parseSecretKeyFile(const std::string& text, std::string* key, std::string* problem) {
    std::string_view body = trimmed(text);
    if (body.empty()) {
        *problem = "the file is empty";
        return false;
    }
    if (!decodeCurveKey(body, key)) {
        *problem = body.size() == kCurveKeyTextSize
                       ? "the key is not Z85 text"
                       : "the file holds " + std::to_string(body.size()) +
                             " characters, not one Z85 key of 40";
        return false;
    }
    return true;
}

bool parseClientKeyList(const std::string& text, std::set<std::string>* keys,
                        std::string* problem) {
    keys->clear();
    size_t start = 0;
    for (int line = 1; start <= text.size(); ++line) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view entry = trimmed(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (entry.empty() || entry.front() == '#') continue;
        std::string key;
        if (!decodeCurveKey(entry, &key)) {
            *problem = "line " + std::to_string(line) + " is not a Z85 public key of 40 characters";
            return false;
        }
        keys->insert(key);
    }
    return true;
}

}  // namespace qrx
