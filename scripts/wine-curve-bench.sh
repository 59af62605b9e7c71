#!/usr/bin/env bash
# What CURVE costs on Windows: qrx-curve-bench.exe under Wine, with Xvfb, in
# a Wine prefix of its own (so there is no c:\qrx log folder), against the
# ScanServer.exe beside it; both use the libzmq and cipher of that build.
#   wine-curve-bench.sh [FOLDER [qrx-curve-bench options...]]
# FOLDER holds the two programs; by default the i686 build's server folder,
# built first when missing (scripts/build-win.sh, BUILD_WIN_DIR).
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -gt 0 ]; then
    folder="$(realpath "$1")"
    shift
else
    build_win="$(realpath -m "${BUILD_WIN_DIR:-$root/build-win}")"
    BUILD_WIN_DIR="$build_win" "$root/scripts/build-win.sh" i686
    folder="$build_win/i686/server"
fi
[ -f "$folder/qrx-curve-bench.exe" ] && [ -f "$folder/ScanServer.exe" ] ||
    { echo "wine-curve-bench.sh: no qrx-curve-bench.exe and ScanServer.exe in $folder" >&2; exit 2; }

# The route that runs 32-bit programs on this machine (scripts/lib/wine.sh).
source "$root/scripts/lib/wine.sh"
work="$(mktemp -d /tmp/qrx-wine-bench-XXXXXX)"
export WINEPREFIX="$work/prefix"
cleanup() {
    wineserver -k 2>/dev/null || true
    kill "${QRX_XVFB_PID:-0}" 2>/dev/null || true
    qrx_unregister_qemu
    rm -rf "$work"
}
trap cleanup EXIT
qrx_prepare_wine_route >&2
# wine32 goes in once 32-bit programs run, natively or under the handler.
"$root/scripts/install-win-tools.sh" >&2
qrx_use_wine_from "$root" "$folder" >&2
qrx_start_display
qrx_boot_prefix
cd "$folder"
wine qrx-curve-bench.exe "$@" >"$work/bench.out" 2>&1 || status=$?
tr -d '\r' <"$work/bench.out"
exit "${status:-0}"
