#!/usr/bin/env bash
# The MSI package of the i686 build under Wine, silent (msiexec /qn), as a
# deployment gives it to a desk: its tables, bad properties refused, an
# install with ADDRESS, ADDRESSEX and SCANMODE, the server started from the
# logon entry's command, setup.exe and the package refusing each other, an
# upgrade to a newer package over a changed Server.ini, an older package
# refused, and uninstalls that leave the log and a changed Server.ini only.
# Run by wine-e2e.sh after installer.sh, which builds and signs the package.
source "$(dirname "$0")/../lib/strict.sh"
source "$(dirname "$0")/../lib/wine.sh"
source "$(dirname "$0")/../lib/wine-checks.sh"
set +e
trap - ERR

suite="[msi] "
use_wine
msi="$dist/QRXScanServer-$version.msi"
setup="$dist/QRXScanServer-$version-setup.exe"
files="$build_win/package/files"
pf="$C/Program Files (x86)/QRX Scan Server"
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# A newer package of the same files, to upgrade to.
newer_version="${version%.*}.$((${version##*.} + 1))"
newer="$work/QRXScanServer-$newer_version.msi"
# Another build of that version (a new product code), which replaces it too.
rebuilt="$work/QRXScanServer-$newer_version-rebuilt.msi"
for package in "$newer" "$rebuilt"; do
    "$root/scripts/lib/build-msi.sh" "$newer_version" "$files" "$build_win/package/qrx-msi-actions.dll" \
        "$package" >/dev/null
done

# Helpers, exported for the checks that run in bash -c.
table() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r'; }
entries() { win 30 reg query "$uninstall" /s /reg:32 2>/dev/null | tr -d '\r'; }
msiexec() {  # msiexec LOG ARGS...: installs or removes silently, logged to work/LOG.log
    local log="$work/$1.log"
    shift
    win 180 msiexec "$@" /qn /l*v "Z:${log//\//\\}" >/dev/null 2>&1
}
logged() { tr -d '\r\000' <"$work/$1.log" | grep -qF "$2"; }
# Exactly one product named so in Add/Remove Programs, at VERSION.
one_entry() {
    entries | grep -A20 'DisplayName.*QRX Scan Server' | grep -q "DisplayVersion.*$1" &&
        [ "$(entries | grep -c 'DisplayName.*REG_SZ.*QRX Scan Server$')" = 1 ]
}
export msi uninstall
export -f table entries msiexec logged one_entry

signed() { osslsigncode verify -CAfile "$signing/cert.pem" -in "$1" >/dev/null 2>&1; }
check "the package is signed" signed "$msi"
check "the tables: one upgrade code, older and same replaced, newer detected and refused" \
    bash -c "table Upgrade | grep -c '^{F304B6A9-6A66-422E-9C31-5D222311CA5E}' | grep -qx 2 &&
             table Upgrade | grep -qP '^\{F304B6A9-6A66-422E-9C31-5D222311CA5E\}\t\t$version\t\t513\t\tWIX_UPGRADE_DETECTED$' &&
             table LaunchCondition | grep -qP '^NOT WIX_DOWNGRADE_DETECTED\tA newer version of QRX Scan Server' &&
             table InstallExecuteSequence | grep -qP '^RemoveExistingProducts\t\t1401$'"
# Wine's msiexec does not log a launch condition's message: it is checked here.
check "the tables: a desk with setup.exe's copy refused, with what to do" \
    bash -c "table AppSearch | grep -qP '^SETUPEXEINSTALLED\t' &&
             table RegLocator | grep -qF 'CurrentVersion\\Uninstall\\QRXScanServer	UninstallString' &&
             table LaunchCondition | grep -qP '^Installed OR NOT SETUPEXEINSTALLED\t.*by its setup.exe. Uninstall that copy first'"
check "the tables: the four files, per machine under ProgramFilesFolder" \
    bash -c "[ \"\$(table File | cut -f3 | LC_ALL=C sort | tr '\n' ' ')\" = 'README.txt ScanServer.exe Server.ini.default qrx-client.exe ' ] &&
             table Property | grep -qP '^ALLUSERS\t1' &&
             table Property | grep -qP '^SecureCustomProperties\t.*;ADDRESS;ADDRESSEX;SCANMODE$' &&
             table Directory | grep -qP '^INSTALLDIR\tProgramFilesFolder\tQRX Scan Server$'"
