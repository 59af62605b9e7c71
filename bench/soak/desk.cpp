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

// Ready ("0"), then each announced record taken, and ready again.
void Desk::run() {
    file_.write("0");
    while (!stop_) {
        const std::string content = file_.read();
        if (content.empty() || content[0] != '2') {
            std::this_thread::sleep_for(kPoll);
            continue;
        }
        desk::takeRecords(platform_, paths_, outFolder_);
        checkTaken(outFolder_, ledger_);
        paused_ = pauseAsked_.load();
        while (pauseAsked_ && !stop_) std::this_thread::sleep_for(kPoll);
        paused_ = false;
        file_.write("0");
    }
}

}  // namespace qrx::soak
