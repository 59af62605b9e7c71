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
# When the only indexes that failed are i386 ones and wine32 is to be
# installed, it stops there too, unless QRX_I386_FROM_RELEASE=1: then it
# installs from the release's own suite (docs/development.md, "When the
# mirror's i386 index cannot be fetched").
source "$(dirname "$0")/lib/strict.sh"
source "$(dirname "$0")/lib/wine.sh"
source "$(dirname "$0")/lib/apt.sh"
from_release=0

packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
          gcc-mingw-w64-i686-posix wine64 wine xvfb xauth dpkg-dev cmake pkg-config
          nsis zip unzip autoconf automake libtool make osslsigncode openssl)
wine32=0
qrx_i386_programs_run && wine32=1 && packages+=(wine32:i386)
mapfile -t missing < <(qrx_missing_packages "${packages[@]}")

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
    elif [ "$status" -eq 1 ] && [ "${QRX_I386_FROM_RELEASE:-0}" = 1 ]; then
        from_release=1
    elif [ "$status" -ne 0 ]; then
        [ "$status" -eq 2 ] || echo "${0##*/}: only i386 indexes failed; with QRX_I386_FROM_RELEASE=1" \
            "wine32 is installed from the release's own suite (see docs/development.md)" >&2
        restore_entries
        exit 1
    fi
fi
[ ${#missing[@]} -gt 0 ] || exit 0
echo "Installing: ${missing[*]}"
if [ "$from_release" -eq 0 ]; then
    qrx_apt_install "${missing[@]}"
    exit 0
fi
release="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
if [ -z "$release" ] || grep -q "/dists/$release/" <<<"$QRX_APT_FAILED"; then
    echo "${0##*/}: the release's own suite (${release:-not named in /etc/os-release}) is what" \
        "failed, so wine32 cannot come from it" >&2
    restore_entries
    exit 1
fi
twins_found="$(qrx_release_twins "$release")"
twins=()
[ -z "$twins_found" ] || mapfile -t twins <<<"$twins_found"
echo "${0##*/}: an i386 index could not be fetched, so the packages above are taken from" \
    "$release wherever it has them, before its updates and security suites"
if [ ${#twins[@]} -gt 0 ]; then
    echo "${0##*/}: these go back to the version in $release, since dpkg keeps one version of a" \
        "library for both architectures (apt-get upgrade brings them on again once the mirror" \
        "serves the index): ${twins[*]%/*}"
fi
qrx_apt_install -t "$release" --allow-downgrades "${missing[@]}" "${twins[@]}"
