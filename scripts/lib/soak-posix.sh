#!/usr/bin/env bash
# The soak's actions on the POSIX build, run by qrx-soak as
# soak-posix.sh NAME ARGS... (see scripts/soak.sh, which exports the
# QRX_SOAK_* variables). What differs between the builds stays in a script
# like this one; qrx-soak itself only drives clients, desk and samples.
#
#   start-server MODE                 starts the server in scan mode MODE,
#                                     prints its PID
#   stop-server                       ends it
#   phase-end                         takes every fault's trace away
#   fault-begin NAME FOLDER SECONDS PID, fault-end NAME FOLDER
#       prompt-box    the prompt box open on the desktop
#       full-disk     a full tmpfs over the result folder, then room again
#       unwritable    a read-only tmpfs over the result folder, then writable
#       log-viewer    sock.log append-only (chattr +a: it cannot be renamed)
#       connections   qrx-attack's hostile connections, one burst after another
#
# The two folder faults leave their tmpfs mounted (writable, with room)
# until phase-end, so that records written after the fault stay where the
# desk reads them; qrx-soak takes what is left before phase-end.
source "$(dirname "$0")/strict.sh"
: "${QRX_SOAK_PREFIX:?}" "${QRX_SOAK_BUILD:?}" "${QRX_SOAK_SERVER:?}" "${QRX_SOAK_WORK:?}"
: "${QRX_SOAK_REPLY_PORT:?}" "${QRX_SOAK_ROUTER_PORT:?}"
prefix="$QRX_SOAK_PREFIX"
work="$QRX_SOAK_WORK"
bin="$work/bin"
scan="$prefix/drive_c/scan"
log="$prefix/drive_c/qrx/sock.log"

# The folder of a fault on a result folder, only result or result_jw.
folder_of() {
    case "$1" in
        result | result_jw) echo "$scan/$1" ;;
        *) echo "soak-posix.sh: no result folder \"$1\"" >&2; return 2 ;;
    esac
}

# Whether something listens on a TCP port of this machine.
listening() {
    [ -n "$(ss -Hltn "sport = :$1")" ]
}

start_server() {
    mkdir -p "$bin"
    cp "$QRX_SOAK_SERVER" "$bin/ScanServer"
    printf '[Server]\r\nAddress=tcp://127.0.0.1:%s\r\nAddressEx=tcp://127.0.0.1:%s\r\nScanMode=%s\r\nMaxLogSize=1MB\r\n' \
        "$QRX_SOAK_REPLY_PORT" "$QRX_SOAK_ROUTER_PORT" "$1" >"$bin/Server.ini"
    # A simple command in the background, so that $! is the server itself;
    # it reads Server.ini from its own folder.
    cd "$bin"
    QRX_PREFIX="$prefix" setsid ./ScanServer >>"$work/server.out" 2>&1 </dev/null &
    local pid=$!
    echo "$pid" >"$work/server.pid"
    # Serving once both endpoints listen.
    for _ in $(seq 100); do
        if listening "$QRX_SOAK_ROUTER_PORT" && listening "$QRX_SOAK_REPLY_PORT"; then
            echo "$pid"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "the server did not listen on ports $QRX_SOAK_REPLY_PORT and $QRX_SOAK_ROUTER_PORT"
    tail -5 "$work/server.out"
    return 1
}

stop_server() {
    [ -f "$work/server.pid" ] || return 0
    local pid
    pid="$(cat "$work/server.pid")"
    rm -f "$work/server.pid"
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

# Hostile connections until fault-end: bursts of raw connections that each
# announce a 256 KB frame and send 16 bytes of it, held 20 s.
attack_loop() {
    while [ ! -e "$work/attack.stop" ]; do
        timeout 60 "$QRX_SOAK_BUILD/qrx-attack" "$1" "tcp://127.0.0.1:$QRX_SOAK_ROUTER_PORT" \
            announce 200 256 --hold 20 >>"$work/attack.out" 2>&1 || true
        timeout 60 "$QRX_SOAK_BUILD/qrx-attack" "$1" "tcp://127.0.0.1:$QRX_SOAK_REPLY_PORT" \
            announce 200 256 --hold 20 >>"$work/attack.out" 2>&1 || true
    done
}

fault_begin() {
    local name="$1" folder="$2" pid="$4" dir
    case "$name" in
        prompt-box) QRX_PREFIX="$prefix" "$QRX_SOAK_BUILD/qrx-desk" prompt open ;;
        full-disk)
            dir="$(folder_of "$folder")"
            mount -t tmpfs -o size=64k tmpfs "$dir"
            head -c 1M /dev/zero >"$dir/.filler" 2>/dev/null || true
            ;;
        unwritable)
            dir="$(folder_of "$folder")"
            mount -t tmpfs -o ro,size=256m tmpfs "$dir"
            ;;
        log-viewer) chattr +a "$log" ;;
        connections)
            rm -f "$work/attack.stop"
            attack_loop "$pid" </dev/null >/dev/null 2>&1 &
            echo $! >"$work/attack.pid"
            ;;
        *) echo "soak-posix.sh: no fault \"$name\"" >&2; return 2 ;;
    esac
}

fault_end() {
    local name="$1" folder="$2" dir
    case "$name" in
        prompt-box) QRX_PREFIX="$prefix" "$QRX_SOAK_BUILD/qrx-desk" prompt close ;;
        full-disk)
            dir="$(folder_of "$folder")"
            rm -f "$dir/.filler"
            mount -o remount,size=256m "$dir"
            ;;
        unwritable) mount -o remount,rw "$(folder_of "$folder")" ;;
        log-viewer) chattr -a "$log" ;;
        connections)
            touch "$work/attack.stop"
            [ -f "$work/attack.pid" ] && wait_gone "$(cat "$work/attack.pid")" 90
            rm -f "$work/attack.pid"
            ;;
        *) echo "soak-posix.sh: no fault \"$name\"" >&2; return 2 ;;
    esac
}

wait_gone() {
    for _ in $(seq $((10 * $2))); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.1
    done
}

phase_end() {
    touch "$work/attack.stop"
    chattr -a "$log" 2>/dev/null || true
    for folder in result result_jw; do
        while mountpoint -q "$scan/$folder"; do umount -l "$scan/$folder"; done
    done
    QRX_PREFIX="$prefix" "$QRX_SOAK_BUILD/qrx-desk" prompt close 2>/dev/null || true
}

action="${1:-}"
shift || true
case "$action" in
    start-server) start_server "$@" ;;
    stop-server) stop_server ;;
    phase-end) phase_end ;;
    fault-begin) fault_begin "$@" ;;
    fault-end) fault_end "$@" ;;
    *) echo "soak-posix.sh: no action \"$action\"" >&2; exit 2 ;;
esac
