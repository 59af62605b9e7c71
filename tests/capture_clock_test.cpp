#include <gtest/gtest.h>

#include "processor/processor.h"
#include "processor_peer.h"
#include "test_support.h"

namespace qrx {
namespace {

class CaptureClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake.fakeDesktop = true;
        fake.clock = test::makeTime(2026, 12, 7, 9, 5, 31, 0);
        peer.settings().caption = "Capture";
        peer.settings().hourCtrlId = 49;
        peer.settings().minuteCtrlId = 53;
    }
    std::string textOf(WindowHandle w) { return fake.windows[w - 1].text; }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    CProcessor processor{fake};
    CProcessorPeer peer{processor};
};

TEST_F(CaptureClockTest, EveryMatchingControlGetsTwoDigits) {
    WindowHandle window = fake.addWindow("Capture", "Dialog");
    WindowHandle panel = fake.addWindow("", "Panel", window, 7);
    WindowHandle hour = fake.addWindow("", "Edit", panel, 49);  // a grandchild
    WindowHandle minute = fake.addWindow("", "Edit", window, 53);
    WindowHandle secondHour = fake.addWindow("", "Edit", window, 49);
    processor.setCaptureClock();
    EXPECT_EQ(textOf(hour), "09");
    EXPECT_EQ(textOf(minute), "05");
    EXPECT_EQ(textOf(secondHour), "09");
    EXPECT_EQ(textOf(panel), "");
    EXPECT_EQ(fake.textsSent.size(), 3u);
}

TEST_F(CaptureClockTest, LateHoursAreNotPadded) {
    fake.clock = test::makeTime(2026, 12, 7, 23, 59, 0, 0);
    WindowHandle window = fake.addWindow("Capture", "Dialog");
    WindowHandle hour = fake.addWindow("", "Edit", window, 49);
    WindowHandle minute = fake.addWindow("", "Edit", window, 53);
    processor.setCaptureClock();
    EXPECT_EQ(textOf(hour), "23");
    EXPECT_EQ(textOf(minute), "59");
}

TEST_F(CaptureClockTest, BothIdentifiersZeroDoNotEvenLookForTheWindow) {
    peer.settings().hourCtrlId = 0;
    peer.settings().minuteCtrlId = 0;
    WindowHandle window = fake.addWindow("Capture", "Dialog");
    fake.addWindow("", "Edit", window, 0);
    processor.setCaptureClock();
    EXPECT_EQ(fake.findWindowCalls, 0);
    EXPECT_TRUE(fake.textsSent.empty());
}

TEST_F(CaptureClockTest, AZeroIdentifierMatchesControlsWithoutOne) {
    peer.settings().hourCtrlId = 0;
    WindowHandle window = fake.addWindow("Capture", "Dialog");
    WindowHandle plain = fake.addWindow("", "Static", window, 0);
    WindowHandle minute = fake.addWindow("", "Edit", window, 53);
    processor.setCaptureClock();
    EXPECT_EQ(textOf(plain), "09");
    EXPECT_EQ(textOf(minute), "05");
}

TEST_F(CaptureClockTest, EqualIdentifiersGiveTheHour) {
    peer.settings().minuteCtrlId = 49;
    WindowHandle window = fake.addWindow("Capture", "Dialog");
    WindowHandle a = fake.addWindow("", "Edit", window, 49);
    WindowHandle b = fake.addWindow("", "Edit", window, 49);
    processor.setCaptureClock();
    EXPECT_EQ(textOf(a), "09");
    EXPECT_EQ(textOf(b), "09");
}

TEST_F(CaptureClockTest, OnlyATopLevelWindowWithTheExactTitleCounts) {
    WindowHandle other = fake.addWindow("Capture 2", "Dialog");
    fake.addWindow("", "Edit", other, 49);
    WindowHandle outer = fake.addWindow("Outer", "Dialog");
    WindowHandle nested = fake.addWindow("Capture", "Dialog", outer, 1);
    fake.addWindow("", "Edit", nested, 49);
    processor.setCaptureClock();
    EXPECT_EQ(fake.findWindowCalls, 1);
    EXPECT_TRUE(fake.textsSent.empty());
}

TEST_F(CaptureClockTest, AHungCaptureApplicationCostsOneTimeoutAndOneLine) {
    WindowHandle window = fake.addWindow("Capture", "Dialog");
    fake.addWindow("", "Edit", window, 49);
    fake.addWindow("", "Edit", window, 53);
    peer.settings().clockTimeout = 750;
    fake.hungDesktop = true;
    test::makeDirs(dir / "drive_c/qrx");
    processor.setCaptureClock();
    // The minute control, of the same hung application, is not tried.
    EXPECT_EQ(fake.textTimeouts, (std::vector<int>{750}));
    std::string log = test::readFile(dir / "drive_c/qrx/sock.log");
    EXPECT_NE(log.find("[Level:3][Processor.cpp("), std::string::npos) << log;
    EXPECT_NE(log.find(")]the capture window did not take the clock within 750 ms: the record "
                       "goes without it\r\n"),
              std::string::npos)
        << log;

    fake.hungDesktop = false;  // it recovers: the clock is set as usual, nothing logged
    processor.setCaptureClock();
    EXPECT_EQ(fake.textsSent.size(), 2u);
    EXPECT_EQ(test::readFile(dir / "drive_c/qrx/sock.log"), log);
}

TEST_F(CaptureClockTest, ClockTimeoutZeroOrNegativeMeansTwoSeconds) {
    WindowHandle window = fake.addWindow("Capture", "Dialog");
    fake.addWindow("", "Edit", window, 49);
    for (int setting : {0, -5}) {
        peer.settings().clockTimeout = setting;
        processor.setCaptureClock();
    }
    EXPECT_EQ(fake.textTimeouts, (std::vector<int>{2000, 2000}));
}

TEST_F(CaptureClockTest, WorksOnTheStandInDesktop) {
    fake.fakeDesktop = false;
    test::makeDirs(dir / "desktop/capture/hour");
    test::makeDirs(dir / "desktop/capture/group/minute");
    test::writeFile(dir / "desktop/capture/title", "Capture");
    test::writeFile(dir / "desktop/capture/hour/id", "49");
    test::writeFile(dir / "desktop/capture/hour/text", "old text");
    test::writeFile(dir / "desktop/capture/group/minute/id", "53");
    processor.setCaptureClock();
    EXPECT_EQ(test::readFile(dir / "desktop/capture/hour/text"), "09");
    EXPECT_EQ(test::readFile(dir / "desktop/capture/group/minute/text"), "05");
    EXPECT_FALSE(test::exists(dir / "desktop/capture/group/text"));
}

}  // namespace
}  // namespace qrx
