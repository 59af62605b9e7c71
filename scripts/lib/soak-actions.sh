#!/usr/bin/env bash
# The soak's actions on the machine, run by qrx-soak as
# soak-actions.sh NAME ARGS... (scripts/soak.sh exports the QRX_SOAK_*
# variables). What differs between the builds stays here; qrx-soak itself
# only drives clients, desk and samples. QRX_SOAK_TARGET is posix (the
# server a process of this machine, the machine folder the POSIX stand-in's
# prefix) or i686 (ScanServer.exe under Wine, the machine folder the Wine
# prefix).
#
#   start-server MODE          starts the server in scan mode MODE, prints
#                              its PID (under Wine: its Linux process)
#   stop-server                ends it
#   desk-start MODE, desk-stop under Wine: qrx-windesk.exe as the desk;
#                              desk-stop prints the desk's own line
#   phase-end                  takes every fault's trace away
#   fault-begin NAME FOLDER SECONDS PID, fault-end NAME FOLDER
#       prompt-box    the prompt box open on the desktop
#       full-disk     a full tmpfs over the result folder, then room again
#       unwritable    a read-only tmpfs over the result folder, then writable
#       log-viewer    a log viewer on sock.log: on POSIX the file made
#                     append-only (chattr +a: it cannot be renamed or cut),
#                     under Wine a reader that shares only reading
#       connections   qrx-attack's hostile connections, one burst after another
#
# The two folder faults leave their tmpfs mounted (writable, with room)
# until phase-end, so that records written after the fault stay where the
# desk reads them; qrx-soak takes what is left before phase-end.
source "$(dirname "$0")/strict.sh"
source "$(dirname "$0")/wine.sh"
: "${QRX_SOAK_TARGET:?}" "${QRX_SOAK_PREFIX:?}" "${QRX_SOAK_BUILD:?}" "${QRX_SOAK_WORK:?}"
: "${QRX_SOAK_REPLY_PORT:?}" "${QRX_SOAK_ROUTER_PORT:?}"
prefix="$QRX_SOAK_PREFIX"
work="$QRX_SOAK_WORK"
scan="$prefix/drive_c/scan"
log="$prefix/drive_c/qrx/sock.log"
srv="$prefix/drive_c/srv"

# The folder of a fault on a result folder, only result or result_jw.
folder_of() {
    case "$1" in
        result | result_jw) echo "$scan/$1" ;;
        *) echo "soak-actions.sh: no result folder \"$1\"" >&2; return 2 ;;
    esac
}

# Whether something listens on a TCP port of this machine.
listening() {
    [ -n "$(ss -Hltn "sport = :$1")" ]
}

# A Windows program of the build, in the background under Wine, its output
# in $work/NAME.out; its wine process's PID goes to $work/NAME.pid.
wine_bg() {  # wine_bg NAME PROGRAM ARGS...
    local name="$1"
    shift
    (cd "$srv" && exec wine "$@" >"$work/$name.out" 2>&1 </dev/null) &
    echo $! >"$work/$name.pid"
}

