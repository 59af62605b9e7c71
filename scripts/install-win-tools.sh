#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need: the
# mingw-w64 cross compiler, Wine, Xvfb, and source entries (deb-src) for the
# archives the machine's apt sources already list, so that apt-get can fetch
# Debian's library sources (scripts/add-deb-src.sh derives and writes them).
# When apt-get update fails with the new entries, the entries as they were
# before are put back.
source "$(dirname "$0")/lib/strict.sh"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)

packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 wine xvfb xauth dpkg-dev
          cmake pkg-config)
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

restore_entries() {
    "${sudo_cmd[@]}" rm -f "$parts"/qrx-deb-src.sources "$parts"/qrx-deb-src.list
    "${sudo_cmd[@]}" cp -p "$before"/qrx-deb-src.* "$parts/" 2>/dev/null || true
    echo "${0##*/}: apt-get update failed; the source entries were put back as they were" >&2
}
if [ ${#missing[@]} -gt 0 ] || [ "$changed" -eq 1 ]; then
    "${sudo_cmd[@]}" apt-get update -qq || { restore_entries; exit 1; }
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi
