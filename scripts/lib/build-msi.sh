#!/usr/bin/env bash
# Builds the MSI package from the staged delivery with wixl:
#   build-msi.sh VERSION FILES ACTIONS OUT
# FILES holds ScanServer.exe, qrx-client.exe, README.txt and Server.ini as
# package-win.sh stages them; ACTIONS is qrx-msi-actions.dll. Called by
# package-win.sh, and by the Wine checks for a newer package to upgrade to.
source "$(dirname "$0")/strict.sh"
root="$(cd "$(dirname "$0")/../.." && pwd)"
[ $# -eq 4 ] || { echo "usage: build-msi.sh VERSION FILES ACTIONS OUT" >&2; exit 2; }
# wixl finds sources only by paths relative to its working folder.
files="$(realpath "$2")" actions="$(realpath "$3")" out="$(realpath -m "$4")"
cd /
wixl -a x86 -D Version="$1" -D Files="${files#/}" -D Actions="${actions#/}" -o "$out" \
    "$root/win32/installer/QRXScanServer.wxs"
# Rows wixl cannot write. The deployment's properties pass to the
# installing service in a managed install (group policy) too, as the
# upgrade's own do. The event source's message file is REG_EXPAND_SZ
# ("#%"), which wixl writes as plain text. The upgrade takes another build
# of the same version too (VersionMax inclusive, 512), so that two builds of
# one version never stand side by side.
properties="$(msiinfo export "$out" Property | tr -d '\r')"
secure="$(sed -n 's/^SecureCustomProperties\t//p' <<<"$properties")"
upgrade_code="$(sed -n 's/^UpgradeCode\t//p' <<<"$properties")"
msibuild "$out" -q "UPDATE Property SET Value = '$secure;ADDRESS;ADDRESSEX;SCANMODE' WHERE Property = 'SecureCustomProperties'"
msibuild "$out" -q "UPDATE Registry SET Value = '#%[INSTALLDIR]ScanServer.exe' WHERE Name = 'EventMessageFile'"
msibuild "$out" -q "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"
msibuild "$out" -q "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES ('$upgrade_code', '$1', 513, 'WIX_UPGRADE_DETECTED')"
