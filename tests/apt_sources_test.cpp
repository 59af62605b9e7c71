// scripts/add-deb-src.sh, run for real on apt folders laid out in temporary
// folders: the deb822 layout of a stock Debian 12, the one-line layout, both
// mixed, a second run, and a folder with nothing to derive from. And
// scripts/lib/apt.sh's apt-get update against a fake apt-get that fails as
// a mirror does: which failures let an installer go on; the suites the
// throwaway Wine root is built from; and which package changes count as
// taken back.
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

// A fake apt-get whose first `failures` calls print `errors` and exit 100,
// as apt-get update does when an index fails; later calls succeed. Like the
// real one on a German desk, it speaks German unless LC_ALL=C.
class AptUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeDirs(dir / "bin");
        writeFile(dir / "bin/apt-get",
                  "#!/bin/bash\n"
                  "n=$(( $(cat \"$FAKE_APT_CALLS\" 2>/dev/null || echo 0) + 1 ))\n"
                  "echo \"$n\" >\"$FAKE_APT_CALLS\"\n"
                  "[ \"$n\" -gt \"$FAKE_APT_FAILURES\" ] && exit 0\n"
                  "[ \"${LC_ALL:-}\" = C ] || FAKE_APT_ERRORS=\"$(sed -e "
                  "'s/Failed to fetch/Fehlschlag beim Holen von/' -e "
                  "'s/Some index files failed to download./Einige Indexdateien konnten nicht "
                  "heruntergeladen werden./' <<<\"$FAKE_APT_ERRORS\")\"\n"
                  "printf '%s' \"$FAKE_APT_ERRORS\" >&2\n"
                  "exit 100\n");
        std::filesystem::permissions(dir / "bin/apt-get", std::filesystem::perms::owner_all);
    }

    test::Outcome update(int failures, const std::string& errors) {
        return test::runProgram(
            {"/bin/bash", "-c",
             "source \"$1/strict.sh\"; source \"$1/apt.sh\"; qrx_sudo=(); status=0; "
             "qrx_apt_update || status=$?; exit $status",
             "bash", std::string(QRX_SOURCE_DIR) + "/scripts/lib"},
            dir.path(),
            {{"PATH", dir / "bin" + ":/usr/bin:/bin"},
             {"LANG", "de_DE.UTF-8"},
             {"QRX_APT_RETRY_SECONDS", "0"},
             {"FAKE_APT_CALLS", dir / "calls"},
             {"FAKE_APT_FAILURES", std::to_string(failures)},
             {"FAKE_APT_ERRORS", errors}},
            10000);
    }

    test::TempDir dir;
};

std::string failedToFetch(const std::string& index) {
    return "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/" +
           index + "  File has unexpected size (374820 != 376004). Mirror sync in progress?\n";
}

TEST_F(AptUpdateTest, GoesOnPastI386IndexesOnlyAndTriesThreeTimes) {
    const std::string someIndexes = "E: Some index files failed to download.\n";
    struct Case {
        const char* name;
        int failures;
        std::string errors;
        int status;
        int calls;
    } cases[] = {
        {"every index came", 0, "", 0, 1},
        {"a sync that ends before the third try", 2, failedToFetch("main/binary-amd64/Packages.xz"),
         0, 3},
        {"i386 indexes only", 9,
         failedToFetch("main/binary-i386/Packages.xz") +
             failedToFetch("contrib/binary-i386/Packages.xz") + someIndexes,
         1, 3},
        {"an amd64 index", 9, failedToFetch("main/binary-amd64/Packages.xz") + someIndexes, 2, 3},
        {"i386 and amd64 indexes", 9,
         failedToFetch("main/binary-i386/Packages.xz") +
             failedToFetch("main/binary-amd64/Packages.xz"),
         2, 3},
        {"i386 indexes and a repository without a Release file", 9,
         failedToFetch("main/binary-i386/Packages.xz") +
             "E: The repository 'http://x.example/debian bookworm Release' does not have a "
             "Release file.\n",
         2, 3},
        {"i386 indexes and an amd64 index only warned of", 9,
         failedToFetch("main/binary-i386/Packages.xz") +
             "W: " + failedToFetch("main/binary-amd64/Packages.xz").substr(3),
         2, 3},
        {"no index named (a lock held)", 9, "E: Could not get lock /var/lib/apt/lists/lock\n", 2,
         3},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir / "calls");

        test::Outcome outcome = update(c.failures, c.errors);

        EXPECT_EQ(outcome.exitCode, c.status) << c.name << "\n" << outcome.output;
        EXPECT_EQ(readFile(dir / "calls"), std::to_string(c.calls) + "\n") << c.name;
    }
}

