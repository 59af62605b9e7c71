#!/usr/bin/env bash
# Quick start: installs what is missing, builds the server and the two tools
# (qrx-client, qrx-desk), prepares the prefix on first run, says where
# everything is and what to try next, then starts the server in the
# foreground (Ctrl-C ends it).
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/scripts/install-deps.sh"
BUILD_DIR="$build" BUILD_TARGET="ScanServer qrx-client qrx-desk" "$root/scripts/build.sh"
"$root/scripts/prepare-prefix.sh"
prefix="${QRX_PREFIX:-$HOME/.qrx}"

# What to type in a second terminal: the environment this one has.
env_prefix=""
[ -n "${QRX_PREFIX:-}" ] && env_prefix="QRX_PREFIX=$QRX_PREFIX "
tools="$(realpath --relative-to="$root" "$build")"
# The server's own view of its settings, from the folder it runs in.
settings="$(cd "$prefix" && "$build/ScanServer" --settings)"

cat <<INFO
== ScanServer starts in the foreground (Ctrl-C ends it), with the settings it
   reads (ScanServer --settings: Server.ini beside it, the prefix's registry):
$(sed 's/^/   /' <<< "$settings")
   REQ clients use Address, DEALER clients AddressEx; cards whose ScanCmd
   starts with C go to ScanResult, all others to ScanResult_jw.
== Next, in a second terminal in $root:
   submit the sample card (exit status 0 when it is accepted):
     $tools/qrx-client submit --card samples/cards/card-c.json \\
         --card-image samples/images/card-1.jpg --head-image samples/images/head-1.jpg
   take it as the desk's card-scanning application would (scan mode 2):
     $env_prefix$tools/qrx-desk take --count 1 --out /tmp/taken
   Accepted cards wait in the server until a desktop side writes 0 into
   the command file; until then the result folders stay empty.
INFO
cd "$prefix"
exec "$build/ScanServer"
