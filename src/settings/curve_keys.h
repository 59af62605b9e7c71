// The key files of CURVE security: the server's secret key and the list of
// client public keys admitted, both in Z85 text (ZeroMQ's own encoding, 40
// characters for a 32-byte key).
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "settings/settings.h"

namespace qrx {

constexpr size_t kCurveKeyBytes = 32;
constexpr size_t kCurveKeyTextSize = 40;

// Decodes a Z85 key text into its 32 bytes. False when the text is not 40
// characters of Z85.
bool decodeCurveKey(std::string_view text, std::string* key);
// The Z85 text of a 32-byte key.
std::string encodeCurveKey(const std::string& key);

// A secret-key file: one key, with white space around it (a final line end
// included) ignored. False with *problem set when it holds anything else.
bool parseSecretKeyFile(const std::string& text, std::string* key, std::string* problem);

// A list of client keys: one Z85 public key a line, LF or CR LF; a line whose
// first non-blank character is "#" is a comment, and blank lines are passed
// over. Spaces and tabs around a key are ignored. False with *problem naming
// the first line that holds no key.
bool parseClientKeyList(const std::string& text, std::set<std::string>* keys, std::string* problem);

// What the key files that the settings name hold.
struct CurveKeys {
    // The server's secret key (32 bytes); empty: plain text.
    std::string secretKey;
    // With a client list, only clientKeys (32 bytes each) are admitted: the
    // keys read from clientKeysPath, empty when no list is set.
    std::set<std::string> clientKeys;
    std::string clientKeysPath;
    bool allowlist() const { return !clientKeysPath.empty(); }
};

// Reads the key files of settings into *keys; a relative path is taken from
// the executable's folder, where "Server.ini" is. True when none is set or
// all were read. False, with *keys empty and *failure naming the setting,
// its path and why, when a file set cannot be read, holds a malformed key,
// or this build of ZeroMQ has no CURVE.
bool readCurveKeys(Platform& platform, const Settings& settings, CurveKeys* keys,
                   std::string* failure);

}  // namespace qrx
