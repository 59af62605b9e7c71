#!/usr/bin/env bash
# What a log that another program holds costs a request. With
# MaxLogSize=64MB, times one client's code requests (qrx-bench --endpoint),
# first with the log free, then with sock.log grown to 64 MiB and held so
# that it can be neither renamed nor cut; checks that sock.log.1 is the same
# afterwards (sha256) and that the log is rotated once it is let go.
#
#   log-held-bench.sh posix [SCANSERVER]
#       sock.log made append-only (chattr +a): run as root, in a folder on a
#       file system that has append-only files (ext4 does, tmpfs does not):
#       QRX_BENCH_DIR, default /var/tmp. SCANSERVER defaults to the Release
#       build's (build-release/, made when missing).
#   log-held-bench.sh wine [FOLDER]
#       the Windows build under Wine, sock.log held by qrx-windesk.exe as a
#       reader that shares only reading (.NET's File.OpenRead, Excel). FOLDER
#       holds ScanServer.exe, and qrx-windesk.exe there or in win32/;
#       default: the i686 build's server folder (scripts/build-win.sh,
#       BUILD_WIN_DIR).
#
# QRX_BENCH_SECONDS and QRX_BENCH_ROUNDS: each measurement's runs (2 s, 5).
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
mode="${1:-}"
seconds="${QRX_BENCH_SECONDS:-2}"
rounds="${QRX_BENCH_ROUNDS:-5}"
BUILD_DIR="$root/build-release" BUILD_TARGET="qrx-bench qrx-client ScanServer" \
    "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release >/dev/null
bench="$root/build-release/qrx-bench"
client="$root/build-release/qrx-client"

case "$mode" in
    posix)
        server="$(realpath "${2:-$root/build-release/ScanServer}")"
        work="$(mktemp -d "${QRX_BENCH_DIR:-/var/tmp}/qrx-log-held-XXXXXX")"
        log_dir="$work/prefix/drive_c/qrx"
        reply="ipc://$work/reply.ipc"
        router="ipc://$work/router.ipc"
        mkdir -p "$log_dir" "$work/bin"
        cp "$server" "$work/bin/ScanServer"
        ;;
    wine)
        build_win="$(realpath -m "${BUILD_WIN_DIR:-$root/build-win}")"
        folder="$(realpath "${2:-$build_win/i686/server}")"
        [ -n "${2:-}" ] || BUILD_WIN_DIR="$build_win" "$root/scripts/build-win.sh" i686
        source "$root/scripts/lib/wine.sh"
        qrx_prepare_wine_route
        "$root/scripts/install-win-tools.sh"
        qrx_use_wine_from "$root" "$folder"
        work="$(mktemp -d /tmp/qrx-log-held-XXXXXX)"
        export WINEPREFIX="$work/prefix"
        qrx_start_display
        qrx_boot_prefix
        log_dir="$WINEPREFIX/drive_c/qrx"
        port=$((20000 + RANDOM % 20000))
        reply="tcp://127.0.0.1:$port"
        router="tcp://127.0.0.1:$((port + 1))"
        mkdir -p "$log_dir" "$work/bin"
        windesk="$folder/win32/qrx-windesk.exe"
        [ -f "$windesk" ] || windesk="$folder/qrx-windesk.exe"
        cp "$folder/ScanServer.exe" "$windesk" "$work/bin/"
        ;;
    *)
        echo "usage: log-held-bench.sh posix [SCANSERVER] | wine [FOLDER]" >&2
        exit 3
        ;;
esac
server_pid=""
holder_pid=""
cleanup() {
    chattr -a "$log_dir/sock.log" 2>/dev/null || true
    [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    if [ "$mode" = wine ]; then
        wineserver -k 2>/dev/null || true
        kill "$QRX_XVFB_PID" 2>/dev/null || true
        qrx_unregister_qemu
    fi
    rm -rf "$work"
}
trap cleanup EXIT

printf '[Server]\r\nAddress=%s\r\nAddressEx=%s\r\nScanMode=0\r\nMaxLogSize=64MB\r\n' \
    "$reply" "$router" >"$work/bin/Server.ini"
head -c $((1 << 20)) /dev/urandom | base64 >"$log_dir/sock.log.1"
if [ "$mode" = posix ]; then
    (cd "$work/bin" && QRX_PREFIX="$work/prefix" exec ./ScanServer >"$work/server.out" 2>&1) &
else
    (cd "$work/bin" && exec wine ScanServer.exe >"$work/server.out" 2>&1) &
fi
server_pid=$!
for _ in $(seq 100); do
    "$client" --endpoint "$reply" --timeout 500 code >/dev/null 2>&1 && break
    sleep 0.2
done

echo "== the log free ($mode)"
"$bench" --endpoint "$reply" "$seconds" "$rounds"

# A full log: the next line would take it past MaxLogSize.
{
    head -c $(((64 << 20) - 2)) /dev/zero | tr '\0' .
    printf '\r\n'
} >>"$log_dir/sock.log"
checksum() { sha256sum <"$log_dir/sock.log.1" 2>/dev/null || echo "(no sock.log.1)"; }
older_before="$(checksum)"
if [ "$mode" = posix ]; then
    chattr +a "$log_dir/sock.log"
    echo "== sock.log append-only (chattr +a), $(stat -c %s "$log_dir/sock.log") bytes"
else
    hold_ms=$(((seconds * rounds + 60) * 1000))
    (cd "$work/bin" && exec wine qrx-windesk.exe read-only 'c:\qrx\sock.log' "$hold_ms" \
        >"$work/holder.out" 2>&1) &
    holder_pid=$!
    for _ in $(seq 100); do
        grep -q holding "$work/holder.out" 2>/dev/null && break
        sleep 0.2
    done
    grep -q holding "$work/holder.out" || { cat "$work/holder.out"; exit 1; }
    echo "== sock.log held by a reader that shares only reading, $(stat -c %s "$log_dir/sock.log") bytes"
fi
"$bench" --endpoint "$reply" "$seconds" "$rounds"
older_after="$(checksum)"
if [ "$older_before" = "$older_after" ]; then
    echo "sock.log.1 unchanged: ${older_after%% *}"
else
    echo "sock.log.1 CHANGED: ${older_before%% *} -> ${older_after%% *}"
fi
if [ "$mode" = posix ]; then
    grep -a 'cannot be rotated' "$log_dir/sock.log" | head -1 | tr -d '\r' || true
else
    # The reader lets nobody write the file: the failure's line is lost too.
    echo "(no line gets into sock.log while the reader holds it, nor the failure's)"
fi

# Let go: the rotation is tried again within a minute and works.
if [ "$mode" = posix ]; then
    chattr -a "$log_dir/sock.log"
else
    kill "$holder_pid" 2>/dev/null
    wait "$holder_pid" 2>/dev/null || true
    holder_pid=""
fi
deadline=$((SECONDS + 90))
until grep -aq 'is rotated again' "$log_dir/sock.log" 2>/dev/null; do
    [ "$SECONDS" -ge "$deadline" ] && { echo "not rotated within 90 s of being let go"; exit 1; }
    "$client" --endpoint "$reply" code >/dev/null || true
    sleep 1
done
grep -a 'is rotated again' "$log_dir/sock.log" | tr -d '\r'
[ "$older_before" = "$older_after" ]
