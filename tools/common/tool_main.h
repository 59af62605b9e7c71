// The shared frame of the command-line tools: options that cannot be
// understood print the usage and give exit status 3; --help prints it and
// gives 0.
#pragma once

#include <iostream>
#include <string>

namespace qrx {

// Thrown for bad options; an empty message asks for the usage text only.
struct UsageError {
    std::string message;
};

constexpr int kExitBadUsage = 3;

template <typename Run>
int toolMain(const char* name, const char* usage, Run run) {
    try {
        return run();
    } catch (const UsageError& error) {
        if (error.message.empty()) {
            std::cout << usage;
            return 0;
        }
        std::cerr << name << ": " << error.message << "\n" << usage;
        return kExitBadUsage;
    }
}

}  // namespace qrx
