#!/usr/bin/env bash
# Makes the Windows delivery of the 32-bit server (the deployed form) in
# dist/: QRXScanServer-VERSION-setup.exe, an NSIS installer, and
# QRXScanServer-VERSION.zip with the same files for a manual install
# (ScanServer.exe, qrx-client.exe, Server.ini, README.txt). VERSION is the
# one in CMakeLists.txt's project(). Builds what is missing first.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build_win="$(realpath -m "${BUILD_WIN_DIR:-$root/build-win}")"
dist="$(realpath -m "${QRX_DIST_DIR:-$root/dist}")"
version="$(sed -n 's/^project(QrxScanServer VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || { echo "package-win.sh: no version in CMakeLists.txt's project()" >&2; exit 1; }

BUILD_WIN_DIR="$build_win" "$root/scripts/build-win.sh" i686
files="$build_win/package/files"
rm -rf "$files"
mkdir -p "$files" "$dist"
cp "$build_win/i686/server/ScanServer.exe" "$build_win/i686/server/qrx-client.exe" "$files/"
# The settings file is read in the system's code page (GBK on the desk PCs),
# with Windows line ends.
iconv -f utf-8 -t gbk "$root/win32/installer/Server.ini.in" | sed 's/$/\r/' >"$files/Server.ini"
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' "$root/win32/installer/README.txt" >"$files/README.txt"

setup="$dist/QRXScanServer-$version-setup.exe"
zip="$dist/QRXScanServer-$version.zip"
makensis -V2 -DVERSION="$version" -DFILES="$files" -DOUTFILE="$setup" \
    "$root/win32/installer/QRXScanServer.nsi"
rm -f "$zip"
(cd "$files" && zip -q -X "$zip" ScanServer.exe qrx-client.exe Server.ini README.txt)
echo "package-win: $setup"
echo "package-win: $zip"
