#!/usr/bin/env bash
# A desk's month under faults: qrx-soak against one build of the server.
#
#   scripts/soak.sh --build posix|i686 [--cards N] [--minutes M] [--out DIR]
#                   [--ports "R S"]
#
# N cards (default 10,000, a busy desk's month) in scan mode 2. Two clients
# submit them (one card in a hundred is bad input) while the desk takes
# every record and checks it byte for byte; five faults come and go (the
# prompt box, a full disk, a result folder that cannot be written, the log
# held, hostile connections), and the server's memory, handles and queue are
# sampled every 5 s. Writes samples.csv, faults.csv, summary.txt and
# soak.png into DIR (default build-release/soak-BUILD). Exits 0 when the run
# passed, 1 when it failed, 2 when it cannot start (wrong arguments, not
# root, a port in use, chattr refused), or with a failing step's own status.
# It mounts tmpfs file systems and its faults use chattr, so it runs as
# root; the machine folder lives under /var/tmp, on a file system that has
# chattr.
#
# --build i686: ScanServer.exe under Wine (the route scripts/lib/wine.sh
# chooses), on a fresh Wine prefix with Xvfb; qrx-procstat.exe counts the
# server's handles. The clients, the desk, the attack and the record checks
# stay on the Linux side.
source "$(dirname "$0")/lib/strict.sh"
source "$(dirname "$0")/lib/wine.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
# The Release build, as shipped and as scripts/bench.sh times it.
build="${BUILD_DIR:-$root/build-release}"

usage() {
    sed -n '3,5p' "$0" | sed 's/^# *//' >&2
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
    posix | i686) ;;
    *) usage ;;
esac
[ "$(id -u)" = 0 ] || { echo "soak.sh: it mounts file systems and its faults use chattr: run as root" >&2; exit 2; }
# ss to see the ports, gnuplot for the picture.
"$root/scripts/install-deps.sh" iproute2 gnuplot-nox
for port in "$reply_port" "$router_port"; do
    if [ -n "$(ss -Hltn "sport = :$port")" ]; then
        echo "soak.sh: port $port is in use; give two others with --ports \"R S\"" >&2
        exit 2
    fi
done

BUILD_DIR="$build" BUILD_TARGET="ScanServer qrx-soak qrx-attack qrx-desk" \
    "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
if [ "$target" = i686 ]; then
    qrx_prepare_wine_route
    "$root/scripts/install-win-tools.sh"
    qrx_use_wine_from "$root" "$build"
    build_win="$(realpath -m "${BUILD_WIN_DIR:-$root/build-win}")"
    BUILD_WIN_DIR="$build_win" "$root/scripts/build-win.sh" i686 >/dev/null
    exes="$build_win/i686/server"
fi
out="${out:-$build/soak-$target}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

work="$(mktemp -d /var/tmp/qrx-soak.XXXXXX)"
qrx_share_folder "$work"
# The machine: the POSIX stand-in's prefix, or the Wine prefix.
prefix="$work/machine"
actions="$root/scripts/lib/soak-actions.sh"
cleanup() {
    "$actions" stop-server >/dev/null 2>&1 || true
    "$actions" faults-end >/dev/null 2>&1 || true
    umount -l "$prefix/drive_c/scan/result" "$prefix/drive_c/scan/result_jw" \
        "$prefix/drive_c/scan" 2>/dev/null || true
    # For a reader of a failed run: what the server said last.
    cp "$work/server.out" "$prefix/drive_c/qrx/sock.log" "$out/" 2>/dev/null || true
    if [ "$target" = i686 ]; then
        timeout 30 wineserver -k 2>/dev/null || true
        kill "${QRX_XVFB_PID:-0}" 2>/dev/null || true
        qrx_unregister_qemu
    fi
    qrx_unshare_folder "$work"
    rm -rf "$work"
}
export QRX_SOAK_TARGET="$target" QRX_SOAK_PREFIX="$prefix" QRX_SOAK_BUILD="$build"
export QRX_SOAK_WORK="$work" QRX_SOAK_REPLY_PORT="$reply_port" QRX_SOAK_ROUTER_PORT="$router_port"
trap cleanup EXIT

