// The shared frame of the command-line tools: a problem with the options or
// the files is one line naming it and one line of hint, with exit status 3;
// --help prints the usage and gives 0.
#pragma once

#include <iostream>
#include <string>
#include <utility>

namespace qrx {

// Thrown for bad options or files; an empty message asks for the usage text.
// An empty hint points at --help.
struct UsageError {
    explicit UsageError(std::string text, std::string hintText = "")
        : message(std::move(text)), hint(std::move(hintText)) {}
    std::string message;
    std::string hint;
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
        std::cerr << name << ": " << error.message << "\n";
        if (error.hint.empty())
            std::cerr << "  (run '" << name << " --help' for the commands and options)\n";
        else
            std::cerr << "  (" << error.hint << ")\n";
        return kExitBadUsage;
    }
}

}  // namespace qrx
