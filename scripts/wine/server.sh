#!/usr/bin/env bash
# The server of one build, ARCH (i686, the default, or x86_64), under Wine
# with Xvfb, from a clean machine folder: what the POSIX end-to-end tests
# check, on the real Win32 calls. The events of a server whose ports are
# held, the start-up and its log, a second copy, requests over TCP loopback
# from the Linux side and from qrx-client.exe, scan mode 2 beside the test
# desktop (the capture window, a prompt box, a held command file, a full
# drive), CURVE with a client list, scan mode 1, a capture application
# that stops handling messages, and a stop asked for with taskkill. Run by
# wine-e2e.sh, or alone once it has built the programs.
source "$(dirname "$0")/../lib/strict.sh"
source "$(dirname "$0")/../lib/wine.sh"
source "$(dirname "$0")/../lib/wine-checks.sh"
set +e
trap - ERR
arch="${1:-i686}"
suite="[$arch] "
use_wine
fresh_machine "$arch"

desk_registry() {  # the card-scanning application's key, as a desk has it
    win 30 reg add 'HKLM\SOFTWARE\Quorvane' /v ScanCmdPath /t REG_SZ /d 'c:\scan\scancmd.scc' /f \
        /reg:32 >/dev/null 2>&1
    win 30 reg add 'HKLM\SOFTWARE\Quorvane' /v ScanResult /t REG_SZ /d 'c:\scan\result' /f \
        /reg:32 >/dev/null 2>&1
    win 30 reg add 'HKLM\SOFTWARE\Quorvane' /v ScanResult_jw /t REG_SZ /d 'c:\scan\result_jw\' /f \
        /reg:32 >/dev/null 2>&1
}
desk_registry

# The event log: a server whose port another program holds stops, and its
# events carry the reasons. Wine writes ReportEvent's texts on its
# eventlog channel (errors as err:, information as trace:). The holder
# reuses the address: the other build's run leaves these ports in
# TIME_WAIT, which would keep a plain bind out (and the ports free).
python3 -c 'import socket, sys, time
held = []
for port in sys.argv[1:]:
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", int(port)))
    s.listen()
    held.append(s)
time.sleep(120)' "$port" "$((port + 1))" &
holder=$!
sleep 1
printf '[Server]\r\nAddress=%s\r\nAddressEx=%s\r\n' "$reply" "$router" >"$C/srv/Server.ini"
(cd "$C/srv" && WINEDEBUG=-all,+eventlog,fixme+advapi win 60 ScanServer.exe >/dev/null 2>"$work/events.err")
held_status=$?
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
grep -a 'eventlog:ReportEvent' "$work/events.err" | sed 's/^/     /'
events_are() {  # events_are CLASS N TEXT: N events of that class begin with TEXT
    [ "$(grep -aciF "$1:eventlog:ReportEventW L\"$3" "$work/events.err")" = "$2" ]
}
check "ports held: the server stops with exit status 2" test "$held_status" = 2
each_endpoint_named() {
    events_are err 1 "cannot bind $reply: " && events_are err 1 "cannot bind $router: "
}
check "ports held: one error event per endpoint names it and the reason" each_endpoint_named
check "ports held: one error event says the server stops" \
    events_are err 1 "no endpoint could be bound: the server stops\""
check "ports held: the start's event gives the version and the settings file" \
    events_are trace 1 "QRX Scan Server $version starts, settings c:\\\\srv\\\\Server.ini\""
check "ports held: events 111 are errors, 100 is information" \
    bash -c "grep -aq 'ReportEventA ([0-9A-Fa-f]*,0x0001,0x0000,0x0000006f,' '$work/events.err' &&
             grep -aq 'ReportEventA ([0-9A-Fa-f]*,0x0004,0x0000,0x00000064,' '$work/events.err'"
rm -f "$C/qrx/sock.log"

# Start-up.
printf 1 >"$C/scan/scancmd.scc"
check "server starts and answers a code request over TCP" start_server
if [ "$QRX_ROUTE" = qemu ] && [ "$arch" = i686 ]; then
    check "the server runs under qemu-i386" bash -c \
        'for pid in $(qrx_prefix_pids "ScanServer[.]exe"); do readlink "/proc/$pid/exe"; done | grep -q qemu-i386'
fi
check "first log line is Server Start from Server.cpp" \
    bash -c "head -c 80 '$C/qrx/sock.log' | grep -aq '^\[QRXScanServer\]\[[0-9][0-9],[0-9:.]*\]\[Level:6\]\[Server.cpp([0-9]*)\]Server Start'"
