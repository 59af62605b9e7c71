// The MSI package's settings work (win32/installer/deployed_settings.h): the
// properties written into Server.ini so that the server's own reader finds
// them and every other byte stays, and the rule that decides whether
// uninstall removes Server.ini.
#include "deployed_settings.h"

#include <gtest/gtest.h>

#include "settings/ini_file.h"

namespace qrx::installer {
namespace {

// "社会信息采集系统" in GBK, a byte the editor must keep as it is.
const std::string kCaption =
    "Caption=\xc9\xe7\xbb\xe1\xd0\xc5\xcf\xa2\xb2\xc9\xbc\xaf\xcf\xb5\xcd\xb3\r\n";
const std::string kShipped =
    "; settings\r\n[Server]\r\n; the reply socket\r\nAddress=tcp://0.0.0.0:7106\r\n"
    "ScanMode=2\r\n\r\n[SheCai]\r\n" +
    kCaption;

TEST(DeployedSettingsTest, WritesAKeyTheServerReadsAndKeepsEveryOtherByte) {
    const struct {
        const char* what;
        std::string before;
        const char* key;
        std::string after;
    } rows[] = {
        {"a key rewritten in place", kShipped, "Address",
         "; settings\r\n[Server]\r\n; the reply socket\r\nAddress=tcp://10.0.0.5:7106\r\n"
         "ScanMode=2\r\n\r\n[SheCai]\r\n" +
             kCaption},
        {"a missing key added at its section's end, before the blank line", kShipped, "AddressEx",
         "; settings\r\n[Server]\r\n; the reply socket\r\nAddress=tcp://0.0.0.0:7106\r\n"
         "ScanMode=2\r\nAddressEx=tcp://10.0.0.5:7106\r\n\r\n[SheCai]\r\n" +
             kCaption},
        {"names matched without regard to case, the first line of the first section",
         "[server]\nADDRESS = old\naddress=second\n[Server]\nAddress=third\n", "Address",
         "[server]\nAddress=tcp://10.0.0.5:7106\naddress=second\n[Server]\nAddress=third\n"},
        {"a commented-out key, or one in another section, left alone",
         "[SheCai]\r\nAddress=x\r\n[Server]\r\n;Address=y", "Address",
         "[SheCai]\r\nAddress=x\r\n[Server]\r\n;Address=y\r\nAddress=tcp://10.0.0.5:7106\r\n"},
        {"a second [Server], which the server never reads, left alone; LF kept",
         "[Server]\nScanMode=2\n[SheCai]\nX=1\n[Server]\nAddress=second\n", "Address",
         "[Server]\nScanMode=2\nAddress=tcp://"
         "10.0.0.5:7106\n[SheCai]\nX=1\n[Server]\nAddress=second\n"},
        {"a header without its \"]\", which the server still reads as [Server]",
         "[Server\r\nScanMode=2\r\n", "Address",
         "[Server\r\nScanMode=2\r\nAddress=tcp://10.0.0.5:7106\r\n"},
        {"no section: added at the end", "[SheCai]\r\n" + kCaption, "Address",
         "[SheCai]\r\n" + kCaption + "[Server]\r\nAddress=tcp://10.0.0.5:7106\r\n"},
        {"an empty file", "", "Address", "[Server]\r\nAddress=tcp://10.0.0.5:7106\r\n"},
    };
    for (const auto& row : rows) {
        const std::string after =
            withIniValue(row.before, "Server", row.key, "tcp://10.0.0.5:7106");
        EXPECT_EQ(after, row.after) << row.what;
        std::string read;
        EXPECT_TRUE(findProfileValue(after, "Server", row.key, &read)) << row.what;
        EXPECT_EQ(read, "tcp://10.0.0.5:7106") << row.what;
    }
}

TEST(DeployedSettingsTest, RefusesValuesThatWouldMakeLinesOrAScanModeTheServerDoesNotHave) {
    const struct {
        const char* property;
        const char* value;
        bool refused;
    } rows[] = {
        {"ADDRESS", "tcp://0.0.0.0:7106", false},
        {"ADDRESS", "", false},
        {"ADDRESS", "tcp://x:1\r\nMaxConnections=0", true},
        {"ADDRESSEX", "tcp://x:1\tz", true},
        {"ADDRESSEX", "tcp://x:1|y", true},
        {"SCANMODE", "3", false},
        {"SCANMODE", "4", true},
        {"SCANMODE", "22", true},
        {"SCANMODE", "a", true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(!deployedSettingProblem(row.property, row.value).empty(), row.refused)
            << row.property << "=" << row.value;
}

TEST(DeployedSettingsTest, UninstallRemovesServerIniOnlyWhenTheDeskLeftItAsTheInstallerDid) {
    const std::vector<std::pair<std::string, std::string>> address = {{"Address", "tcp://a:1"}},
                                                           none = {{"Address", ""}};
    const std::string withAddress = withIniValue(kShipped, "Server", "Address", "tcp://a:1");
    // A first install with the property, then the desk's own edit.
    SettingsFiles first = afterInstall({kShipped, std::nullopt, std::nullopt}, address);
    EXPECT_EQ(first.settings, withAddress);
    EXPECT_EQ(first.installed, withAddress);
    EXPECT_TRUE(unchangedByDesk(first));
    SettingsFiles edited = first;
    edited.settings = withIniValue(*first.settings, "Server", "WaitTime", "99");
    EXPECT_FALSE(unchangedByDesk(edited));
    // An upgrade without the property keeps the desk's edit, and it is kept
    // at uninstall; one that gives it again writes it and still keeps it.
    EXPECT_EQ(afterInstall(edited, none).settings, edited.settings);
    EXPECT_FALSE(unchangedByDesk(afterInstall(edited, none)));
    const SettingsFiles again = afterInstall(edited, {{"Address", "tcp://b:2"}});
    EXPECT_EQ(again.installed, first.installed);
    EXPECT_FALSE(unchangedByDesk(again));
    // Untouched by the desk, a property given again moves the installer's copy.
    const SettingsFiles moved = afterInstall(first, {{"Address", "tcp://b:2"}});
    EXPECT_EQ(moved.installed, moved.settings);
    EXPECT_TRUE(unchangedByDesk(moved));
    // Left by an earlier uninstall (changed) or copied by hand: no installer
    // copy, so only the shipped bytes count as unchanged.
    EXPECT_FALSE(unchangedByDesk({kShipped, withAddress, std::nullopt}));
    EXPECT_TRUE(unchangedByDesk({kShipped, kShipped, std::nullopt}));
    EXPECT_FALSE(unchangedByDesk({kShipped, std::nullopt, std::nullopt}));
}

// An upgrade keeps the installed copy's files before the older version's
// removal runs, which under Wine does not know it is part of an upgrade and
// takes them away; they come back byte for byte, and only where missing.
TEST(DeployedSettingsTest, AnUpgradePutsBackOnlyWhatTheRemovalTookAway) {
    const std::string deployed = withIniValue(kShipped, "Server", "Address", "tcp://a:1");
    const SettingsFiles before{kShipped, deployed, deployed};
    const std::string kept = keptSettings(before);
    const struct {
        const char* what;
        SettingsFiles now;
        std::string kept;
        std::optional<std::string> settings, installed;
    } rows[] = {
        {"both taken away: both back",
         {kShipped, std::nullopt, std::nullopt},
         kept,
         deployed,
         deployed},
        {"still there: left as they are now",
         {kShipped, kShipped, kShipped},
         kept,
         kShipped,
         kShipped},
        {"nothing kept (a first install)",
         {kShipped, std::nullopt, std::nullopt},
         "",
         std::nullopt,
         std::nullopt},
        {"a copy without Server.ini.installed",
         {kShipped, std::nullopt, std::nullopt},
         keptSettings({kShipped, deployed, std::nullopt}),
         deployed,
         std::nullopt},
        {"kept text that is not hex",
         {kShipped, std::nullopt, std::nullopt},
         "3z,-",
         std::nullopt,
         std::nullopt},
    };
    for (const auto& row : rows) {
        const SettingsFiles back = withKept(row.now, row.kept);
        EXPECT_EQ(back.settings, row.settings) << row.what;
        EXPECT_EQ(back.installed, row.installed) << row.what;
    }
    // Put back, the deployed Address survives an upgrade given no property.
    const SettingsFiles upgraded =
        afterInstall(withKept({kShipped, std::nullopt, std::nullopt}, kept), {{"Address", ""}});
    EXPECT_EQ(upgraded.settings, deployed);
    EXPECT_TRUE(unchangedByDesk(upgraded));
}

}  // namespace
}  // namespace qrx::installer
