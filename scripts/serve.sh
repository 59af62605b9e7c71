#!/usr/bin/env bash
# Quick start: installs what is missing, builds the server, prepares the
# prefix on first run and starts the server in the foreground (Ctrl-C ends it).
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
BUILD_DIR="${BUILD_DIR:-$root/build}" BUILD_TARGET=ScanServer "$root/scripts/build.sh"
"$root/scripts/prepare-prefix.sh"
prefix="${QRX_PREFIX:-$HOME/.qrx}"
echo "ScanServer: prefix $prefix, log $prefix/drive_c/qrx/sock.log"
cd "$prefix"
exec "${BUILD_DIR:-$root/build}/ScanServer"
