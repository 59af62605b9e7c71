#!/usr/bin/env bash
# Makes the Windows delivery of the 32-bit server (the deployed form) in
# dist/: QRXScanServer-VERSION-setup.exe, an NSIS installer for a desk;
# QRXScanServer-VERSION.msi, a Windows Installer package for deployment to
# many desks (win32/installer/QRXScanServer.wxs, built with wixl); and
# QRXScanServer-VERSION.zip with the same files for a manual install
# (ScanServer.exe, qrx-client.exe, Server.ini, README.txt). VERSION is the
# one in CMakeLists.txt's project(). Builds what is missing first.
# Signed when QRX_SIGN_PFX names a PKCS#12 certificate file and
# QRX_SIGN_PASSWORD gives its password (QRX_SIGN_TIMESTAMP_URL, optional,
# an RFC 3161 timestamp server): ScanServer.exe and qrx-client.exe, the
# uninstaller before it is packed, the MSI's custom actions before they are
# packed, the setup and the MSI (scripts/lib/sign-win.sh).
# Without them everything is unsigned, and one line says so.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build_win="$(realpath -m "${BUILD_WIN_DIR:-$root/build-win}")"
dist="$(realpath -m "${QRX_DIST_DIR:-$root/dist}")"
version="$(sed -n 's/^project(QrxScanServer VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || { echo "package-win.sh: no version in CMakeLists.txt's project()" >&2; exit 1; }
sign=()
nsis_sign=()
if [ -n "${QRX_SIGN_PFX:-}" ]; then
    [ -f "$QRX_SIGN_PFX" ] || { echo "package-win.sh: QRX_SIGN_PFX: no file $QRX_SIGN_PFX" >&2; exit 1; }
    [ -n "${QRX_SIGN_PASSWORD+set}" ] ||
        { echo "package-win.sh: QRX_SIGN_PFX is given but QRX_SIGN_PASSWORD is not" >&2; exit 1; }
    sign=("$root/scripts/lib/sign-win.sh")
    nsis_sign=(-DSIGN_COMMAND="${sign[0]}")
elif [ -n "${QRX_SIGN_PASSWORD:-}${QRX_SIGN_TIMESTAMP_URL:-}" ]; then
    echo "package-win.sh: QRX_SIGN_PASSWORD or QRX_SIGN_TIMESTAMP_URL is given without QRX_SIGN_PFX" >&2
    exit 1
else
    echo "package-win: unsigned (no QRX_SIGN_PFX and QRX_SIGN_PASSWORD; see docs/development.md)"
fi

BUILD_WIN_DIR="$build_win" "$root/scripts/build-win.sh" i686
files="$build_win/package/files"
rm -rf "$files"
mkdir -p "$files" "$dist"
cp "$build_win/i686/server/ScanServer.exe" "$build_win/i686/server/qrx-client.exe" "$files/"
# The settings file is read in the system's code page (GBK on the desk PCs),
# with Windows line ends.
iconv -f utf-8 -t gbk "$root/win32/installer/Server.ini.in" | sed 's/$/\r/' >"$files/Server.ini"
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' "$root/win32/installer/README.txt" >"$files/README.txt"
actions="$build_win/package/qrx-msi-actions.dll"
cp "$build_win/i686/server/win32/qrx-msi-actions.dll" "$actions"
[ ${#sign[@]} -eq 0 ] || "${sign[@]}" "$files/ScanServer.exe" "$files/qrx-client.exe" "$actions"

setup="$dist/QRXScanServer-$version-setup.exe"
zip="$dist/QRXScanServer-$version.zip"
# makensis signs the uninstaller itself, through SIGN_COMMAND, before packing it.
makensis -V2 -DVERSION="$version" -DFILES="$files" -DOUTFILE="$setup" \
    "${nsis_sign[@]}" "$root/win32/installer/QRXScanServer.nsi"
msi="$dist/QRXScanServer-$version.msi"
"$root/scripts/lib/build-msi.sh" "$version" "$files" "$actions" "$msi"
[ ${#sign[@]} -eq 0 ] || "${sign[@]}" "$setup" "$msi"
rm -f "$zip"
(cd "$files" && zip -q -X "$zip" ScanServer.exe qrx-client.exe Server.ini README.txt)
echo "package-win: $setup"
echo "package-win: $msi"
echo "package-win: $zip"
[ ${#sign[@]} -eq 0 ] || echo "package-win: signed with $QRX_SIGN_PFX"