// Runs BODY in bash with scripts/lib/apt.sh sourced, with ENV, and a fake
// apt-get that prints FAKE_TARGETS, as apt-get indextargets prints the
// machine's package indexes.
test::Outcome aptFunction(const test::TempDir& dir, const std::string& body,
                          std::map<std::string, std::string> env) {
    writeFile(dir / "apt-get", "#!/bin/bash\nprintf '%s' \"$FAKE_TARGETS\"\n");
    std::filesystem::permissions(dir / "apt-get", std::filesystem::perms::owner_all);
    env["PATH"] = dir.path() + ":/usr/bin:/bin";
    return test::runProgram({"/bin/bash", "-c", "source \"$1/apt.sh\"; " + body, "bash",
                             std::string(QRX_SOURCE_DIR) + "/scripts/lib"},
                            dir.path(), env, 10000);
}

// The Wine root is built from the machine's Debian suites less those whose
// index failed: a failed suite left in makes mmdebstrap fail, or gives the
// two architectures different versions of a shared library.
TEST(WineRootSourcesTest, TakesTheMachinesDebianSuitesLessTheFailedOnes) {
    const std::string targets =
        "http://deb.debian.org/debian/ bookworm main Debian\n"
        "http://deb.debian.org/debian/ bookworm contrib Debian\n"
        "http://deb.debian.org/debian/ bookworm main Debian\n"
        "http://deb.debian.org/debian/ bookworm-updates main Debian\n"
        "http://deb.debian.org/debian-security/ bookworm-security main Debian\n"
        "https://deb.nodesource.com/node_20.x/ nodistro main Node Source\n"
        "https://apt.example/ stable main Example\n";
    const std::string all =
        "deb http://deb.debian.org/debian/ bookworm main contrib\n"
        "deb http://deb.debian.org/debian/ bookworm-updates main\n"
        "deb http://deb.debian.org/debian-security/ bookworm-security main\n";
    struct Case {
        const char* name;
        std::string failed;
        std::string sources;
    } cases[] = {
        {"every index came", "", all},
        {"the security suite's i386 index failed",
         "http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/"
         "Packages.xz",
         "deb http://deb.debian.org/debian/ bookworm main contrib\n"
         "deb http://deb.debian.org/debian/ bookworm-updates main\n"},
        {"two suites failed, one of them twice",
         "http://deb.debian.org/debian/dists/bookworm-updates/main/binary-i386/Packages.xz\n"
         "http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/"
         "Packages.xz\n"
         "http://deb.debian.org/debian-security/dists/bookworm-security/contrib/binary-i386/"
         "Packages.xz",
         "deb http://deb.debian.org/debian/ bookworm main contrib\n"},
        {"a suite whose name begins another's",
         "http://deb.debian.org/debian/dists/bookworm/main/"
         "binary-i386/Packages.xz",
         "deb http://deb.debian.org/debian/ bookworm-updates main\n"
         "deb http://deb.debian.org/debian-security/ bookworm-security main\n"},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        test::Outcome outcome = aptFunction(dir, "qrx_wine_root_sources \"$FAILED\"",
                                            {{"FAKE_TARGETS", targets}, {"FAILED", c.failed}});

        EXPECT_EQ(outcome.exitCode, 0) << c.name;
        EXPECT_EQ(outcome.output, c.sources) << c.name;
    }
}

// CI fails when it took a package back (the fault of installing from an
// older suite), and only then: a package apt raised to satisfy a new one,
// or a package added, is no fault.
TEST(PackagesTakenBackTest, NamesLowerVersionsAndRemovalsOnly) {
    test::TempDir dir;
    writeFile(dir / "before",
              "gstreamer1.0-x:amd64 1.22.0-3+deb12u7\n"
              "libpcre2-8-0:amd64 10.42-1+deb12u2\n"
              "libpcre2-8-0:i386 10.42-1+deb12u2\n"
              "libzmq5:amd64 4.3.4-6\n"
              "tzdata:all 2024a-0+deb12u1\n");
    writeFile(dir / "after",
              "gstreamer1.0-x:amd64 1.22.0-3+deb12u7\n"
              "libpcre2-8-0:amd64 10.42-1\n"
              "libzmq5:amd64 4.3.4-6+deb12u1\n"
              "tzdata:all 2025b-0+deb12u1\n"
              "wine32:i386 8.0~repack-4\n");

    test::Outcome outcome = aptFunction(dir, "qrx_packages_taken_back before after", {});

    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.output,
              "libpcre2-8-0:amd64 10.42-1+deb12u2 -> 10.42-1\n"
              "libpcre2-8-0:i386 10.42-1+deb12u2 -> removed\n");
}

