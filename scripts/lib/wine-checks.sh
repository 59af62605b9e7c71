# Sourced by scripts/wine-e2e.sh and the check scripts in scripts/wine/,
# after strict.sh and wine.sh: where the builds are, one Wine session (a
# prefix, Xvfb and the route for the 32-bit build) shared by every script
# of a run, and the helpers the checks are written in.
#
# The first script of a run (wine-e2e.sh, or a check script run alone)
# owns the session: it makes the work folder and the prefix, starts Xvfb,
# and removes them all when it ends. The scripts it runs find the session
# in QRX_WINE_WORK and add their checks to it.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${BUILD_DIR:-$root/build}"
build_win="$(realpath -m "${BUILD_WIN_DIR:-$root/build-win}")"
dist="$(realpath -m "${QRX_DIST_DIR:-$root/dist}")"
version="$(sed -n 's/^project(QrxScanServer VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
client="$build/qrx-client"
images="$root/samples/images"
# The throwaway code-signing certificate that wine-e2e.sh signs with.
signing="$build_win/package/throwaway-signing"

qrx_wine_session() {
    if [ -n "${QRX_WINE_WORK:-}" ]; then
        work="$QRX_WINE_WORK"
        return 0
    fi
    work="$(mktemp -d /tmp/qrx-wine-XXXXXX)"
    export QRX_WINE_WORK="$work" WINEPREFIX="$work/prefix"
    trap qrx_wine_session_end EXIT
    qrx_prepare_wine_route
    export QRX_ROUTE
    # The time limits of the checks are for a native run; under qemu-i386
    # they are doubled. Measured: the slowest run of each program took 1.3
    # to 4 times as long under qemu as natively, and at most 3.5 s (the
    # setup), bar the test desktop's commands, whose own waits (up to 40 s)
    # do not grow.
    export QRX_WIN_SCALE=1
    [ "$QRX_ROUTE" = qemu ] && QRX_WIN_SCALE=2
    # The server's two ports: the reply endpoint's, and the next one for the
    # router endpoint.
    export QRX_WINE_PORT=$((20000 + RANDOM % 20000))
    return 0
}

qrx_wine_session_end() {
    umount -l "$WINEPREFIX/drive_c/scan/result" 2>/dev/null || true
    [ ! -d "$WINEPREFIX" ] || timeout 30 wineserver -k 2>/dev/null || true
    kill "${QRX_XVFB_PID:-0}" 2>/dev/null || true
    qrx_unregister_qemu
    qrx_unshare_folder "$work"
    rm -rf "$work"
}

qrx_wine_session
win_scale="$QRX_WIN_SCALE"
port="$QRX_WINE_PORT"
reply="tcp://127.0.0.1:$port"
router="tcp://127.0.0.1:$((port + 1))"
C="$WINEPREFIX/drive_c"

part_start=$SECONDS
part_done() {  # part_done NAME: the time since the last part ended
    echo "== $1: $((SECONDS - part_start)) s"
    part_start=$SECONDS
}

# Xvfb and the prefix, once a session, the first time a check needs them.
use_wine() {
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if [ -z "${QRX_WINE_SOURCE:-}" ]; then
        qrx_use_wine_from "$root" "$build" "$build_win" "$dist" || exit 1
        export QRX_WINE_SOURCE
        qrx_share_folder "$work"
    fi
    if [ -z "${QRX_XVFB_PID:-}" ]; then
        qrx_start_display
        export QRX_XVFB_PID
    fi
    [ -d "$WINEPREFIX" ] && return 0
    qrx_boot_prefix $((120 * win_scale)) ||
        echo "     the Wine prefix did not settle within $((120 * win_scale)) s"
    part_done "Wine prefix"
}

# Runs a Windows program under Wine for at most SECONDS (times the route's
# scale); one that has to be ended returns 124, and a line names it. Each
# run's time goes to win-times, summed up at the end.
win() {  # win SECONDS PROGRAM [ARGS...]
    local limit=$(($1 * win_scale)) status start
    shift
    start="$(date +%s.%N)"
    timeout -k 5 "$limit" wine "$@"
    status=$?
    awk -v program="${1##*[/\\]}" -v start="$start" -v end="$(date +%s.%N)" -v limit="$limit" \
        'BEGIN { printf "%s %.1f %d\n", program, end - start, limit }' >>"$work/win-times"
    [ "$status" -eq 124 ] || [ "$status" -eq 137 ] &&
        echo "     TIMEOUT: wine $* was ended after $limit s" >&2
    return "$status"
}
export -f win qrx_prefix_pids
export win_scale work

