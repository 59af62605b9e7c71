#!/usr/bin/env bash
# The soak's actions on the machine, run by qrx-soak as soak-actions.sh NAME
# ARGS... (scripts/soak.sh exports the QRX_SOAK_* variables). What differs
# between the builds stays here: QRX_SOAK_TARGET is posix (the server a
# process of this machine, the machine folder the POSIX stand-in's prefix)
# or i686 (ScanServer.exe under Wine, the machine folder the Wine prefix).
#
#   start-server          starts the server in scan mode 2, prints its PID
#                         (under Wine: its Linux process); stop-server ends it
#   faults-end            takes every fault's trace away
#   fault-begin NAME FOLDER SECONDS PID, fault-end NAME FOLDER
#       prompt-box    the prompt box open on the desktop
#       full-disk     the result folder's own file system filled, then room again
#       unwritable    the result folder made immutable (chattr +i: nothing can
#                     be made in it), then writable
#       log-viewer    a log viewer on sock.log: on POSIX the file made
#                     append-only (chattr +a: it cannot be renamed or cut),
#                     under Wine a reader that shares only reading
#       connections   qrx-attack's hostile connections, one burst after another
#
# Both folder faults change the folder in place (each result folder is a
# tmpfs of its own), so that a record in it stays where the desk reads it.
source "$(dirname "$0")/strict.sh"
source "$(dirname "$0")/wine.sh"
: "${QRX_SOAK_TARGET:?}" "${QRX_SOAK_PREFIX:?}" "${QRX_SOAK_BUILD:?}" "${QRX_SOAK_WORK:?}"
: "${QRX_SOAK_REPLY_PORT:?}" "${QRX_SOAK_ROUTER_PORT:?}"
prefix="$QRX_SOAK_PREFIX" work="$QRX_SOAK_WORK"
srv="$prefix/drive_c/srv"

# A program in the background, its output in $work/NAME.out and its PID in
# $work/NAME.pid.
background() {  # background NAME PROGRAM ARGS...
    local name="$1"
    shift
    (cd "$srv" && exec "$@" >"$work/$name.out" 2>&1 </dev/null) &
    echo $! >"$work/$name.pid"
}

# Waits up to 60 s for what background started as NAME to print TEXT.
printed() {  # printed NAME TEXT
    for _ in $(seq 600); do
        grep -q "$2" "$work/$1.out" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "$1 did not print \"$2\" within 60 s"
    return 1
}