// scripts/install-win-tools.sh run for real against fake apt-get, dpkg,
// dpkg-query and mmdebstrap, on a machine that has everything but Wine.
// The fault it catches: a mirror without its i386 index leads the script to
// take the machine's packages back, to install Wine anyway, or to leave the
// i386 architecture added.
TEST(InstallWinToolsTest, AMirrorWithoutItsI386IndexLeavesTheMachinesPackagesAlone) {
    const std::string lib = std::string(QRX_SOURCE_DIR) + "/scripts/lib";
    if (test::runProgram(
            {"/bin/bash", "-c", "source \"$1/wine.sh\"; qrx_i386_programs_run", "bash", lib}, "/",
            {}, 10000)
            .exitCode != 0)
        GTEST_SKIP() << "32-bit programs do not start here, so wine32 is not wanted";
    const std::string targets =
        "http://deb.debian.org/debian/ bookworm main Debian\n"
        "http://deb.debian.org/debian-security/ bookworm-security main Debian\n";
    struct Case {
        const char* name;
        bool i386Fails;
        const char* installed;  // what apt-get install was asked for
        bool rootBuilt;
    } cases[] = {
        {"every index came", false, "wine64 wine xvfb xauth wine32:i386", false},
        {"the security suite's i386 index is stale", true, "", true},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        test::makeDirs(dir / "bin");
        test::makeDirs(dir / "apt/sources.list.d");
        writeFile(dir / "apt/sources.list.d/debian.sources", kDebianSources);
        const std::map<std::string, std::string> fakes = {
            {"sudo", "exec \"$@\""},
            {"apt-get",
             "case \" $* \" in\n"
             "  *\" update \"*) [ \"$FAIL_I386\" = 1 ] || exit 0\n"
             "    echo 'E: Failed to fetch http://deb.debian.org/debian-security/dists/"
             "bookworm-security/main/binary-i386/Packages.xz  Hash Sum mismatch' >&2; exit 100;;\n"
             "  *\" indextargets \"*) printf '%s' \"$FAKE_TARGETS\";;\n"
             "  *\" install \"*) shift 6; echo \"install $*\" >>\"$CALLS\";;\n"
             "esac"},
            {"dpkg",
             "case \"$1\" in --print-foreign-architectures) ;; --*-architecture) echo \"dpkg $*\" "
             ">>\"$CALLS\";; *) exec /usr/bin/dpkg \"$@\";; esac"},
            {"dpkg-query",
             "case \"$*\" in *wine*|*xvfb*|*xauth*) exit 1;; esac; printf 'install ok installed'"},
            {"mmdebstrap",
             "echo \"mmdebstrap $*\" >>\"$CALLS\"; for a; do case \"$a\" in *.tar) : >\"$a\";; "
             "esac; done"},
        };
        for (const auto& [name, body] : fakes) {
            writeFile(dir / ("bin/" + name), "#!/bin/bash\n" + body + "\n");
            std::filesystem::permissions(dir / ("bin/" + name), std::filesystem::perms::owner_all);
        }

        test::Outcome outcome = test::runProgram(
            {"/bin/bash", std::string(QRX_SOURCE_DIR) + "/scripts/install-win-tools.sh"},
            dir.path(),
            {{"PATH", dir / "bin" + ":/usr/bin:/bin"},
             {"QRX_APT_DIR", dir / "apt"},
             {"QRX_APT_RETRY_SECONDS", "0"},
             {"XDG_CACHE_HOME", dir / "cache"},
             {"CALLS", dir / "calls"},
             {"FAKE_TARGETS", targets},
             {"FAIL_I386", c.i386Fails ? "1" : "0"}},
            30000);

        std::string calls = exists(dir / "calls") ? readFile(dir / "calls") : "";
        EXPECT_EQ(outcome.exitCode, 0) << c.name << "\n" << outcome.output;
        EXPECT_NE(calls.find("dpkg --add-architecture i386"), std::string::npos) << c.name;
        EXPECT_EQ(calls.find("dpkg --remove-architecture i386") != std::string::npos, c.i386Fails)
            << c.name << "\n"
            << calls;
        EXPECT_EQ(calls.find("install " + std::string(c.installed) + "\n") != std::string::npos,
                  *c.installed != '\0')
            << c.name << "\n"
            << calls;
        EXPECT_EQ(calls.find("install") == std::string::npos, *c.installed == '\0')
            << c.name << "\n"
            << calls;
        EXPECT_EQ(exists(dir / "cache/qrx/wine-root.tar"), c.rootBuilt) << c.name;
        if (c.rootBuilt) {
            EXPECT_NE(calls.find("--architectures=amd64,i386"), std::string::npos) << calls;
            EXPECT_NE(calls.find("deb http://deb.debian.org/debian/ bookworm main"),
                      std::string::npos)
                << calls;
            EXPECT_EQ(calls.find("bookworm-security"), std::string::npos) << calls;
        }
    }
}

}  // namespace
}  // namespace qrx