check "log shows the command file and the result folder with its backslash" \
    bash -c "grep -aq ')]c:.scan.scancmd.scc'\$'\r' '$C/qrx/sock.log' && grep -aq ')]c:.scan.result.'\$'\r' '$C/qrx/sock.log'"
check "a leftover 1 was answered 5 and logged" \
    bash -c "[ \"\$(cat '$C/scan/scancmd.scc')\" = 5 ] && grep -aqF 'CProcessor::init error type!' '$C/qrx/sock.log'"
lines_before="$(wc -c <"$C/qrx/sock.log")"
(cd "$C/srv" && win 30 ScanServer.exe >/dev/null 2>&1)
second=$?
check "a second copy exits with code 1" test "$second" = 1
check "the second copy logged nothing" test "$(wc -c <"$C/qrx/sock.log")" = "$lines_before"
check "--settings prints the registry's ScanResult while a copy runs" bash -c "cd '$C/srv' &&
    win 30 ScanServer.exe --settings >'$work/settings.out' 2>&1 &&
    tr -d '\r' <'$work/settings.out' | grep -qx 'ScanResult  *c:.scan.result.'"

# The mistakes likeliest at a desk, on the Win32 build's own reading of
# Server.ini and the registry: --settings exits with STATUS and prints a
# line matching each PATTERN.
option_shows() {  # option_shows OPTION STATUS PATTERN... (STATUS: 0, or 0|1)
    local option="$1" want="$2" status pattern
    shift 2
    (cd "$C/srv" && win 30 ScanServer.exe "$option" >"$work/option.out" 2>&1)
    status=$?
    tr -d '\r' <"$work/option.out" >"$work/option.txt"
    [[ "$status" =~ ^($want)$ ]] || { sed 's/^/     /' "$work/option.txt"; return 1; }
    for pattern in "$@"; do
        grep -iE "$pattern" "$work/option.txt" | sed 's/^/     /' | grep . || return 1
    done
}
settings_show() { option_shows --settings "$@"; }
# --status, as whoever looks after the desk asks it: the status file is
# rewritten within a second of a change.
status_show() { eventually 10 option_shows --status "$@"; }
cp "$C/srv/Server.ini" "$work/Server.ini.desk"
printf '\xef\xbb\xbf[Server]\r\nScanMode=1\r\n' >"$C/srv/Server.ini"
check "--settings reads past a UTF-8 byte-order mark and notes it" settings_show 1 \
    '^ScanMode +1$' '^note +Server.ini begins with a UTF-8 byte-order mark: read past it'
{ printf '\xff\xfe'; printf '[Server]\r\nScanMode=3\r\n' | iconv -f ASCII -t UTF-16LE; } \
    >"$C/srv/Server.ini"
check "--settings reads a Server.ini saved as UTF-16 as the profile functions do" \
    settings_show 0 '^ScanMode +3$'
cp "$work/Server.ini.desk" "$C/srv/Server.ini"
win 30 reg delete 'HKLM\SOFTWARE\Quorvane' /v ScanResult_jw /f /reg:32 >/dev/null 2>&1
check "--settings notes an empty ScanResult_jw with the folder used instead" settings_show 1 \
    '^note +ScanResult_jw in HKEY_LOCAL_MACHINE.SOFTWARE.Quorvane is missing or empty: records of the other kinds are written in the working folder, c:.srv$'
win 30 reg delete 'HKLM\SOFTWARE\Quorvane' /f /reg:32 >/dev/null 2>&1
check "--settings notes a missing registry key" settings_show 1 \
    '^ScanCmdPath +scancmd.scc$' '^note +HKEY_LOCAL_MACHINE.SOFTWARE.Quorvane cannot be opened'
desk_registry
check "--settings of the desk as set up exits 0" settings_show 0 '^ScanResult_jw +c:.scan.result_jw.$'
check "--status: the server runs and is well, exit status 0" status_show 0 \
    '^ScanServer [0-9.]+: running, well$' '^  place +command file c:.scan.scancmd.scc: working$'

# Requests over TCP loopback from the Linux side.
check "qrx-client.exe on the desk PC gets a code and exits 0" \
    bash -c "cd '$C/srv' && win 30 qrx-client.exe --endpoint '$reply' code >'$work/client.out' 2>&1 &&
             grep -Eq '[0-9a-f]{8}-[0-9a-f]{4}-' '$work/client.out'"