# Ends what background started as NAME: TERM first when asked, then waits
# up to SECONDS for it, then kills it.
end() {  # end NAME SECONDS [term]
    [ -f "$work/$1.pid" ] || return 0
    local pid
    pid="$(cat "$work/$1.pid")"
    rm -f "$work/$1.pid"
    if [ "${3:-}" = term ]; then kill -TERM "$pid" 2>/dev/null || true; fi
    for _ in $(seq $((10 * $2))); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

listening() {  # listening PORT
    [ -n "$(ss -Hltn "sport = :$1")" ]
}

start_server() {
    printf '[Server]\r\nAddress=tcp://127.0.0.1:%s\r\nAddressEx=tcp://127.0.0.1:%s\r\nScanMode=2\r\nMaxLogSize=1MB\r\n' \
        "$QRX_SOAK_REPLY_PORT" "$QRX_SOAK_ROUTER_PORT" >"$srv/Server.ini"
    # Back to the niceness soak.sh has: qrx-soak, which runs this, yields
    # to the server.
    local pid renice=$((${QRX_SOAK_NICE:-0} - $(nice)))
    if [ "$QRX_SOAK_TARGET" = posix ]; then
        cp "$QRX_SOAK_BUILD/ScanServer" "$srv/ScanServer"
        # glibc's threshold for giving large blocks their own mapping, fixed
        # (it otherwise rises to the largest block freed): a record's memory
        # goes back to the system once the desk has taken it, so the samples
        # show what the server holds, not what glibc keeps for later.
        MALLOC_MMAP_THRESHOLD_=131072 QRX_PREFIX="$prefix" \
            background server nice -n "$renice" setsid ./ScanServer
        pid="$(cat "$work/server.pid")"
    else
        background server nice -n "$renice" wine ScanServer.exe
        # The wine command becomes the server's Linux process once Wine has
        # loaded it: the PID whose command line names the program.
        for _ in $(seq 300); do
            pid="$(qrx_prefix_pids 'ScanServer[.]exe' | head -1)"
            [ -n "$pid" ] && break
            sleep 0.1
        done
        echo "$pid" >"$work/server.pid"
        # The server's handles, every second, until it ends.
        rm -f "$work/stats.txt"
        background procstat wine qrx-procstat.exe ScanServer.exe "Z:${work//\//\\}\\stats.txt" 1000
    fi
    for _ in $(seq 600); do
        if listening "$QRX_SOAK_ROUTER_PORT" && listening "$QRX_SOAK_REPLY_PORT"; then
            echo "$pid"
            return 0
        fi
        kill -0 "${pid:-0}" 2>/dev/null || break
        sleep 0.1
    done
    echo "the server did not listen on ports $QRX_SOAK_REPLY_PORT and $QRX_SOAK_ROUTER_PORT"
    tail -5 "$work/server.out"
    return 1
}

# Hostile connections from 127.0.0.1 on each endpoint in turn, until
# fault-end: many connections past the server's limits, each sending
# requests it never reads the replies of; then raw connections that each
# announce a 256 KB frame and send 16 bytes of it. Each burst holds its
# connections 10 s.
attack_loop() {  # attack_loop PID
    local port kind
    while :; do
        for port in "$QRX_SOAK_ROUTER_PORT" "$QRX_SOAK_REPLY_PORT"; do
            for kind in "connections 40 64" "announce 100 256"; do
                # shellcheck disable=SC2086
                timeout --foreground 40 "$QRX_SOAK_BUILD/qrx-attack" "$1" "tcp://127.0.0.1:$port" \
                    $kind --hold 10 >>"$work/attack.out" 2>&1 || true
            done
        done
    done
}

# Ends the attack at once: the loop and its bursts are one process group.
stop_attack() {
    [ -f "$work/attack.pid" ] || return 0
    kill -TERM -- "-$(cat "$work/attack.pid")" 2>/dev/null || true
    rm -f "$work/attack.pid"
}

fault() {  # fault begin|end NAME FOLDER [SECONDS PID]
    local dir="$prefix/drive_c/scan/$3" hold=$((${4:-0} + 60))
    case "$2.$QRX_SOAK_TARGET.$1" in
        prompt-box.posix.begin) QRX_PREFIX="$prefix" "$QRX_SOAK_BUILD/qrx-desk" prompt open ;;
        prompt-box.posix.end) QRX_PREFIX="$prefix" "$QRX_SOAK_BUILD/qrx-desk" prompt close ;;
        # The capture window with its prompt box, for longer than the fault.
        prompt-box.i686.begin)
            background prompt wine qrx-windesk.exe window "$hold" "$hold"
            printed prompt "windows shown"
            ;;
        log-viewer.i686.begin)
            background viewer wine qrx-windesk.exe read-only 'C:\qrx\sock.log' $((1000 * hold))
            printed viewer holding
            ;;
        prompt-box.i686.end) end prompt 10 term ;;
        log-viewer.i686.end) end viewer 10 term ;;
        log-viewer.posix.begin) chattr +a "$prefix/drive_c/qrx/sock.log" ;;
        log-viewer.posix.end) chattr -a "$prefix/drive_c/qrx/sock.log" ;;
        full-disk.*.begin)
            head -c 1G /dev/zero >"$dir/.filler" 2>/dev/null || true
            [ "$(stat -f -c %a "$dir")" = 0 ] || { echo "$dir is not full"; return 1; }
            ;;
        full-disk.*.end) rm -f "$dir/.filler" ;;
        unwritable.*.begin) chattr +i "$dir" ;;
        unwritable.*.end) chattr -i "$dir" ;;
        connections.*.begin)
            stop_attack
            # A process group of its own, so that fault-end ends every burst.
            setsid "$0" attack-loop "$5" </dev/null >/dev/null 2>&1 &
            echo $! >"$work/attack.pid"
            ;;
        connections.*.end) stop_attack ;;
        *) echo "soak-actions.sh: no fault \"$2\"" >&2; return 2 ;;
    esac
}

action="${1:-}"
shift || true
case "$action" in
    start-server) start_server "$@" ;;
    stop-server)
        end server 10 term
        end procstat 10
        ;;
    faults-end)
        stop_attack
        fault end log-viewer - 2>/dev/null || true
        fault end prompt-box - 2>/dev/null || true
        for folder in result result_jw; do
            fault end unwritable "$folder" || true
            fault end full-disk "$folder"
        done
        ;;
    fault-begin) fault begin "$@" ;;
    fault-end) fault end "$@" ;;
    attack-loop) attack_loop "$@" ;;
    *) echo "soak-actions.sh: no action \"$action\"" >&2; exit 2 ;;
esac