# Ends what wine_bg started as NAME, within SECONDS, then by force.
wine_end() {  # wine_end NAME SECONDS
    [ -f "$work/$1.pid" ] || return 0
    local pid
    pid="$(cat "$work/$1.pid")"
    rm -f "$work/$1.pid"
    for _ in $(seq $((10 * $2))); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

server_settings() {  # server_settings MODE
    printf '[Server]\r\nAddress=tcp://127.0.0.1:%s\r\nAddressEx=tcp://127.0.0.1:%s\r\nScanMode=%s\r\nMaxLogSize=1MB\r\n' \
        "$QRX_SOAK_REPLY_PORT" "$QRX_SOAK_ROUTER_PORT" "$1" >"$srv/Server.ini"
}

# Serving once both endpoints listen, within SECONDS; false when PID ended
# or the time passed.
wait_listening() {  # wait_listening PID SECONDS
    for _ in $(seq $((10 * $2))); do
        if listening "$QRX_SOAK_ROUTER_PORT" && listening "$QRX_SOAK_REPLY_PORT"; then
            return 0
        fi
        kill -0 "$1" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

start_server() {
    mkdir -p "$srv"
    server_settings "$1"
    # Back to the niceness soak.sh has: qrx-soak, which runs this, yields
    # to the server.
    local pid renice=$((${QRX_SOAK_NICE:-0} - $(nice)))
    if [ "$QRX_SOAK_TARGET" = posix ]; then
        cp "$QRX_SOAK_BUILD/ScanServer" "$srv/ScanServer"
        # glibc's threshold for giving large blocks their own mapping, fixed
        # (it otherwise rises to the largest block freed): a record's memory
        # goes back to the system once the desk has taken it, so the samples
        # show what the server holds, not what glibc keeps for later.
        export MALLOC_MMAP_THRESHOLD_=131072
        # A simple command in the background, so that $! is the server
        # itself; it reads Server.ini from its own folder.
        (cd "$srv" && QRX_PREFIX="$prefix" exec nice -n "$renice" setsid ./ScanServer \
            >>"$work/server.out" 2>&1 </dev/null) &
        pid=$!
    else
        (cd "$srv" && exec nice -n "$renice" wine ScanServer.exe >>"$work/server.out" 2>&1 </dev/null) &
        # The wine command becomes the server's Linux process once Wine has
        # loaded it: the PID whose command line names the program.
        for _ in $(seq 300); do
            pid="$(qrx_prefix_pids 'ScanServer[.]exe' | head -1)"
            [ -n "$pid" ] && break
            sleep 0.1
        done
        # The server's handles and private bytes, every second, until it ends.
        rm -f "$work/stats.txt"
        wine_bg procstat qrx-procstat.exe ScanServer.exe "Z:${work//\//\\}\\stats.txt" 1000
    fi
    echo "$pid" >"$work/server.pid"
    if [ -n "$pid" ] && wait_listening "$pid" 60; then
        echo "$pid"
        return 0
    fi
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
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wine_end procstat 10
}

desk_start() {
    mkdir -p "$prefix/drive_c/soak/taken"
    wine_bg desk qrx-windesk.exe soak "$1" 'C:\soak' 'C:\soak\taken'
}

# qrx-soak has written C:\soak\stop; the desk ends after its exchange.
desk_stop() {
    wine_end desk 60
    grep -a '^desk:' "$work/desk.out" | tail -1
}

# Hostile connections until fault-end, one burst after another on each
# endpoint in turn: many connections from 127.0.0.1, past the server's
# limits, each sending requests it never reads the replies of; then raw
# connections that each announce a 256 KB frame and send 16 bytes of it.
# Each burst holds its connections 10 s.
attack_loop() {
    local endpoint
    while :; do
        for endpoint in "$QRX_SOAK_ROUTER_PORT" "$QRX_SOAK_REPLY_PORT"; do
            timeout --foreground 40 "$QRX_SOAK_BUILD/qrx-attack" "$1" "tcp://127.0.0.1:$endpoint" \
                connections 40 64 --hold 10 >>"$work/attack.out" 2>&1 || true
            timeout --foreground 40 "$QRX_SOAK_BUILD/qrx-attack" "$1" "tcp://127.0.0.1:$endpoint" \
                announce 100 256 --hold 10 >>"$work/attack.out" 2>&1 || true
        done
    done
}

# Ends the attack at once: the loop and its bursts are one process group.
stop_attack() {
    [ -f "$work/attack.pid" ] || return 0
    kill -TERM -- "-$(cat "$work/attack.pid")" 2>/dev/null || true
    rm -f "$work/attack.pid"
}

prompt_box() {  # prompt_box open SECONDS | close
    if [ "$QRX_SOAK_TARGET" = posix ]; then
        QRX_PREFIX="$prefix" "$QRX_SOAK_BUILD/qrx-desk" prompt "$1"
    elif [ "$1" = open ]; then
        # The capture window with its prompt box, for longer than the fault.
        wine_bg prompt qrx-windesk.exe window $(($2 + 60)) $(($2 + 60))
    else
        kill -TERM "$(cat "$work/prompt.pid" 2>/dev/null)" 2>/dev/null || true
        wine_end prompt 10
    fi
}

log_viewer() {  # log_viewer open SECONDS | close
    if [ "$QRX_SOAK_TARGET" = posix ]; then
        if [ "$1" = open ]; then chattr +a "$log"; else chattr -a "$log"; fi
    elif [ "$1" = open ]; then
        wine_bg viewer qrx-windesk.exe read-only 'C:\qrx\sock.log' $((1000 * ($2 + 60)))
    else
        kill -TERM "$(cat "$work/viewer.pid" 2>/dev/null)" 2>/dev/null || true
        wine_end viewer 10
    fi
}

fault_begin() {
    local name="$1" folder="$2" seconds="$3" pid="$4" dir
    case "$name" in
        prompt-box) prompt_box open "$seconds" ;;
        full-disk)
            dir="$(folder_of "$folder")"
            mount -t tmpfs -o size=64k tmpfs "$dir"
            head -c 1M /dev/zero >"$dir/.filler" 2>/dev/null || true
            ;;
        unwritable)
            dir="$(folder_of "$folder")"
            mount -t tmpfs -o ro,size=256m tmpfs "$dir"
            ;;
        log-viewer) log_viewer open "$seconds" ;;
        connections)
            stop_attack
            # A process group of its own, so that fault-end ends every burst.
            setsid "$0" attack-loop "$pid" </dev/null >/dev/null 2>&1 &
            echo $! >"$work/attack.pid"
            ;;
        *) echo "soak-actions.sh: no fault \"$name\"" >&2; return 2 ;;
    esac
}

fault_end() {
    local name="$1" folder="$2" dir
    case "$name" in
        prompt-box) prompt_box close ;;
        full-disk)
            dir="$(folder_of "$folder")"
            rm -f "$dir/.filler"
            mount -o remount,size=256m "$dir"
            ;;
        unwritable) mount -o remount,rw "$(folder_of "$folder")" ;;
        log-viewer) log_viewer close ;;
        connections) stop_attack ;;
        *) echo "soak-actions.sh: no fault \"$name\"" >&2; return 2 ;;
    esac
}

phase_end() {
    stop_attack
    log_viewer close 2>/dev/null || true
    prompt_box close 2>/dev/null || true
    for folder in result result_jw; do
        while mountpoint -q "$scan/$folder"; do umount -l "$scan/$folder"; done
    done
}

action="${1:-}"
shift || true
case "$action" in
    start-server) start_server "$@" ;;
    stop-server) stop_server ;;
    desk-start) desk_start "$@" ;;
    desk-stop) desk_stop ;;
    phase-end) phase_end ;;
    fault-begin) fault_begin "$@" ;;
    fault-end) fault_end "$@" ;;
    attack-loop) attack_loop "$@" ;;
    *) echo "soak-actions.sh: no action \"$action\"" >&2; exit 2 ;;
esac
