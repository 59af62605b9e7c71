// The reader of "Server.ini": the first line of the input names
// a section and a key, the rest is the file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "settings/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    std::string names = input.substr(0, newline);
    std::string text = newline == std::string::npos ? std::string() : input.substr(newline + 1);
    size_t space = names.find(' ');
    std::string section = names.substr(0, space);
    std::string key = space == std::string::npos ? std::string() : names.substr(space + 1);
    std::string value;
    if (qrx::findProfileValue(text, section, key, &value)) qrx::parseProfileInt(value);
    qrx::parseProfileInt(input);
    return 0;
}
