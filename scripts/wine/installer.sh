#!/usr/bin/env bash
# The signed installer of the i686 build under Wine, silent (/S), as a
# desk PC gets it: every signature checked, then install, reinstall over a
# changed Server.ini, uninstall. Run by wine-e2e.sh, which builds and signs
# it with a throwaway certificate.
source "$(dirname "$0")/../lib/strict.sh"
source "$(dirname "$0")/../lib/wine.sh"
source "$(dirname "$0")/../lib/wine-checks.sh"
set +e
trap - ERR

suite="[installer] "
use_wine
# FILE carries an intact signature (the digest and the signature verified)
# by the throwaway certificate, which is taken as the trust anchor.
signed() {
    osslsigncode verify -CAfile "$signing/cert.pem" -in "$1" >"$work/verify.out" 2>&1 ||
        { tail -n 4 "$work/verify.out" | sed 's/^/     /'; return 1; }
}
setup="$dist/QRXScanServer-$version-setup.exe"
pf="$C/Program Files (x86)/QRX Scan Server"
entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QRXScanServer'
stop_server
rm -rf "$C/qrx"
# The installed server, not any other program on the port, answers.
installed_answers() {
    [ -n "$(qrx_prefix_pids 'ScanServer[.]exe')" ] &&
        (cd "$pf" && win 30 qrx-client.exe --timeout 500 code >/dev/null 2>&1)
}

check "the setup is signed" signed "$setup"
check "setup.exe /S installs" win 120 "$setup" /S
for exe in ScanServer.exe qrx-client.exe uninstall.exe; do
    check "the installed $exe is signed" signed "$pf/$exe"
done
check "the files are in Program Files (x86)\QRX Scan Server" \
    bash -c "cd '$pf' && test -f ScanServer.exe -a -f qrx-client.exe -a -f README.txt \
             -a -f uninstall.exe -a -f Server.ini"
check "Server.ini is the template, in GBK with CR LF, every key listed" \
    bash -c "cmp -s '$pf/Server.ini' '$build_win/package/files/Server.ini' &&
             grep -c '^[A-Za-z]*=' '$pf/Server.ini' | grep -qx 16 &&
             LC_ALL=C grep -aq \$'^Caption=\xc9\xe7\xbb\xe1\xd0\xc5\xcf\xa2\xb2\xc9\xbc\xaf\xcf\xb5\xcd\xb3\r\$' '$pf/Server.ini'"
check "the Run value starts it watched at logon" logon_entry_set
check "the event source is registered with ScanServer.exe's messages" event_source_set
check "the uninstall entry carries version $version" \
    bash -c "win 30 reg query '$entry' /v DisplayVersion /reg:32 2>/dev/null | grep -aq '$version'"
check "the server started and answers qrx-client.exe over TCP" eventually 30 installed_answers
watched_pair() { [ "$(qrx_prefix_pids 'ScanServer[.]exe' | wc -l)" = 2 ]; }
check "it runs watched: the watcher and its server" eventually 30 watched_pair
check "no log folder unless asked for" test ! -e "$C/qrx"

mkdir -p "$C/qrx"
printf 'kept\r\n' >"$C/qrx/marker.txt"
first_pid="$(qrx_prefix_pids 'ScanServer[.]exe' | head -1)"
sed -i 's/^WaitTime=180/WaitTime=99/' "$pf/Server.ini"
check "setup.exe /S installs again over it" win 120 "$setup" /S
check "a changed Server.ini survives the reinstall" grep -aq '^WaitTime=99' "$pf/Server.ini"
restarted() { ! kill -0 "${first_pid:-0}" 2>/dev/null && installed_answers; }
check "the running copy was stopped, and the new one answers" eventually 30 restarted

check "uninstall.exe /S runs" win 120 "$pf/uninstall.exe" /S
check "the program files are gone" eventually 30 bash -c "test ! -e '$pf/ScanServer.exe' -a ! -e '$pf/uninstall.exe' -a ! -e '$pf/qrx-client.exe'"
check "the server was stopped" eventually 10 no_server
check "the Run value is gone" logon_entry_gone
check "the uninstall entry is gone" bash -c "! win 30 reg query '$entry' /reg:32 >/dev/null 2>&1"
check "the event source is gone" event_source_gone
check "the changed Server.ini is left in place" grep -aq '^WaitTime=99' "$pf/Server.ini"
check "the log folder is untouched" grep -aq kept "$C/qrx/marker.txt"

checks_done installer
