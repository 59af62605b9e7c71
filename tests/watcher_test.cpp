// When the watcher starts its server again, and after how long.
#include "server/watcher.h"

#include <gtest/gtest.h>

namespace qrx {
namespace {

TEST(WatcherTest, OnlyAStartThatWouldWorkIsMadeAgain) {
    const struct {
        uint32_t code;
        bool anotherCopyRuns;
        bool firstStart;
        AfterEnd expected;
    } cases[] = {
        // Stopped alone, not through the watcher (Wine's taskkill /F).
        {0, false, false, AfterEnd::StartAgain},
        // No endpoint, or a key file unusable, at the first start.
        {2, false, true, AfterEnd::StopWatching},
        // The same after a crash: the crashed copy's connections may hold
        // the port for a while.
        {2, false, false, AfterEnd::StartAgain},
        {1, true, false, AfterEnd::StopWatching},           // another copy runs
        {1, false, false, AfterEnd::StartAgain},            // taskkill /F
        {0xC0000005u, false, false, AfterEnd::StartAgain},  // an access violation
        {128 + 9, false, false, AfterEnd::StartAgain},      // SIGKILL on POSIX
        {UINT32_MAX, false, false, AfterEnd::StartAgain},   // the program could not be started
    };
    for (const auto& c : cases)
        EXPECT_EQ(afterEnd(c.code, c.anotherCopyRuns, c.firstStart), c.expected) << c.code;
}

// Each row: how long the server ran before it ended, and the wait after.
TEST(WatcherTest, TheWaitDoublesUpToFiveMinutesAndFallsBackAfterAnHour) {
    const int64_t kMinute = 60 * 1000, kHour = 60 * kMinute;
    const struct {
        int64_t ranMs;
        int64_t waitMs;
    } runs[] = {
        {100, 1000},       {100, 2000},        {100, 4000},        {30 * kMinute, 8000},
        {100, 16000},      {100, 32000},       {100, 64000},       {100, 128000},
        {100, 256000},     {100, 5 * kMinute}, {100, 5 * kMinute}, {kHour, 1000},
        {kHour - 1, 2000}, {2 * kHour, 1000},
    };
    RestartDelay delay;
    for (const auto& run : runs) EXPECT_EQ(delay.next(run.ranMs), run.waitMs) << run.ranMs;
}

}  // namespace
}  // namespace qrx