check "a dealer on the router endpoint gets a code" \
    bash -c "'$client' --endpoint '$router' --dealer code >/dev/null"
refused="$("$client" --endpoint "$reply" submit --set cardtype=ID --set headiamgedata=@@ 2>&1)"
check "a broken image is refused with headiamgedata is invalid" \
    bash -c "[[ \"\$1\" == *'headiamgedata is invalid'* ]]" _ "$refused"

# Scan mode 2 with the capture window.
windesk_bg window 40
windesk_bg take 2 30 'c:\taken'
take_pid=$!
sleep 2
check "mode 2: a C card is accepted" \
    submit C-1 'first&#x41;' "$images/card-1.jpg" "$images/head-1.jpg"
check "mode 2: an F card via the router endpoint is accepted" \
    submit F-1 second "$images/card-2.jpg" "$images/head-2.jpg" --dealer --endpoint "$router"
wait "$take_pid"
check "mode 2: the test desktop took both records" test $? = 0
sed 's/^/     /' "$work/take.bg.out"
check "mode 2: answers were 2 and each ScanCmd" \
    bash -c "grep -q '^answer 2C-1' '$work/take.bg.out' && grep -q '^answer 2F-1' '$work/take.bg.out'"
card_c="$(ls "$C"/taken/ScanResult/*[0-9].jpg 2>/dev/null | head -1)"
head_f="$(ls "$C"/taken/ScanResult_jw/*_head.jpg 2>/dev/null | head -1)"
check "mode 2: the C record's card image is byte-identical" same_bytes "$card_c" "$images/card-1.jpg"
check "mode 2: the F record's head image is byte-identical" same_bytes "$head_f" "$images/head-2.jpg"
check "mode 2: records are gb2312 XML with CR LF" \
    bash -c "head -c 44 \"\$(ls '$C'/taken/ScanResult/*.xml | head -1)\" | grep -aq 'encoding=\"gb2312\" ?>'\$'\r'"
record_c="$(ls "$C"/taken/ScanResult/*.xml 2>/dev/null | head -1)"
check "mode 2: the name's &#x41; is written escaped, as &amp;#x41;" \
    grep -aqsF '<NAME>first&amp;#x41;</NAME>' "$record_c"
now="$(date +%H:%M)"
check "mode 2: the capture window's controls show the time ($now)" \
    eventually 5 clock_shows "$now"

# qrx-client.exe sends a UTF-8 card's texts as GBK, as the record needs.
windesk_bg take 1 30 'c:\taken2'
take_pid=$!
sleep 2
printf '{"cardtype":"ID","ScanCmd":"C-U","name":"\xe5\xbc\xa0\xe4\xb8\x89"}' \
    >"$C/srv/card-utf8.json"
check "qrx-client.exe converts a UTF-8 card to GBK and the card is accepted" \
    bash -c "cd '$C/srv' && win 30 qrx-client.exe --endpoint '$reply' submit \
                 --card card-utf8.json >'$work/utf8.out' 2>&1 &&
             grep -q '1 text converted from UTF-8 to GBK' '$work/utf8.out'"
wait "$take_pid"
record_u="$(ls "$C"/taken2/ScanResult/*.xml 2>/dev/null | head -1)"
check "the record holds the name in GBK" \
    env LC_ALL=C grep -aqsF $'<NAME>\xd5\xc5\xc8\xfd</NAME>' "$record_u"
printf '{"cardtype":"ID","name":"\xf0\x9f\x98\x80"}' >"$C/srv/card-emoji.json"
check "qrx-client.exe refuses a text with no GBK form in one line naming it" \
    bash -c "cd '$C/srv'; win 30 qrx-client.exe --endpoint '$reply' submit \
                 --card card-emoji.json >'$work/emoji.out' 2>&1
             [ \$? = 3 ] && grep -q 'card-emoji.json: \"name\" holds U+1F600, which has no GBK form' '$work/emoji.out'"

# The prompt box holds hand-overs back.
windesk_bg window 8 4
sleep 1.5
submit C-2 held "$images/card-3.jpg" "$images/head-3.jpg"
windesk write 0
check "mode 2: nothing is handed over while the prompt box is open" \
    bash -c "sleep 1.5; [ \"\$(cat '$C/scan/scancmd.scc')\" = 0 ]"
