// What the MSI package's custom actions do to Server.ini, as plain code over
// the files' bytes: the settings a deployment gives as properties (ADDRESS,
// ADDRESSEX, SCANMODE) written into it, and whether uninstall may remove it.
//
// Three files take part, all in the install folder: Server.ini.default, the
// settings as shipped (a file of the package); Server.ini, the desk's
// settings, which the package never overwrites; and Server.ini.installed,
// Server.ini as the installer last left it. Server.ini is removed at
// uninstall only when nobody at the desk has changed it since: when it is
// the shipped one or the one the installer left.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qrx::installer {

// A property a deployment may set, and the [Server] key it goes to.
struct DeployedSetting {
    const char* property;
    const char* key;
};
extern const DeployedSetting kDeployedSettings[3];

// Why value cannot be written as property's setting; empty when it can. An
// empty value is fine: the property was not given. "|" is refused too: it
// separates the values in the custom actions' data.
std::string deployedSettingProblem(const std::string& property, const std::string& value);

// text with KEY=value in [section]: the key's first line there rewritten in
// place, else a line added at the section's end, else the section added at
// the end of the file, with the file's own line end. Sections and keys match
// without regard to case, as the server reads them; comments and every other
// byte stay as they were.
std::string withIniValue(const std::string& text, const std::string& section,
                         const std::string& key, const std::string& value);

struct SettingsFiles {
    std::string shipped;                   // Server.ini.default
    std::optional<std::string> settings;   // Server.ini, if there is one
    std::optional<std::string> installed;  // Server.ini.installed, if any
};

// The files after an install or upgrade that was given values (key, value;
// empty values skipped): Server.ini made from the shipped one when there is
// none, the values written into it; Server.ini.installed follows it when
// the desk had not changed it.
SettingsFiles afterInstall(SettingsFiles files,
                           const std::vector<std::pair<std::string, std::string>>& values);

// Server.ini and Server.ini.installed as the installed copy has them, kept
// by an upgrade before it removes that copy, as text an MSI property can
// carry (hex, "-" for a missing file). The removal takes both away where it
// does not know it is part of an upgrade (Wine's msiexec does not say so).
std::string keptSettings(const SettingsFiles& files);
// files with what kept holds put back where a file is missing now.
SettingsFiles withKept(SettingsFiles files, const std::string& kept);

// True when the desk has not changed Server.ini, so uninstall removes it.
bool unchangedByDesk(const SettingsFiles& files);

}  // namespace qrx::installer
