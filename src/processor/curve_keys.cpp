#include "processor/curve_keys.h"

#include <zmq.h>

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

}  // namespace

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
