#include "soak/actions.h"

#include <sys/wait.h>

#include <cstdio>

namespace qrx::soak {
namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

ActionResult runAction(const std::string& actions, const std::vector<std::string>& args) {
    std::string command = quoted(actions);
    for (const std::string& arg : args) command += " " + quoted(arg);
    ActionResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace qrx::soak
