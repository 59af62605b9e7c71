#!/usr/bin/env bash
# Installs what the Windows build, its tests under Wine and its installer
# need: the mingw-w64 cross compilers for 32-bit (i686) and 64-bit Windows,
# Wine for both (wine32 comes from Debian's i386 architecture, which this
# adds to dpkg; only once 32-bit Linux programs start, natively or under the
# qemu handler of scripts/lib/wine.sh, since its packages run some), Xvfb,
# NSIS and zip; autoconf, automake and libtool, since
# libsodium's source package carries no configure script; osslsigncode and
# openssl, for package-win.sh's optional signing and CI's check of it; and
# source entries (deb-src) for the archives the machine's apt sources
# already list, so that apt-get can fetch Debian's library sources
# (scripts/add-deb-src.sh derives and writes them). When apt-get update
# fails with the new entries, the entries as they were before are put back,
# and the i386 architecture is taken away again if this run added it.
source "$(dirname "$0")/lib/strict.sh"
source "$(dirname "$0")/lib/wine.sh"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)

packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
          gcc-mingw-w64-i686-posix wine64 wine xvfb xauth dpkg-dev cmake pkg-config
          nsis zip unzip autoconf automake libtool make osslsigncode openssl)
wine32=0
qrx_i386_programs_run && wine32=1 && packages+=(wine32:i386)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing+=("$package")
done

apt_dir="${QRX_APT_DIR:-/etc/apt}"
parts="$apt_dir/sources.list.d"
before="$(mktemp -d /tmp/qrx-apt-before-XXXXXX)"
trap 'rm -rf "$before"' EXIT
cp -p "$parts"/qrx-deb-src.* "$before/" 2>/dev/null || true
"${sudo_cmd[@]}" env QRX_APT_DIR="$apt_dir" "$(dirname "$0")/add-deb-src.sh"
changed=0
for name in qrx-deb-src.sources qrx-deb-src.list; do
    if [ -e "$before/$name" ] || [ -e "$parts/$name" ]; then
        cmp -s "$before/$name" "$parts/$name" || changed=1
    fi
done

added_i386=0
if [ "$wine32" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "dpkg: adding the i386 architecture, for wine32 (32-bit Windows programs under Wine)"
    "${sudo_cmd[@]}" dpkg --add-architecture i386
    added_i386=1
    changed=1
fi

restore_entries() {
    "${sudo_cmd[@]}" rm -f "$parts"/qrx-deb-src.sources "$parts"/qrx-deb-src.list
    "${sudo_cmd[@]}" cp -p "$before"/qrx-deb-src.* "$parts/" 2>/dev/null || true
    [ "$added_i386" -eq 0 ] || "${sudo_cmd[@]}" dpkg --remove-architecture i386 || true
    echo "${0##*/}: apt-get update failed; the source entries were put back as they were" >&2
}
# A mirror in the middle of a sync serves an index whose size does not
# match its Release file ("Mirror sync in progress?"), for a minute or so.
update_indexes() {
    local try
    for try in 1 2 3; do
        "${sudo_cmd[@]}" apt-get update -qq && return 0
        [ "$try" -eq 3 ] && break
        echo "${0##*/}: apt-get update failed; trying again in 60 s" >&2
        sleep 60
    done
    return 1
}
if [ ${#missing[@]} -gt 0 ] || [ "$changed" -eq 1 ]; then
    update_indexes || { restore_entries; exit 1; }
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}" >/dev/null
fi