check "the tables: the logon entry and the event source" \
    bash -c "table Registry | grep -qF 'CurrentVersion\\Run	QRXScanServer	\"[INSTALLDIR]ScanServer.exe\" --watch' &&
             table Registry | grep -qF 'Application\\QRXScanServer	TypesSupported	#7' &&
             table Registry | grep -qF 'Application\\QRXScanServer	EventMessageFile	#%[INSTALLDIR]ScanServer.exe'"
# Types: 1 a DLL from the Binary table, +64 its result ignored, +1024
# deferred, +2048 without impersonation (no meaning for an immediate one,
# where wixl sets it too); 51 sets a property.
check "the tables: each custom action's type, and when it runs" \
    bash -c "[ \"\$(table CustomAction | cut -f1,2 | LC_ALL=C sort | tr '\t\n' ': ')\" = \
               'ApplySettings:3073 ApplySettingsData:2099 CheckSettings:2049 ForgetSettings:3137 ForgetSettingsData:2099 KeepSettings:2049 StartServer:3137 StartServerData:2099 StopServer:3137 ' ] &&
             [ \"\$(table InstallExecuteSequence | grep -E '^(Check|Keep|Stop|Forget|Apply|Start)[A-Za-z]*\s' |
                   cut -f1,3 | LC_ALL=C sort | tr '\t\n' ': ')\" = \
               'ApplySettings:4010 ApplySettingsData:1410 CheckSettings:1390 ForgetSettings:3495 ForgetSettingsData:1412 KeepSettings:1395 StartServer:6590 StartServerData:1411 StopServer:3490 ' ]"
check "the tables: the program folder is removed at uninstall once empty" \
    bash -c "table InstallExecuteSequence | grep -qP '^RemoveFolders\t' && table CreateFolder | grep -qP '^INSTALLDIR\t'"

stop_server
rm -rf "$pf" "$C/qrx"
mkdir -p "$C/qrx"
printf 'kept\r\n' >"$C/qrx/marker.txt"
installed_answers() {
    [ -n "$(qrx_prefix_pids 'ScanServer[.]exe')" ] && serving
}

check "SCANMODE=7 is refused, and nothing is installed" \
    bash -c "! msiexec bad /i '$msi' SCANMODE=7 && test ! -e '$pf'"
check "the refusal says why" logged bad "SCANMODE is 7: it must be 0, 1, 2 or 3"

check "setup.exe /S installs (to try the package beside it)" win 120 "$setup" /S
# Windows Installer's 1603; Wine's exit status is its low byte, 67.
exits() {  # exits STATUS COMMAND...
    local want="$1" status
    shift
    "$@"
    status=$?
    [ "$status" = "$want" ] || { echo "     exit status $status, not $want"; return 1; }
}
check "the package refuses a desk where setup.exe installed the server (1603)" \
    exits 67 msiexec beside /i "$msi"
check "setup.exe's copy stays, the only one" \
    bash -c "test -e '$pf/uninstall.exe' && one_entry '$version'"
check "setup.exe's copy uninstalls" win 120 "$pf/uninstall.exe" /S
eventually 30 bash -c "test ! -e '$pf/uninstall.exe'"
stop_server
rm -rf "$pf"

start=$SECONDS
check "msiexec /i /qn with ADDRESS, ADDRESSEX and SCANMODE installs" \
    msiexec install /i "$msi" ADDRESS="$reply" ADDRESSEX="$router" SCANMODE=1
echo "     install: $((SECONDS - start)) s"
check "the files are in Program Files (x86)\\QRX Scan Server, ScanServer.exe signed" \
    bash -c "cd '$pf' && test -f ScanServer.exe -a -f qrx-client.exe -a -f README.txt \
                 -a -f Server.ini.default -a -f Server.ini &&
             osslsigncode verify -CAfile '$signing/cert.pem' -in ScanServer.exe >/dev/null 2>&1"
