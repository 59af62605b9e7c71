#!/usr/bin/env bash
# A desk's month under faults: qrx-soak against one build of the server.
#
#   scripts/soak.sh --build posix [--cards N] [--minutes M] [--out DIR]
#
# N cards (default 10,000, a busy desk's month) in two halves: scan mode 2,
# then scan mode 1 with the server restarted. Four clients submit them
# (one card in a hundred is bad input) while the desk takes every record
# and checks it byte for byte; five faults come and go on a schedule (the
# prompt box, a full disk, a result folder that cannot be written, the log
# made append-only, hostile connections), and the server's memory, open
# files, threads, queue and latency are sampled every few seconds.
# Writes samples.csv, faults.csv and summary.txt into DIR (default
# build/soak-posix) and exits 0 when the run passed. The faults mount
# tmpfs file systems and use chattr, so it runs as root; the machine
# folder lives under /var/tmp, on a file system that has chattr.
#
# Only the POSIX build runs here for now (the i686 build under Wine is to
# come).
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

usage() {
    sed -n '3,4p' "$0" | sed 's/^# *//' >&2
    exit 2
}
target="" cards=10000 minutes="" out="" reply_port=7306 router_port=7307
while [ $# -gt 0 ]; do
    case "$1" in
        --build) target="${2:-}"; shift 2 ;;
        --cards) cards="${2:-}"; shift 2 ;;
        --minutes) minutes="${2:-}"; shift 2 ;;
        --out) out="${2:-}"; shift 2 ;;
        --ports) read -r reply_port router_port <<<"${2//,/ }"; shift 2 ;;
        -h | --help) usage ;;
        *) echo "soak.sh: unknown argument $1" >&2; usage ;;
    esac
done
case "$target" in
    posix) ;;
    i686) echo "soak.sh: the i686 build under Wine is not ready yet; use --build posix" >&2; exit 2 ;;
    *) usage ;;
esac
[ "$(id -u)" = 0 ] || { echo "soak.sh: the faults mount file systems: run as root" >&2; exit 2; }
for port in "$reply_port" "$router_port"; do
    if [ -n "$(ss -Hltn "sport = :$port")" ]; then
        echo "soak.sh: port $port is in use; give two others with --ports \"R S\"" >&2
        exit 2
    fi
done

"$root/scripts/install-deps.sh"
BUILD_DIR="$build" BUILD_TARGET="ScanServer qrx-soak qrx-attack qrx-desk" "$root/scripts/build.sh" >/dev/null
out="${out:-$build/soak-$target}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

work="$(mktemp -d /var/tmp/qrx-soak.XXXXXX)"
prefix="$work/machine"
actions="$root/scripts/lib/soak-posix.sh"
cleanup() {
    "$actions" stop-server >/dev/null 2>&1 || true
    "$actions" phase-end >/dev/null 2>&1 || true
    cp "$work/server.out" "$out/server.out" 2>/dev/null || true
    rm -rf "$work"
}
export QRX_SOAK_PREFIX="$prefix" QRX_SOAK_BUILD="$build" QRX_SOAK_SERVER="$build/ScanServer"
export QRX_SOAK_WORK="$work" QRX_SOAK_REPLY_PORT="$reply_port" QRX_SOAK_ROUTER_PORT="$router_port"
trap cleanup EXIT

# The machine: the log folder, the result folders, the command file, the
# registry key naming them, an empty desktop, and the desk's own folder.
mkdir -p "$prefix/drive_c/qrx" "$prefix/drive_c/scan/result" "$prefix/drive_c/scan/result_jw" \
    "$prefix/desktop" "$prefix/drive_c/soak"
printf '%s\r\n' \
    'Windows Registry Editor Version 5.00' \
    '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane]' \
    "\"ScanCmdPath\"=\"$prefix/drive_c/scan/scancmd.scc\"" \
    "\"ScanResult\"=\"$prefix/drive_c/scan/result/\"" \
    "\"ScanResult_jw\"=\"$prefix/drive_c/scan/result_jw/\"" >"$prefix/registry.reg"

args=(--build "$target" --actions "$actions" --prefix "$prefix" --out "$out"
    --reply "tcp://127.0.0.1:$reply_port" --router "tcp://127.0.0.1:$router_port" --cards "$cards")
[ -n "$minutes" ] && args+=(--minutes "$minutes")
status=0
"$build/qrx-soak" "${args[@]}" || status=$?
# The log's rotations, for the summary's reader.
ls -l "$prefix/drive_c/qrx" >"$out/log-folder.txt" 2>&1 || true
echo "soak.sh: samples, faults and summary in $out"
exit "$status"
