#!/usr/bin/env bash
# Quick start: installs what is missing, builds the server and the two tools
# (qrx-client, qrx-desk), prepares the prefix on first run, says where
# everything is and what to try next, then runs the server in the
# foreground (Ctrl-C ends it). When the server ends on its own with a
# failure, the failure lines it wrote to the log in this run are printed,
# with its exit status.
#
# QRX_PREFIX: the machine folder (default ~/.qrx). QRX_PORTS="7206 7207":
# the reply and router ports, for a second server on this machine; the
# server then runs as a copy in QRX_PREFIX/bin, beside a Server.ini of its
# own, since a server reads Server.ini from its own folder.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/scripts/install-deps.sh"
BUILD_DIR="$build" BUILD_TARGET="ScanServer qrx-client qrx-desk" "$root/scripts/build.sh"
"$root/scripts/prepare-prefix.sh"
prefix="${QRX_PREFIX:-$HOME/.qrx}"

server="$build/ScanServer"
client_endpoint=""
if [ -n "${QRX_PORTS:-}" ]; then
    read -r reply_port router_port <<<"${QRX_PORTS//,/ }"
    [[ "$reply_port" =~ ^[0-9]+$ && "${router_port:-}" =~ ^[0-9]+$ ]] || {
        echo "serve.sh: QRX_PORTS wants two port numbers, the reply and the router port (for example \"7206 7207\"), not \"$QRX_PORTS\"" >&2
        exit 2
    }
    mkdir -p "$prefix/bin"
    cp "$build/ScanServer" "$prefix/bin/ScanServer"
    printf '[Server]\r\nAddress=tcp://0.0.0.0:%s\r\nAddressEx=tcp://0.0.0.0:%s\r\n' \
        "$reply_port" "$router_port" >"$prefix/bin/Server.ini"
    server="$prefix/bin/ScanServer"
    client_endpoint=" --endpoint tcp://127.0.0.1:$reply_port"
fi

# What to type in a second terminal: the environment this one has.
env_prefix=""
[ -n "${QRX_PREFIX:-}" ] && env_prefix="QRX_PREFIX=$QRX_PREFIX "
tools="$(realpath --relative-to="$root" "$build")"
# The server's own view of its settings, from the folder it runs in. It
# exits 1 when a value has a note; the notes are shown below, and the
# server starts with the values they say it uses.
settings="$(cd "$prefix" && "$server" --settings)" || true

cat <<INFO
== ScanServer starts in the foreground (Ctrl-C ends it), with the settings it
   reads (ScanServer --settings: Server.ini beside it, the prefix's registry):
$(sed 's/^/   /' <<< "$settings")
   REQ clients use Address, DEALER clients AddressEx; cards whose ScanCmd
   starts with C go to ScanResult, all others to ScanResult_jw.
== Next, in a second terminal in $root:
   submit the sample card (exit status 0 when it is accepted):
     $tools/qrx-client$client_endpoint submit --card samples/cards/card-c.json \\
         --card-image samples/images/card-1.jpg --head-image samples/images/head-1.jpg
   take it as the desk's card-scanning application would (scan mode 2):
     $env_prefix$tools/qrx-desk take --count 1 --out /tmp/taken
   Accepted cards wait in the server until a desktop side writes 0 into
   the command file; until then the result folders stay empty.
INFO

# The log's bytes before this run, so that only this run's lines are shown.
log="$prefix/drive_c/qrx/sock.log"
log_start="$(stat -c %s "$log" 2>/dev/null || echo 0)"
cd "$prefix"
# Ctrl-C reaches the server, which ends; this script stays to tell why it
# ended when it was not Ctrl-C.
trap : INT
status=0
"$server" || status=$?
case "$status" in
    0 | 130 | 143) exit 0 ;;  # Ctrl-C, or ended from outside
esac
[ "$(stat -c %s "$log" 2>/dev/null || echo 0)" -ge "$log_start" ] || log_start=0
echo "serve.sh: ScanServer ended with exit status $status. Its failure lines in $log from this run:" >&2
tail -c +"$((log_start + 1))" "$log" 2>/dev/null | tr -d '\r' | grep -a '\[Level:3\]' | sed 's/^/   /' >&2 ||
    echo "   (none: see $log)" >&2
exit "$status"
