#!/usr/bin/env bash
# Lays out the machine the POSIX build stands in for, under the prefix
# (QRX_PREFIX, default ~/.qrx), so the server works out of the box:
#   drive_c/qrx/          the log folder (c:\qrx\sock.log)
#   scan/result/          records of kind C      (registry value ScanResult)
#   scan/result_jw/       all other records      (registry value ScanResult_jw)
#   scan/scancmd.scc      the command file       (registry value ScanCmdPath)
#   registry.reg          the registry key pointing at those three
#   desktop/              the desktop (empty: no capture window, no prompt box)
# An existing registry.reg is left as it is.
source "$(dirname "$0")/lib/strict.sh"
prefix="${QRX_PREFIX:-$HOME/.qrx}"
mkdir -p "$prefix/drive_c/qrx" "$prefix/scan/result" "$prefix/scan/result_jw" "$prefix/desktop"

if [ ! -e "$prefix/registry.reg" ]; then
    escaped="$(printf '%s' "$prefix" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')"
    printf '%s\r\n' \
        'Windows Registry Editor Version 5.00' \
        '' \
        '[HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane]' \
        "\"ScanCmdPath\"=\"$escaped/scan/scancmd.scc\"" \
        "\"ScanResult\"=\"$escaped/scan/result/\"" \
        "\"ScanResult_jw\"=\"$escaped/scan/result_jw/\"" > "$prefix/registry.reg"
    echo "Wrote $prefix/registry.reg"
fi
