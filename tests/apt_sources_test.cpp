// scripts/add-deb-src.sh, run for real on apt folders laid out in temporary
// folders: the deb822 layout of a stock Debian 12, the one-line layout, both
// mixed, a second run, and a folder with nothing to derive from.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "process_support.h"
#include "test_support.h"

namespace qrx {
namespace {

using test::exists;
using test::readFile;
using test::writeFile;

const char kDebianSources[] =
    "Types: deb\n"
    "# a snapshot of the archive\n"
    "URIs: http://deb.debian.org/debian\n"
    "Suites: bookworm bookworm-updates\n"
    "Components: main\n"
    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n"
    "\n"
    "Types: deb deb-src\n"
    "URIs: http://deb.debian.org/debian-security\n"
    "Suites: bookworm-security\n"
    "Components: main\n"
    "\n"
    "URIs: http://mirror.example/debian\n"
    "Types: deb\n"
    "Suites: bookworm-backports\n"
    "Components: main contrib\n"
    "\n"
    "Types: deb\n"
    "Enabled: no\n"
    "URIs: http://disabled.example/debian\n"
    "Suites: bookworm\n"
    "Components: main\n";

const char kSourcesList[] =
    "# the archive\n"
    "deb http://deb.debian.org/debian bookworm main\n"
    "deb-src http://deb.debian.org/debian bookworm main\n"
    "  deb [arch=amd64 signed-by=/usr/share/keyrings/x.gpg] http://x.example/debian bookworm "
    "main\n"
    "#deb http://commented.example/debian bookworm main\n";

class AptSourcesTest : public ::testing::Test {
  protected:
    void SetUp() override { test::makeDirs(parts); }

    test::Outcome derive() {
        return test::runProgram(
            {"/bin/bash", std::string(QRX_SOURCE_DIR) + "/scripts/add-deb-src.sh"}, dir.path(),
            {{"QRX_APT_DIR", dir.path()}}, 10000);
    }
    // Everything in sources.list.d, so a test sees stray temporary files too.
    std::vector<std::string> partNames() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(parts))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    test::TempDir dir;
    std::string parts = dir / "sources.list.d";
    std::string ownSources = parts + "/qrx-deb-src.sources";
    std::string ownList = parts + "/qrx-deb-src.list";
};

TEST_F(AptSourcesTest, Deb822OnlyLayoutGetsSourceStanzasForEachEnabledBinaryStanza) {
    std::string debian = parts + "/debian.sources";
    writeFile(debian, kDebianSources);

    test::Outcome outcome = derive();

    ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
    EXPECT_EQ(readFile(ownSources),
              "# deb-src of " + debian +
                  "\n"
                  "Types: deb-src\n"
                  "# a snapshot of the archive\n"
                  "URIs: http://deb.debian.org/debian\n"
                  "Suites: bookworm bookworm-updates\n"
                  "Components: main\n"
                  "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n"
                  "\n"
                  "# deb-src of " +
                  debian +
                  "\n"
                  "URIs: http://mirror.example/debian\n"
                  "Types: deb-src\n"
                  "Suites: bookworm-backports\n"
                  "Components: main contrib\n");
    EXPECT_FALSE(exists(ownList));
    EXPECT_EQ(partNames(), (std::vector<std::string>{"debian.sources", "qrx-deb-src.sources"}));
    EXPECT_NE(outcome.output.find("qrx-deb-src.sources (stanzas: 2)"), std::string::npos)
        << outcome.output;
}

TEST_F(AptSourcesTest, OneLineLayoutGetsSourceLinesNotAlreadyListed) {
    writeFile(dir / "sources.list", kSourcesList);
    writeFile(parts + "/extra.list", "deb http://extra.example/debian bookworm main\n");

    test::Outcome outcome = derive();

    ASSERT_EQ(outcome.exitCode, 0) << outcome.output;
    EXPECT_EQ(readFile(ownList),
              "deb-src [arch=amd64 signed-by=/usr/share/keyrings/x.gpg] http://x.example/debian "
              "bookworm main\n"
              "deb-src http://extra.example/debian bookworm main\n");
    EXPECT_FALSE(exists(ownSources));
    EXPECT_NE(outcome.output.find("qrx-deb-src.list (lines: 2)"), std::string::npos)
        << outcome.output;
}

TEST_F(AptSourcesTest, MixedLayoutGetsBothFilesAndASecondRunChangesNothing) {
    writeFile(parts + "/debian.sources", kDebianSources);
    writeFile(dir / "sources.list", kSourcesList);
    ASSERT_EQ(derive().exitCode, 0);
    std::string sources = readFile(ownSources);
    std::string list = readFile(ownList);
    EXPECT_NE(sources.find("URIs: http://mirror.example/debian"), std::string::npos);
    EXPECT_NE(list.find("http://x.example/debian"), std::string::npos);

    test::Outcome again = derive();

    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_EQ(readFile(ownSources), sources);  // its own files are not read back as input
    EXPECT_EQ(readFile(ownList), list);
    EXPECT_EQ(partNames(), (std::vector<std::string>{"debian.sources", "qrx-deb-src.list",
                                                     "qrx-deb-src.sources"}));
}

TEST_F(AptSourcesTest, EntriesFollowTheMachineWhenItsSourcesChange) {
    writeFile(dir / "sources.list", kSourcesList);
    ASSERT_EQ(derive().exitCode, 0);
    ASSERT_TRUE(exists(ownList));

    std::filesystem::remove(dir / "sources.list");
    writeFile(parts + "/debian.sources", kDebianSources);
    ASSERT_EQ(derive().exitCode, 0);

    EXPECT_FALSE(exists(ownList));  // a stale file would point apt at archives it no longer uses
    EXPECT_TRUE(exists(ownSources));
}

TEST_F(AptSourcesTest, NothingToDeriveFailsWithAReasonAndLeavesTheFolderAsItWas) {
    writeFile(dir / "sources.list", "deb-src http://deb.debian.org/debian bookworm main\n");
    writeFile(ownList, "deb-src http://old.example/debian bookworm main\n");

    test::Outcome outcome = derive();

    EXPECT_NE(outcome.exitCode, 0);
    EXPECT_NE(outcome.output.find("no \"deb\" entries"), std::string::npos) << outcome.output;
    EXPECT_EQ(readFile(ownList), "deb-src http://old.example/debian bookworm main\n");
    EXPECT_EQ(partNames(), (std::vector<std::string>{"qrx-deb-src.list"}));
}

}  // namespace
}  // namespace qrx
