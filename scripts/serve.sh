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

# A key of section [Server] in Server.ini beside the server, read as the
# server reads it (names in any case, spaces around them ignored, the first
# one counts), or its default.
setting() {  # setting KEY DEFAULT
    local value=""
    [ -f "$build/Server.ini" ] && value="$(tr -d '\r' < "$build/Server.ini" | awk -v key="$1" '
        function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
        /^[ \t]*\[/ { section = $0; sub(/^[ \t]*\[/, "", section); sub(/\].*/, "", section)
                      section = tolower(trim(section)); next }
        section == "server" && index($0, "=") > 0 {
            name = trim(substr($0, 1, index($0, "=") - 1))
            if (tolower(name) != tolower(key)) next
            value = trim(substr($0, index($0, "=") + 1))
            if (value ~ /^".*"$/ && length(value) > 1) value = substr(value, 2, length(value) - 2)
            print value; exit
        }')"
    echo "${value:-$2}"
}
# A path the prefix's registry file gives, unescaped.
registry() {  # registry NAME
    tr -d '\r' < "$prefix/registry.reg" | sed -n "s/^\"$1\"=\"\(.*\)\"$/\1/p" | sed 's/\\\\/\\/g'
}
# What to type in a second terminal: the environment this one has.
env_prefix=""
[ -n "${QRX_PREFIX:-}" ] && env_prefix="QRX_PREFIX=$QRX_PREFIX "
tools="$(realpath --relative-to="$root" "$build")"

cat <<INFO
== ScanServer starts in the foreground (Ctrl-C ends it)
   reply endpoint   $(setting Address tcp://0.0.0.0:7106)   (REQ clients)
   router endpoint  $(setting AddressEx tcp://0.0.0.0:7107)   (DEALER clients)
   scan mode        $(setting ScanMode 2)
   log              $prefix/drive_c/qrx/sock.log
   command file     $(registry ScanCmdPath)
   result folders   $(registry ScanResult) (cards whose ScanCmd starts with C)
                    $(registry ScanResult_jw) (all other cards)
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
