#include "process_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "test_support.h"

namespace qrx::test {

Process::Process(const std::vector<std::string>& argv, const std::string& cwd,
                 const std::map<std::string, std::string>& env, const std::string& outputFile) {
    pid_ = fork();
    if (pid_ != 0) return;
    int out = -1;
    if (outputFile.empty()) {
        int ends[2] = {-1, -1};
        if (pipe(ends) == 0) close(ends[0]);
        out = ends[1];
        ::signal(SIGPIPE, SIG_DFL);  // as a shell starts it
    } else {
        out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    if (chdir(cwd.c_str()) != 0) _exit(99);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(98);
}

Process::~Process() {
    kill();
}

int Process::wait(int timeoutMs) {
    for (int waited = 0; pid_ > 0; waited += 10) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
        if (waited >= timeoutMs) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -2;
}

void Process::signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
}

void Process::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
}

Outcome runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                   const std::map<std::string, std::string>& env, int timeoutMs) {
    char outputFile[] = "/tmp/qrx-output-XXXXXX";
    int fd = mkstemp(outputFile);
    if (fd >= 0) close(fd);
    Process process(argv, cwd, env, outputFile);
    int code = process.wait(timeoutMs);
    Outcome outcome{code, readFile(outputFile)};
    unlink(outputFile);
    return outcome;
}

bool eventually(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace qrx::test
