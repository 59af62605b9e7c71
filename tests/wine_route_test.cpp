// scripts/lib/wine.sh's choice of the route that runs the 32-bit Windows
// build, as a function of what the machine allows: the CPU's answer about
// its 32-bit code segment is faked both ways, and QRX_WINE_ROUTE is unset,
// set to either route, or set to a route that does not exist.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "process_support.h"
#include "test_support.h"

namespace qrx {
namespace {

struct RouteCase {
    bool segment;        // what the faked CPU answers
    const char* forced;  // QRX_WINE_ROUTE; "" when unset
    int exitCode;
    const char* route;   // the first field printed
    const char* reason;  // a part of the reason printed after it
};

void PrintTo(const RouteCase& row, std::ostream* out) {
    *out << (row.segment ? "segment" : "no segment") << ", QRX_WINE_ROUTE=" << row.forced;
}

class WineRouteTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(WineRouteTest, TheRouteFollowsTheSegmentUnlessForced) {
    const RouteCase& row = GetParam();
    const std::string script = std::string("source '") + QRX_SOURCE_DIR +
                               "/scripts/lib/wine.sh'\n"
                               "qrx_has_i386_segment() { " +
                               (row.segment ? "true" : "false") + "; }\nqrx_wine_route\n";
    test::TempDir dir;
    test::Outcome outcome = test::runProgram({"/bin/bash", "-c", script}, dir.path(),
                                             {{"QRX_WINE_ROUTE", row.forced}}, 10000);
    EXPECT_EQ(outcome.exitCode, row.exitCode) << outcome.output;
    EXPECT_EQ(outcome.output.substr(0, outcome.output.find('\t')), row.route) << outcome.output;
    EXPECT_NE(outcome.output.find(row.reason), std::string::npos) << outcome.output;
}

INSTANTIATE_TEST_SUITE_P(
    SegmentAndSetting, WineRouteTest,
    ::testing::Values(
        RouteCase{true, "", 0, "wine32", "\tselector 0x23, the 32-bit code segment, is valid"},
        RouteCase{false, "", 0, "qemu", "\tselector 0x23, the 32-bit code segment, is invalid"},
        RouteCase{true, "qemu", 0, "qemu", "forced by QRX_WINE_ROUTE (selector 0x23"},
        RouteCase{false, "wine32", 0, "wine32", "forced by QRX_WINE_ROUTE (selector 0x23"},
        RouteCase{false, "wow64", 2, "QRX_WINE_ROUTE must be wine32 or qemu, not wow64\n",
                  "must be wine32 or qemu"}),
    [](const ::testing::TestParamInfo<RouteCase>& info) {
        return std::string(info.param.segment ? "Segment" : "NoSegment") +
               (*info.param.forced ? std::string("Forced_") + info.param.forced : "");
    });

}  // namespace
}  // namespace qrx
