#!/usr/bin/env bash
# Load test: ROUNDS rounds (default 5) of RECORDS records each (default 600),
# submitted by three clients at once on both endpoints while qrx-desk takes
# them in scan mode 2; checks every record came out once, byte for byte, and
# that the server's memory after each drained round stays flat. The records
# drain at the pace of the 200 ms turns, about 5 a second.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/scripts/install-deps.sh"
BUILD_DIR="$build" "$root/scripts/build.sh" >/dev/null
"$build/qrx-load" "$build/ScanServer" "$build/qrx-desk" "${1:-5}" "${2:-600}"
