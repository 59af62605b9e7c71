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
# It only adds packages: none is taken back to another version.
#
# When the only indexes that failed are i386 ones and wine32 is to be
# installed, or with QRX_WINE_FROM=root, Wine is not installed here:
# scripts/build-wine-root.sh builds a throwaway tree that has it (or finds it
# cached; forced, any tree built before is used), and the i386 architecture
# is taken away again if this run added it (docs/development.md, "When the
# mirror's i386 index cannot be fetched").
source "$(dirname "$0")/lib/strict.sh"
source "$(dirname "$0")/lib/wine.sh"
source "$(dirname "$0")/lib/apt.sh"

host_packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
               gcc-mingw-w64-i686-posix dpkg-dev cmake pkg-config
               nsis wixl msitools zip unzip autoconf automake libtool make osslsigncode openssl)
wine_packages=(wine64 wine xvfb xauth)
wine32=0
qrx_i386_programs_run && wine32=1 && wine_packages+=(wine32:i386)
wine_root=0
if [ "${QRX_WINE_FROM:-}" = root ]; then
    wine_root=1
    wine32=0
    wine_packages=()
fi
mapfile -t missing < <(qrx_missing_packages "${host_packages[@]}" "${wine_packages[@]}")

apt_dir="${QRX_APT_DIR:-/etc/apt}"
parts="$apt_dir/sources.list.d"
before="$(mktemp -d /tmp/qrx-apt-before-XXXXXX)"
trap 'rm -rf "$before"' EXIT
cp -p "$parts"/qrx-deb-src.* "$before/" 2>/dev/null || true
"${qrx_sudo[@]}" env QRX_APT_DIR="$apt_dir" "$(dirname "$0")/add-deb-src.sh"
changed=0
for name in qrx-deb-src.sources qrx-deb-src.list; do
    if [ -e "$before/$name" ] || [ -e "$parts/$name" ]; then
        cmp -s "$before/$name" "$parts/$name" || changed=1
    fi
done

added_i386=0
if [ "$wine32" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "dpkg: adding the i386 architecture, for wine32 (32-bit Windows programs under Wine)"
    "${qrx_sudo[@]}" dpkg --add-architecture i386
    added_i386=1
    changed=1
fi

restore_entries() {
    "${qrx_sudo[@]}" rm -f "$parts"/qrx-deb-src.sources "$parts"/qrx-deb-src.list
    "${qrx_sudo[@]}" cp -p "$before"/qrx-deb-src.* "$parts/" 2>/dev/null || true
    [ "$added_i386" -eq 0 ] || "${qrx_sudo[@]}" dpkg --remove-architecture i386 || true
    echo "${0##*/}: apt-get update failed; the source entries were put back as they were" >&2
}
if [ ${#missing[@]} -gt 0 ] || [ "$changed" -eq 1 ]; then
    status=0
    qrx_apt_update || status=$?
    if [ "$status" -eq 1 ] && [[ " ${missing[*]} " != *" wine32:i386 "* ]]; then
        echo "${0##*/}: only i386 indexes failed; going on, as wine32 is not among the packages to install" >&2
    elif [ "$status" -eq 1 ]; then
        echo "${0##*/}: only i386 indexes failed, and wine32 cannot be installed without them;" \
            "Wine will run from a throwaway tree instead, and this machine's packages stay as they are" >&2
        wine_root=1
        mapfile -t missing < <(qrx_missing_packages "${host_packages[@]}")
        if [ "$added_i386" -eq 1 ]; then
            "${qrx_sudo[@]}" dpkg --remove-architecture i386
            echo "dpkg: took the i386 architecture away again"
        fi
    elif [ "$status" -ne 0 ]; then
        restore_entries
        exit 1
    fi
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    qrx_apt_install "${missing[@]}"
fi
[ "$wine_root" -eq 1 ] || exit 0
# Forced, a tree already built is used as it is: the suites it was built
# from were the ones that could be had then.
[ "${QRX_WINE_FROM:-}" = root ] && [ -f "$(qrx_wine_root_tarball)" ] && exit 0
QRX_APT_FAILED="${QRX_APT_FAILED:-}" "$(dirname "$0")/build-wine-root.sh" >/dev/null
