#include "platform/path_mapping.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace qrx {
namespace {

TEST(PathMapping, DrivePathsLiveUnderThePrefix) {
    EXPECT_EQ(mapToPosixPath("/p", "c:\\qrx\\sock.log"), "/p/drive_c/qrx/sock.log");
    EXPECT_EQ(mapToPosixPath("/p", "D:/scan/result/"), "/p/drive_d/scan/result/");
    EXPECT_EQ(mapToPosixPath("/p", "E:\\"), "/p/drive_e/");
}

TEST(PathMapping, OtherPathsOnlyTurnTheirBackslashes) {
    EXPECT_EQ(mapToPosixPath("/p", "scancmd.scc"), "scancmd.scc");
    EXPECT_EQ(mapToPosixPath("/p", "scan\\cmd.scc"), "scan/cmd.scc");
    EXPECT_EQ(mapToPosixPath("/p", "/var/scan/x"), "/var/scan/x");
    EXPECT_EQ(mapToPosixPath("/p", "c:relative"), "c:relative");
    EXPECT_EQ(mapToPosixPath("/p", ""), "");
}

TEST(PathMapping, PrefixComesFromTheEnvironmentOrHome) {
    setenv("QRX_PREFIX", "/somewhere/machine", 1);
    EXPECT_EQ(posixPrefix(), "/somewhere/machine");
    setenv("QRX_PREFIX", "", 1);
    setenv("HOME", "/home/desk", 1);
    EXPECT_EQ(posixPrefix(), "/home/desk/.qrx");
    unsetenv("QRX_PREFIX");
    EXPECT_EQ(posixPrefix(), "/home/desk/.qrx");
}

}  // namespace
}  // namespace qrx