# The machine: the log folder, the result folders, the command file, the
# registry key naming them, an empty desktop, and the folder the desk takes
# records into.
# The scan folder is a tmpfs: on this machine's disk the server's flush of
# each record costs 11 ms (qrx-record-bench), which a client arriving
# meanwhile waits out. The log stays on the disk.
if [ "$target" = i686 ]; then
    export WINEPREFIX="$prefix"
    qrx_start_display
    qrx_boot_prefix 300 || { echo "soak.sh: the Wine prefix did not settle within 300 s" >&2; exit 1; }
fi
mkdir -p "$prefix/drive_c/qrx" "$prefix/drive_c/scan" "$prefix/desktop" \
    "$prefix/drive_c/soak/taken" "$prefix/drive_c/srv"
mount -t tmpfs -o size=16m tmpfs "$prefix/drive_c/scan"
# Each result folder a tmpfs of its own, which the full-disk fault fills.
for folder in result result_jw; do
    mkdir -p "$prefix/drive_c/scan/$folder"
    mount -t tmpfs -o size=128m tmpfs "$prefix/drive_c/scan/$folder"
done
# The faults' chattr, tried before the run rather than found missing at its
# first fault: on a result folder's tmpfs (from Linux 6.0 on) and, on
# POSIX, where the log viewer makes sock.log append-only.
chattr_dirs=("$prefix/drive_c/scan/result")
if [ "$target" = posix ]; then chattr_dirs+=("$prefix/drive_c/qrx"); fi
for dir in "${chattr_dirs[@]}"; do
    chattr +i "$dir" 2>/dev/null && chattr -i "$dir" || {
        echo "soak.sh: chattr +i is refused in $dir; the faults need it (tmpfs has it from Linux 6.0 on)" >&2
        exit 2
    }
done
if [ "$target" = posix ]; then
    printf '%s\r\n' \
        'Windows Registry Editor Version 5.00' \
        '' \
        '[HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane]' \
        "\"ScanCmdPath\"=\"$prefix/drive_c/scan/scancmd.scc\"" \
        "\"ScanResult\"=\"$prefix/drive_c/scan/result/\"" \
        "\"ScanResult_jw\"=\"$prefix/drive_c/scan/result_jw/\"" >"$prefix/registry.reg"
else
    cp "$exes/ScanServer.exe" "$exes/win32/qrx-windesk.exe" "$exes/win32/qrx-procstat.exe" \
        "$prefix/drive_c/srv/"  # qrx-windesk for the prompt box and the log viewer
    for value in 'ScanCmdPath c:\scan\scancmd.scc' 'ScanResult c:\scan\result\' \
        'ScanResult_jw c:\scan\result_jw\'; do
        timeout 60 wine reg add 'HKLM\SOFTWARE\Quorvane' /v "${value%% *}" /t REG_SZ \
            /d "${value#* }" /f /reg:32 >/dev/null 2>&1
    done
fi

args=(--build "$target" --actions "$actions" --prefix "$prefix" --out "$out"
    --reply "tcp://127.0.0.1:$reply_port" --router "tcp://127.0.0.1:$router_port" --cards "$cards")
[ -n "$minutes" ] && args+=(--minutes "$minutes")
[ "$target" = i686 ] && args+=(--stats-file "$work/stats.txt")
status=0
# The clients, the desk and the faults yield to the server: on a desk they
# are other PCs (the actions start the server at this script's niceness).
export QRX_SOAK_NICE="$(nice)"
nice -n 10 "$build/qrx-soak" "${args[@]}" || status=$?
# The log's rotations, for the summary's reader.
ls -l "$prefix/drive_c/qrx" >"$out/log-folder.txt" 2>&1 || true
if [ "$status" -ne 0 ]; then
    # What CI shows of a failed run is its last lines: the last words of
    # the server and its log (each line cut short of a request's
    # photographs) come after the summary.
    for file in "$work/server.out" "$prefix/drive_c/qrx/sock.log"; do
        echo "soak.sh: the last lines of $(basename "$file"):"
        tail -n 6 "$file" 2>/dev/null | cut -c 1-200 | sed 's/^/    /' || true
    done
fi
"$root/scripts/lib/soak-plot.sh" "$out" "qrx-soak, $target build: $cards cards" || status=1
echo "soak.sh: samples, faults and summary in $out"
exit "$status"