# From the first check on, each check reports its own outcome and the
# script goes on.
passed=0
failed=0
suite=""
check() {  # check NAME COMMAND...: one named check
    local name="$1"
    shift
    if "$@"; then
        echo "PASS $suite$name"
        passed=$((passed + 1))
    else
        echo "FAIL $suite$name"
        failed=$((failed + 1))
    fi
}
# The closing line of a check script, which wine-e2e.sh adds up; the
# script's exit status says whether any check failed.
checks_done() {
    echo "== checks $1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
eventually() {  # eventually SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.2
    done
}

# Wine's helper processes inherit file descriptors, so output goes to files.
# The test desktop's commands wait at most 40 s of their own.
windesk() { (cd "$C/srv" && win 90 qrx-windesk.exe "$@" >"$work/desk.out" 2>&1); }
windesk_bg() { (cd "$C/srv" && win 90 qrx-windesk.exe "$@" >"$work/$1.bg.out" 2>&1) & }
cmdfile() { cat "$C/scan/scancmd.scc" 2>/dev/null; }
cmdfile_is() { [ "$(cmdfile)" = "$1" ]; }
# The test desktop rewrites clock.txt every 20 ms, so one read may find it
# empty; callers retry. HH:MM a minute ago counts too, for a minute's turn.
clock_shows() {  # clock_shows HH:MM
    local c
    c="$(cat "$C/srv/clock.txt" 2>/dev/null)"
    [ "$c" = "$1" ] || [ "$c" = "$(date -d "$1 1 minute ago" +%H:%M)" ]
}
log_has() { grep -aqF -- "$1" "$C/qrx/sock.log"; }
same_bytes() { cmp -s "$1" "$2"; }

serving() { "$client" --endpoint "$reply" --timeout 500 code >/dev/null 2>&1; }
start_server() {  # start_server [SETTINGS]
    printf '[Server]\r\nAddress=%s\r\nAddressEx=%s\r\n%b' "$reply" "$router" "${1:-}" \
        >"$C/srv/Server.ini"
    (cd "$C/srv" && win 900 ScanServer.exe >"$work/server.out" 2>&1) &
    disown
    eventually 30 serving
}
no_server() { [ -z "$(qrx_prefix_pids 'ScanServer[.]exe')" ]; }
stop_server() {
    qrx_prefix_pids 'ScanServer[.]exe' | xargs -r kill -9 2>/dev/null
    eventually 10 no_server
}
submit() {  # submit SCANCMD NAME CARD-IMAGE HEAD-IMAGE [client options]
    "$client" --endpoint "$reply" "${@:5}" submit --set cardtype=ID --set "ScanCmd=$1" \
        --set "name=$2" --set "chinese_name=$2" --card-image "$3" --head-image "$4" >/dev/null
}

# What both installers (setup.exe and the MSI package) write into the
# registry: the logon entry, and the event source with its message file.
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\QRXScanServer'
logon_entry() { win 30 reg query "$run_key" /v QRXScanServer /reg:32 2>/dev/null | tr -d '\r'; }
logon_entry_set() { logon_entry | grep -aq 'QRX Scan Server.ScanServer.exe" --watch'; }
event_source_set() {
    win 30 reg query "$source_key" /v EventMessageFile 2>/dev/null |
        grep -aqi 'REG_EXPAND_SZ.*QRX Scan Server.ScanServer.exe' &&
        win 30 reg query "$source_key" /v TypesSupported 2>/dev/null | grep -aq '0x7'
}
logon_entry_gone() { ! win 30 reg query "$run_key" /v QRXScanServer /reg:32 >/dev/null 2>&1; }
event_source_gone() { ! win 30 reg query "$source_key" >/dev/null 2>&1; }

# A clean machine folder with the programs of one build, ARCH, and no
# registry key.
fresh_machine() {  # fresh_machine ARCH
    local exes="$build_win/$1/server"
    rm -rf "$C/qrx" "$C/srv" "$C/scan" "$C/taken" "$C/taken1" "$C/taken2" "$C/taken3"
    mkdir -p "$C/qrx" "$C/srv" "$C/scan/result" "$C/scan/result_jw"
    cp "$exes/ScanServer.exe" "$exes/qrx-client.exe" "$exes/win32/qrx-windesk.exe" \
        "$exes/win32/qrx_contract_tests.exe" "$C/srv/"
    win 30 reg delete 'HKLM\SOFTWARE\Quorvane' /f /reg:32 >/dev/null 2>&1
}
