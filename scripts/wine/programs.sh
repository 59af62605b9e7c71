#!/usr/bin/env bash
# The programs of one build, ARCH (i686, the default, or x86_64), under
# Wine: the version resource and the manifest, the DLLs each imports, and the
# platform contract tests on the real Win32 calls. Run by wine-e2e.sh, or
# alone once it has built the programs.
source "$(dirname "$0")/../lib/strict.sh"
source "$(dirname "$0")/../lib/wine.sh"
source "$(dirname "$0")/../lib/wine-checks.sh"
set +e
trap - ERR
arch="${1:-i686}"
suite="[$arch] "
use_wine
fresh_machine "$arch"
exes="$build_win/$arch/server"
# FILE imports only DLLs that are part of Windows (the rest is linked in);
# any other is printed.
only_system_dlls() {
    local dlls others
    dlls="$(objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p')"
    others="$(grep -viE '^(advapi32|iphlpapi|kernel32|msvcrt|ole32|shell32|shlwapi|user32|ws2_32)\.dll$' \
        <<<"$dlls")"
    [ -z "$others" ] || echo "     $1 imports" $others
    [ -z "$others" ] && grep -qix kernel32.dll <<<"$dlls"
}

# The version resource and the manifest are in both programs.
for exe in ScanServer.exe qrx-client.exe; do
    check "$exe carries version $version, the product name and its manifest" \
        bash -c "strings -el '$C/srv/$exe' | grep -qx '$version' &&
                 strings -el '$C/srv/$exe' | grep -qx 'QRX Scan Server' &&
                 grep -aq 'level=\"asInvoker\"' '$C/srv/$exe'"
done

# libzmq, libsodium, JsonCpp, TinyXML and the C++ runtime are linked in.
for exe in ScanServer.exe qrx-client.exe qrx-curve-bench.exe; do
    check "$exe imports only system DLLs" only_system_dlls "$exes/$exe"
done

# The platform contract on the real calls (before the registry is set up).
check "platform contract tests on the Win32 calls" \
    bash -c "cd '$C/srv' && win 180 qrx_contract_tests.exe >'$work/contract.out' 2>&1"
grep -aE '^\[  (PASSED|FAILED)' "$work/contract.out"

checks_done "programs $arch"
