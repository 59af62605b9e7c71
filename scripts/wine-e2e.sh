#!/usr/bin/env bash
# End-to-end tests of the Windows programs on the real Win32 calls, under
# Wine with Xvfb. Installs the tools, cross-builds both architectures, i686
# (the server as deployed) and x86_64, signs the i686 installer with a
# throwaway self-signed certificate (no timestamp server: the run needs no
# network), then runs the checks, each script a subject:
#   scripts/wine/programs.sh ARCH   resources, imported DLLs, the platform
#                                   contract tests on the Win32 calls
#   scripts/wine/server.sh ARCH     the server as the POSIX end-to-end tests
#                                   check it, CURVE with a client list included
#   scripts/wine/installer.sh       install, reinstall, uninstall, all silent
#   scripts/wine/msi.sh             the MSI package: its tables, properties,
#                                   upgrade, downgrade refused, uninstall
# They share one Wine prefix and the helpers of scripts/lib/wine-checks.sh;
# each can also be run alone once this script has built what it checks.
# Which route runs the 32-bit build depends on whether the CPU offers 32-bit
# code (scripts/lib/wine.sh); the first line says which route this run takes
# and why; Wine itself comes from the machine or, where the machine cannot
# have wine32, from a throwaway tree (scripts/build-wine-root.sh), and a line
# says which. Every Windows program runs under a time limit: one that has to
# be ended fails its check, and a line names it. The last check: the
# machine's packages are at the versions they were before the run, or newer.
# Prints each part's time as it ends, then "N passed, M failed", and exits
# non-zero when anything failed.
source "$(dirname "$0")/lib/strict.sh"
source "$(dirname "$0")/lib/wine.sh"
source "$(dirname "$0")/lib/wine-checks.sh"
source "$(dirname "$0")/lib/apt.sh"
arches=(${QRX_WIN_ARCHES:-i686 x86_64})

# The machine's packages before the tools are installed: this run may add
# some, but take none back (its last check).
qrx_package_versions >"$work/packages-before"
"$root/scripts/install-deps.sh"
"$root/scripts/install-win-tools.sh"
for arch in "${arches[@]}"; do
    BUILD_WIN_DIR="$build_win" "$root/scripts/build-win.sh" "$arch"
    part_done "build $arch"
done
# A throwaway code-signing certificate, its own only trust anchor; a release
# is signed with a real one (docs/development.md).
rm -rf "$signing"
mkdir -p "$signing"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=QRX Scan Server CI (throwaway)" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$signing/key.pem" -out "$signing/cert.pem" 2>/dev/null
sign_password="$(openssl rand -hex 16)"
sign_password="$sign_password" openssl pkcs12 -export -inkey "$signing/key.pem" \
    -in "$signing/cert.pem" -out "$signing/cert.pfx" -passout env:sign_password
BUILD_WIN_DIR="$build_win" QRX_DIST_DIR="$dist" QRX_SIGN_PFX="$signing/cert.pfx" \
    QRX_SIGN_PASSWORD="$sign_password" QRX_SIGN_TIMESTAMP_URL= "$root/scripts/package-win.sh" >/dev/null
part_done "signed installer"
BUILD_DIR="$build" BUILD_TARGET=qrx-client "$root/scripts/build.sh" >/dev/null
part_done "POSIX qrx-client"
# From here on each check reports its own outcome and the run goes on.
set +e
trap - ERR
use_wine

# Runs one check script and adds its closing line's counts to the run's; a
# script that ended without one counts as one failure. Its output goes to a
# file first: Wine's helper processes and the test desktop in the background
# inherit the script's descriptors, and a pipe would wait for them.
run_checks() {  # run_checks NAME SCRIPT [ARGS...]
    local name="$1" tally
    shift
    "$@" >"$work/checks.out" 2>&1
    cat "$work/checks.out"
    tally="$(sed -n 's/^== checks .*: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$work/checks.out")"
    if [ -z "$tally" ]; then
        echo "FAIL $name: the checks ended without their count"
        failed=$((failed + 1))
    else
        passed=$((passed + ${tally% *}))
        failed=$((failed + ${tally#* }))
    fi
    part_done "checks $name"
}
export BUILD_DIR="$build" BUILD_WIN_DIR="$build_win" QRX_DIST_DIR="$dist"
for arch in "${arches[@]}"; do
    run_checks "programs $arch" "$root/scripts/wine/programs.sh" "$arch"
    run_checks "server $arch" "$root/scripts/wine/server.sh" "$arch"
done
run_checks installer "$root/scripts/wine/installer.sh"
run_checks msi "$root/scripts/wine/msi.sh"

qrx_package_versions >"$work/packages-after"
qrx_packages_taken_back "$work/packages-before" "$work/packages-after" >"$work/taken-back"
sed 's/^/     taken back: /' "$work/taken-back"
check "the machine's packages: none taken back or away" test ! -s "$work/taken-back"

echo "Windows programs, the slowest run of each against its time limit:"
awk '{ key = $1 " " $3; if ($2 > slowest[key]) slowest[key] = $2; runs[key]++ }
     END { for (k in runs) { split(k, p, " "); printf "   %-26s %3d runs, slowest %6.1f s of %4d s\n", p[1], runs[k], slowest[k], p[2] } }' \
    "$work/win-times" | sort
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
