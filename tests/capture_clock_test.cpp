#include <gtest/gtest.h>

#include "processor/processor.h"
#include "processor_peer.h"
#include "test_support.h"

namespace qrx {
namespace {

class CaptureClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake.clock.wallTime = test::makeTime(2026, 12, 7, 9, 5, 31, 0);
        peer.settings().caption = "Capture";
        peer.settings().hourCtrlId = 49;
        peer.settings().minuteCtrlId = 53;
    }
    std::string textOf(WindowHandle w) { return fake.desktop.windows[w - 1].text; }

    test::TempDir dir;
    PosixPlatform posix{dir.path()};
    test::FakePlatform fake{posix};
    CProcessor processor{fake};
    CProcessorPeer peer{processor};
};

TEST_F(CaptureClockTest, EveryMatchingControlGetsTwoDigits) {
    WindowHandle window = fake.desktop.addWindow("Capture", "Dialog");
    WindowHandle panel = fake.desktop.addWindow("", "Panel", window, 7);
    WindowHandle hour = fake.desktop.addWindow("", "Edit", panel, 49);  // a grandchild
    WindowHandle minute = fake.desktop.addWindow("", "Edit", window, 53);
    WindowHandle secondHour = fake.desktop.addWindow("", "Edit", window, 49);
    processor.setCaptureClock();
    EXPECT_EQ(textOf(hour), "09");
    EXPECT_EQ(textOf(minute), "05");
    EXPECT_EQ(textOf(secondHour), "09");
    EXPECT_EQ(textOf(panel), "");
    EXPECT_EQ(fake.desktop.textsSent.size(), 3u);
}

TEST_F(CaptureClockTest, LateHoursAreNotPadded) {
    fake.clock.wallTime = test::makeTime(2026, 12, 7, 23, 59, 0, 0);
    WindowHandle window = fake.desktop.addWindow("Capture", "Dialog");
    WindowHandle hour = fake.desktop.addWindow("", "Edit", window, 49);
    WindowHandle minute = fake.desktop.addWindow("", "Edit", window, 53);
    processor.setCaptureClock();
    EXPECT_EQ(textOf(hour), "23");
    EXPECT_EQ(textOf(minute), "59");
}

TEST_F(CaptureClockTest, BothIdentifiersZeroDoNotEvenLookForTheWindow) {
    peer.settings().hourCtrlId = 0;
    peer.settings().minuteCtrlId = 0;
    WindowHandle window = fake.desktop.addWindow("Capture", "Dialog");
    fake.desktop.addWindow("", "Edit", window, 0);
    processor.setCaptureClock();
    EXPECT_EQ(fake.desktop.findWindowCalls, 0);
    EXPECT_TRUE(fake.desktop.textsSent.empty());
}

TEST_F(CaptureClockTest, AZeroIdentifierMatchesControlsWithoutOne) {
    peer.settings().hourCtrlId = 0;
    WindowHandle window = fake.desktop.addWindow("Capture", "Dialog");
    WindowHandle plain = fake.desktop.addWindow("", "Static", window, 0);
    WindowHandle minute = fake.desktop.addWindow("", "Edit", window, 53);
    processor.setCaptureClock();
    EXPECT_EQ(textOf(plain), "09");
    EXPECT_EQ(textOf(minute), "05");
}

TEST_F(CaptureClockTest, EqualIdentifiersGiveTheHour) {
    peer.settings().minuteCtrlId = 49;
    WindowHandle window = fake.desktop.addWindow("Capture", "Dialog");
    WindowHandle a = fake.desktop.addWindow("", "Edit", window, 49);
    WindowHandle b = fake.desktop.addWindow("", "Edit", window, 49);
    processor.setCaptureClock();
    EXPECT_EQ(textOf(a), "09");
    EXPECT_EQ(textOf(b), "09");
}

TEST_F(CaptureClockTest, OnlyATopLevelWindowWithTheExactTitleCounts) {
    WindowHandle other = fake.desktop.addWindow("Capture 2", "Dialog");
    fake.desktop.addWindow("", "Edit", other, 49);
    WindowHandle outer = fake.desktop.addWindow("Outer", "Dialog");
    WindowHandle nested = fake.desktop.addWindow("Capture", "Dialog", outer, 1);
    fake.desktop.addWindow("", "Edit", nested, 49);
    processor.setCaptureClock();
    EXPECT_EQ(fake.desktop.findWindowCalls, 1);
    EXPECT_TRUE(fake.desktop.textsSent.empty());
}

TEST_F(CaptureClockTest, AHungCaptureApplicationCostsOneTimeoutAndOneLine) {
    WindowHandle window = fake.desktop.addWindow("Capture", "Dialog");
    fake.desktop.addWindow("", "Edit", window, 49);
    fake.desktop.addWindow("", "Edit", window, 53);
    peer.settings().clockTimeout = 750;
    fake.desktop.hung = true;
    test::makeDirs(dir / "drive_c/qrx");
    processor.setCaptureClock();
    // The minute control, of the same hung application, is not tried.
    EXPECT_EQ(fake.desktop.textTimeouts, (std::vector<int>{750}));
    std::string log = test::readFile(dir / "drive_c/qrx/sock.log");
    EXPECT_NE(log.find("[Level:3][Processor.cpp("), std::string::npos) << log;
    EXPECT_NE(log.find(")]the capture window did not take the clock within 750 ms: the record "
                       "goes without it\r\n"),
              std::string::npos)
        << log;

    fake.desktop.hung = false;  // it recovers: the clock is set as usual, nothing logged
    processor.setCaptureClock();
    EXPECT_EQ(fake.desktop.textsSent.size(), 2u);
    EXPECT_EQ(test::readFile(dir / "drive_c/qrx/sock.log"), log);
}

TEST_F(CaptureClockTest, ClockTimeoutZeroOrNegativeMeansTwoSeconds) {
    WindowHandle window = fake.desktop.addWindow("Capture", "Dialog");
    fake.desktop.addWindow("", "Edit", window, 49);
    for (int setting : {0, -5}) {
        peer.settings().clockTimeout = setting;
        processor.setCaptureClock();
    }
    EXPECT_EQ(fake.desktop.textTimeouts, (std::vector<int>{2000, 2000}));
}

TEST_F(CaptureClockTest, WorksOnTheStandInDesktop) {
    Platform folders(fake.files, fake.clock, posix.desktop(), posix.network(), fake.process);
    CProcessor onFolders{folders};
    CProcessorPeer(onFolders).settings() = peer.settings();
    test::makeDirs(dir / "desktop/capture/hour");
    test::makeDirs(dir / "desktop/capture/group/minute");
    test::writeFile(dir / "desktop/capture/title", "Capture");
    test::writeFile(dir / "desktop/capture/hour/id", "49");
    test::writeFile(dir / "desktop/capture/hour/text", "old text");
    test::writeFile(dir / "desktop/capture/group/minute/id", "53");
    onFolders.setCaptureClock();
    EXPECT_EQ(test::readFile(dir / "desktop/capture/hour/text"), "09");
    EXPECT_EQ(test::readFile(dir / "desktop/capture/group/minute/text"), "05");
    EXPECT_FALSE(test::exists(dir / "desktop/capture/group/text"));
}

}  // namespace
}  // namespace qrx