# The template with the three keys rewritten in place: every other byte kept.
sed -e "s|^Address=.*\r\$|Address=$reply\r|" -e "s|^AddressEx=.*\r\$|AddressEx=$router\r|" \
    -e "s|^ScanMode=.*\r\$|ScanMode=1\r|" "$files/Server.ini" >"$work/expected.ini"
check "Server.ini: the template with the properties written in place" \
    cmp -s "$pf/Server.ini" "$work/expected.ini"
grep -a '^\(Address\|AddressEx\|ScanMode\)=' "$pf/Server.ini" | tr -d '\r' | sed 's/^/     read back: /'
check "the Run value starts it watched at logon" logon_entry_set
check "the event source is registered with ScanServer.exe's messages" event_source_set
check "one uninstall entry, version $version" one_entry "$version"
check "the install started the server, and it answers on ADDRESS" eventually 30 installed_answers

# The logon entry's command, run as a logon runs it: from the system folder.
stop_server
logon="$(logon_entry | sed -n 's/.*REG_SZ *//p')"
program="${logon#\"}"
program="${program%%\"*}"
(cd "$C/windows/system32" && win 900 "$program" ${logon##*\" } >"$work/logon.out" 2>&1) &
disown
check "the logon entry's command starts the server, which answers" eventually 30 installed_answers

check "setup.exe /S refuses a desk where the package is installed (2)" exits 2 win 120 "$setup" /S
check "and leaves it as it was" bash -c "test ! -e '$pf/uninstall.exe' && one_entry '$version'"

first_pid="$(qrx_prefix_pids 'ScanServer[.]exe' | head -1)"
start=$SECONDS
check "a newer package ($newer_version) upgrades in place" msiexec upgrade /i "$newer"
echo "     upgrade: $((SECONDS - start)) s"
check "Server.ini, unchanged by the desk, is kept as deployed, byte for byte" \
    cmp -s "$pf/Server.ini" "$work/expected.ini"
check "one uninstall entry, version $newer_version" one_entry "$newer_version"
restarted() { ! kill -0 "${first_pid:-0}" 2>/dev/null && installed_answers; }
check "the running copy was stopped, and the new one answers" eventually 30 restarted

sed -i 's/^WaitTime=180/WaitTime=99/' "$pf/Server.ini"
check "another build of $newer_version replaces it" msiexec rebuilt /i "$rebuilt"
check "the changed Server.ini is kept, with the properties of the first install" \
    bash -c "grep -aq '^WaitTime=99' '$pf/Server.ini' && grep -aqF 'Address=$reply' '$pf/Server.ini'"
check "still one uninstall entry" one_entry "$newer_version"
second_pid="$(qrx_prefix_pids 'ScanServer[.]exe' | head -1)"
check "the older package refuses to replace the newer (1603)" exits 67 msiexec downgrade /i "$msi"
check "and leaves the newer installed and its server running" \
    bash -c "one_entry '$newer_version' && kill -0 '${second_pid:-0}' 2>/dev/null"

start=$SECONDS
check "msiexec /x /qn uninstalls" msiexec remove /x "$rebuilt"
echo "     uninstall: $((SECONDS - start)) s"
check "the server was stopped" eventually 10 no_server
check "only the changed Server.ini is left in the program folder" \
    bash -c "[ \"\$(ls -A '$pf')\" = Server.ini ] && grep -aq '^WaitTime=99' '$pf/Server.ini'"
check "the Run value and the event source are gone" \
    eval "logon_entry_gone && event_source_gone"
check "no uninstall entry is left" bash -c "! entries | grep -q 'DisplayName.*QRX Scan Server'"

# Once more without properties and without a changed Server.ini.
rm -f "$pf/Server.ini"
check "msiexec /i /qn without properties installs" msiexec plain /i "$msi"
check "Server.ini is the template, byte for byte" cmp -s "$pf/Server.ini" "$files/Server.ini"
check "msiexec /x /qn uninstalls it" msiexec plain-remove /x "$msi"
check "the program folder is gone" test ! -e "$pf"
check "the log folder is untouched" grep -aq kept "$C/qrx/marker.txt"
stop_server

checks_done msi
