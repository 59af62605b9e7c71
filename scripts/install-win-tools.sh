#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need: the
# mingw-w64 cross compiler, Wine, Xvfb, and the source entries (deb-src)
# that let apt-get fetch Debian's library sources. The source entries are
# derived from the machine's existing apt sources.
set -euo pipefail
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)

packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 wine xvfb xauth dpkg-dev
          cmake pkg-config)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing+=("$package")
done

sources=/etc/apt/sources.list.d/qrx-deb-src.sources
lists=/etc/apt/sources.list.d/qrx-deb-src.list
need_update=0
if [ ! -e "$sources" ] && [ ! -e "$lists" ]; then
    # deb822 files: the same entries as source entries.
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -e "$file" ] || continue
        [ "$file" = "$sources" ] && continue
        sed -n '/^Types:.*\bdeb\b/,/^$/p' "$file" | sed 's/^Types:.*/Types: deb-src/'
        echo
    done | "${sudo_cmd[@]}" tee "$sources" >/dev/null
    # One-line lists: "deb ..." becomes "deb-src ...".
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        sed -n 's/^deb /deb-src /p' | "${sudo_cmd[@]}" tee "$lists" >/dev/null
    need_update=1
fi
if [ ${#missing[@]} -gt 0 ] || [ "$need_update" -eq 1 ]; then
    "${sudo_cmd[@]}" apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi
