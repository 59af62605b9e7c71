// Child processes for the tests that run the real binaries.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qrx::test {

class Process {
  public:
    // Starts program with args in folder cwd, with env added to the
    // environment; its standard output and error go to outputFile, or, when
    // that is empty, into a pipe whose reader has gone.
    Process(const std::vector<std::string>& argv, const std::string& cwd,
            const std::map<std::string, std::string>& env, const std::string& outputFile);
    ~Process();  // kills it if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // The exit code, -1 when it still runs after timeoutMs, -2 when killed.
    int wait(int timeoutMs);
    void kill();
    void signal(int number);
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_;
};

struct Outcome {
    int exitCode;
    std::string output;
};

// Runs a program to its end (or kills it after timeoutMs, exit code -1).
Outcome runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                   const std::map<std::string, std::string>& env, int timeoutMs);

// Polls until condition holds or timeoutMs passes; returns the last result.
bool eventually(const std::function<bool()>& condition, int timeoutMs = 10000);

}  // namespace qrx::test