check "mode 2: the record goes once the prompt box has closed" eventually 15 cmdfile_is 2C-2
rm -f "$C"/scan/result/*.xml

# The desktop side holding the command file.
windesk_bg hold 3000
sleep 1
submit C-3 locked "$images/card-1.jpg" "$images/head-1.jpg"
check "mode 2: nothing is written while the desktop holds the command file" \
    bash -c "sleep 1; [ \"\$(cat '$C/scan/scancmd.scc')\" = 2C-2 ]"
windesk write 0  # waits for the holder, as the application would
check "mode 2: the record goes once the file is free" eventually 15 cmdfile_is 2C-3

# A full drive under the result folder: a 64 KiB tmpfs, too small for a
# card with a 200 KB photograph, then grown. (Mounting needs root, as CI
# has.)
rm -f "$C"/scan/result/*
if mount -t tmpfs -o size=64k tmpfs "$C/scan/result" 2>"$work/mount.err"; then
    big="$work/big.jpg"
    head -c 200000 /dev/urandom >"$big"
    submit C-4 full "$big" "$images/head-1.jpg"
    windesk write 0
    check "full drive: nothing is announced and no file is left behind" \
        bash -c "sleep 2; [ \"\$(cat '$C/scan/scancmd.scc')\" = 0 ] &&
                 [ -z \"\$(ls -A '$C/scan/result')\" ]"
    check "full drive: one line names the folder and why" \
        bash -c "[ \"\$(grep -ac 'cannot write a record into \"c:.scan.result.\": ' '$C/qrx/sock.log')\" = 1 ]"
    grep -a 'cannot write a record' "$C/qrx/sock.log" | sed 's/^/     /'
    check "--status: the full drive's folder fails, exit status 1" status_show 1 \
        '^  place +result folder of C cards c:.scan.result.: FAILING$' \
        '^  fault +result folder of C cards c:.scan.result. fails since [-0-9: ]+ \([0-9]+ s ago\): '
    mount -o remount,size=1m "$C/scan/result"
    check "full drive: once there is room the card is announced" eventually 15 cmdfile_is 2C-4
    check "full drive: its card image arrived byte for byte" \
        same_bytes "$(ls "$C"/scan/result/*[0-9].jpg 2>/dev/null | head -1)" "$big"
    check "full drive: one line says records are written again" \
        log_has 'records are written again, into "c:\scan\result\"'
    umount -l "$C/scan/result"
else
    echo "SKIP ${suite}full drive: cannot mount a tmpfs ($(cat "$work/mount.err"))"
fi

# CURVE with a client list: keys from qrx-client.exe on the desk PC and
# from the POSIX qrx-client, the POSIX client talking to the Windows server.
stop_server
rm -rf "$C/srv/keys" "$work/keys"
check "CURVE: qrx-client.exe keygen writes the server's key pair" \
    bash -c "cd '$C/srv' && win 30 qrx-client.exe keygen keys >'$work/keygen.out' 2>&1 &&
             test -s keys/secret.key -a -s keys/public.key"
"$client" keygen "$work/keys/listed" >/dev/null 2>&1
"$client" keygen "$work/keys/stranger" >/dev/null 2>&1
server_key="$(head -c 40 "$C/srv/keys/public.key" 2>/dev/null)"
listed_key="$(head -c 40 "$work/keys/listed/public.key" 2>/dev/null)"
stranger_key="$(head -c 40 "$work/keys/stranger/public.key" 2>/dev/null)"
printf '# the listed desk\r\n%s\r\n' "$listed_key" >"$C/srv/clients.txt"
printf 'not a key\r\n' >"$C/srv/bad.key"
printf '[Server]\r\nAddress=%s\r\nAddressEx=%s\r\n[Security]\r\nCurveSecretKeyFile=bad.key\r\n' \
    "$reply" "$router" >"$C/srv/Server.ini"
(cd "$C/srv" && win 30 ScanServer.exe >/dev/null 2>&1)
bad_key_status=$?
check "CURVE: a malformed secret key stops the server with exit status 2" \
    test "$bad_key_status" = 2
check "CURVE: the malformed key is logged with its setting and path" \
    log_has 'srv\bad.key: the file holds 9 characters, not one Z85 key of 40'
printf '[Server]\r\nAddress=%s\r\nAddressEx=%s\r\n[Security]\r\nCurveSecretKeyFile=keys\\secret.key\r\nCurveClientKeys=c:\\srv\\clients.txt\r\n' \
    "$reply" "$router" >"$C/srv/Server.ini"
(cd "$C/srv" && win 900 ScanServer.exe >"$work/server.out" 2>&1) &
disown
curve_serving() {
    "$client" --endpoint "$reply" --timeout 500 --server-key "$server_key" \
        --client-key-file "$work/keys/listed/secret.key" code >/dev/null 2>&1
}
check "CURVE: a listed POSIX client gets a code from ScanServer.exe" eventually 30 curve_serving
check "CURVE: the log gives the server's public key" \
    log_has "CURVE on, server public key $server_key"
check "CURVE: a plain client gets nothing" \
    bash -c "! '$client' --endpoint '$reply' --timeout 1000 code >/dev/null 2>&1"
check "CURVE: an unlisted client gets nothing" \
    bash -c "! '$client' --endpoint '$reply' --timeout 1000 --server-key '$server_key' \
                 --client-key-file '$work/keys/stranger/secret.key' code >/dev/null 2>&1"
check "CURVE: the refusal is logged with the key and the address" \
    eventually 5 log_has "CURVE client refused: key $stranger_key from 127.0.0.1"
check "CURVE: a listed dealer's card is accepted" \
    submit C-5 curve "$images/card-1.jpg" "$images/head-1.jpg" --dealer --endpoint "$router" \
        --server-key "$server_key" --client-key-file "$work/keys/listed/secret.key"

# Scan mode 1.
stop_server
rm -f "$C"/scan/result/*.xml "$C"/scan/result_jw/*.xml
check "mode 1: server restarts" start_server 'ScanMode=1\r\n'
submit C-4 c4 "$images/card-1.jpg" "$images/head-1.jpg"
submit F-4 f4 "$images/card-2.jpg" "$images/head-2.jpg"
windesk ask F 20 'c:\taken1'
sed 's/^/     /' "$work/desk.out"
check "mode 1: F is answered 1, then 2 and the F card's ScanCmd" \
    bash -c "grep -q '^answer 1' '$work/desk.out' && grep -q '^answer 2F-4' '$work/desk.out'"
windesk ask F 20 'c:\taken1'
sed 's/^/     /' "$work/desk.out"
check "mode 1: another F finds only a C card queued and gets 5" grep -q '^answer 5' "$work/desk.out"
windesk ask C 20 'c:\taken1'
sed 's/^/     /' "$work/desk.out"
check "mode 1: C gets the C card" grep -q '^answer 2C-4' "$work/desk.out"

# A capture application that stops handling messages.
stop_server
qrx_prefix_pids 'qrx-windesk[.]exe window' | xargs -r kill 2>/dev/null  # its window is the only one
rm -f "$C"/scan/result/*.xml "$C"/scan/result_jw/*.xml "$C/srv/clock.txt"
check "hung window: server restarts in scan mode 2" start_server 'ScanMode=2\r\n'
# An earlier capture window that closed during a hand-over may have
# logged one already; only the lines from here on count.
clock_lines_before="$(grep -ac 'did not take the clock' "$C/qrx/sock.log")"
clock_lines_are() {  # clock_lines_are N: N more such lines, each at level 3
    [ "$(grep -a 'did not take the clock' "$C/qrx/sock.log" | grep -c 'Level:3')" = \
        "$((clock_lines_before + $1))" ]
}
windesk_bg window 30 0 3 12  # handles messages for 3 s, then none for 12 s
check "hung window: the capture window stops handling messages" \
    eventually 30 grep -q '^hung' "$work/window.bg.out"
windesk_bg take 1 30 'c:\taken3'
take_pid=$!
sleep 1
submit C-5 hung "$images/card-1.jpg" "$images/head-1.jpg"
check "hung window: the server still answers within 5 s during the hand-over" \
    bash -c "'$client' --endpoint '$reply' --timeout 5000 code >/dev/null 2>&1"
wait "$take_pid"
check "hung window: the record is handed over all the same" grep -q '^answer 2C-5' "$work/take.bg.out"
check "hung window: one level-3 line says the clock was not set" clock_lines_are 1
check "hung window: it recovers" eventually 20 grep -q '^recovered' "$work/window.bg.out"
windesk_bg take 1 30 'c:\taken3'
take_pid=$!
sleep 1
submit C-6 recovered "$images/card-2.jpg" "$images/head-2.jpg"
wait "$take_pid"
check "recovered window: the next record is handed over" grep -q '^answer 2C-6' "$work/take.bg.out"
now="$(date +%H:%M)"
check "recovered window: the clock is set ($now)" \
    eventually 5 clock_shows "$now"
check "recovered window: nothing more is logged" clock_lines_are 1
stop_server

# A stop asked for: taskkill without /f closes the server's hidden window,
# and the server names the card that ends with it, then ends.
printf 5 >"$C/scan/scancmd.scc"  # the desk wants nothing: the card stays queued
(cd "$C/srv" && WINEDEBUG=-all,+eventlog,fixme+advapi win 900 ScanServer.exe >/dev/null 2>"$work/stop.err") &
disown
check "stop: the server starts" eventually 30 serving
check "stop: a card waits in the queue" submit C-7 stopping "$images/card-1.jpg" "$images/head-1.jpg"
# Wine's 32-bit taskkill cannot name a 64-bit process: the x86_64 build's
# is asked with the 64-bit one, as on 64-bit Windows.
taskkill_loader=wine
[ "$arch" = x86_64 ] && taskkill_loader=/usr/lib/wine/wine64
timeout 30 "$taskkill_loader" taskkill /IM ScanServer.exe >"$work/taskkill.out" 2>&1
sed 's/^/     /' "$work/taskkill.out"
check "stop: taskkill without /f ends the server" eventually 20 no_server
check "--status: the stopped server is not running, exit status 3" status_show 3 \
    '^ScanServer: not running; the last status was written by process [0-9]+ at '
stopped='asked to stop (a close of its window): the server stops; 1 queued card ends with it, their ScanCmd: "C-7"'
check "stop: one level-3 line names the request and the card by its ScanCmd alone" \
    bash -c 'grep -aF "]$1" "$2" | grep -q "\[Level:3\]\[Processor.cpp("' _ "$stopped"$'\r' "$C/qrx/sock.log"
grep -a 'eventlog:ReportEvent' "$work/stop.err" | sed 's/^/     /'
# Wine's trace writes the event's quotes escaped.
check "stop: event 110, an error, says the same" \
    bash -c 'grep -aq "ReportEventA ([0-9A-Fa-f]*,0x0001,0x0000,0x0000006e," "$2" &&
             grep -aqF "eventlog:ReportEventW L\"$1" "$2"' _ "${stopped//\"/\\\"}" "$work/stop.err"
stop_server

# --watch, as the logon entry starts it: a server ended by taskkill /F is
# started again within the first wait, with event 112; a stop of the
# watcher stops its server, and both end.
rm -f "$C/qrx/sock.log"
(cd "$C/srv" && WINEDEBUG=-all,+eventlog,fixme+advapi win 900 ScanServer.exe --watch >/dev/null 2>"$work/watch.err") &
disown
watched() {  # watched N: the Windows process id of the N-th server the watcher started
    grep -ao 'the watcher started the server, process [0-9]*' "$C/qrx/sock.log" 2>/dev/null |
        sed -n "${1}s/.* //p"
}
started_again() { [ -n "$(watched 2)" ] && serving; }
check "watch: the watcher starts the server, which answers" eventually 30 serving
first="$(watched 1)"
timeout 30 "$taskkill_loader" taskkill /F /PID "${first:-0}" >"$work/taskkill.out" 2>&1
sed 's/^/     /' "$work/taskkill.out"
killed_at=$SECONDS
check "watch: a server ended by taskkill /F is started again and answers" eventually 30 started_again
echo "     started again and answering $((SECONDS - killed_at)) s after taskkill /F"
grep -a 'Watcher.cpp' "$C/qrx/sock.log" | sed 's/^/     /'
# taskkill /F ends a program with exit code 1 on Windows, 0 under Wine.
check "watch: one level-3 line gives the exit code and the first wait, 1 s" \
    bash -c "grep -a '\[Level:3\]\[Watcher.cpp(' '$C/qrx/sock.log' |
             grep -q 'the server ended with exit code [01] after .*: started again in 1 s (restart 1)'"
grep -a 'eventlog:ReportEvent' "$work/watch.err" | sed 's/^/     /'
check "watch: event 112, an error, says the same" \
    bash -c "grep -aq 'ReportEventA ([0-9A-Fa-f]*,0x0001,0x0000,0x00000070,' '$work/watch.err'"
check "watch: --status shows the watcher and its restart" status_show '0|1' \
    '^  watcher +process [0-9]+, 1 restart, the last [-0-9: ]+ \([0-9]+ s ago\) after exit code [01]$'
timeout 30 "$taskkill_loader" taskkill /IM ScanServer.exe >"$work/taskkill.out" 2>&1
check "watch: taskkill without /f ends the watcher and its server" eventually 20 no_server
check "watch: the watcher said it stops its server" log_has "and stops its server"
stop_server

checks_done "server $arch"
