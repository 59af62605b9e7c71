#include "soak/desk.h"

#include <chrono>

namespace qrx::soak {
namespace {

constexpr auto kPoll = std::chrono::milliseconds(5);

}  // namespace

void Desk::start() {
    stop();
    stop_ = false;
    thread_ = std::thread(&Desk::run, this);
}

void Desk::stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
}

bool Desk::pause(double seconds) {
    pauseAsked_ = true;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (!paused_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kPoll);
    return paused_;
}

void Desk::resume() {
    pauseAsked_ = false;
    while (paused_) std::this_thread::sleep_for(kPoll);
}

std::string Desk::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

// Ready ("0"), then each announced record taken, and ready again.
void Desk::run() {
    try {
        file_.write("0");
        while (!stop_) {
            const std::string content = file_.read();
            if (!content.empty() && content[0] == '2')
                takeAndHold();
            else
                std::this_thread::sleep_for(kPoll);
        }
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = e.what();
    }
}

void Desk::takeAndHold() {
    desk::takeRecords(platform_, paths_, outFolder_);
    checkTaken(outFolder_, ledger_);
    if (pauseAsked_) {
        paused_ = true;
        while (pauseAsked_ && !stop_) std::this_thread::sleep_for(kPoll);
        paused_ = false;
    }
    file_.write("0");
}

}  // namespace qrx::soak
