// The shared frame of the command-line tools: a problem with the options or
// the files is one line naming it and one line of hint, with exit status 3;
// --help prints the usage and gives 0.
#pragma once

#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

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

// A tool's options of the form "--name VALUE", each with what takes its value.
using OptionSetters = std::map<std::string, std::function<void(const std::string&)>>;

// A setter that stores an option's value in field, as text or as a number
// (atoi, atof: what is not a number is 0).
inline std::function<void(const std::string&)> into(std::string& field) {
    return [&field](const std::string& value) { field = value; };
}
inline std::function<void(const std::string&)> into(int& field) {
    return [&field](const std::string& value) { field = std::atoi(value.c_str()); };
}
inline std::function<void(const std::string&)> into(double& field) {
    return [&field](const std::string& value) { field = std::atof(value.c_str()); };
}

// Gives each option's value to its setter and returns the other words, in
// order. --help or -h asks for the usage; an unknown "--" option, or one
// without its value, is a UsageError.
inline std::vector<std::string> readOptions(int argc, char** argv, const OptionSetters& setters) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") throw UsageError{""};
        const auto setter = setters.find(arg);
        if (setter != setters.end()) {
            if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
            setter->second(argv[++i]);
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            throw UsageError{"unknown option " + arg};
        } else {
            words.push_back(arg);
        }
    }
    return words;
}

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
