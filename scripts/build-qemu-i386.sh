#!/usr/bin/env bash
# Builds qemu-i386, the user-mode emulator of 32-bit x86 Linux programs, for
# machines whose CPU offers no 32-bit code segment to user programs: there
# Debian's wine32 runs under it (scripts/lib/wine.sh). Debian 12's own
# qemu-user (7.2) is not enough: it does not keep a fixed-address mapping
# where Wine's loader asks for one, and Wine stops with "failed to map the
# shared user data". Debian 13's qemu (10.0) does.
#
# The source is Debian 13's own source package, fetched by apt-get source
# through a private apt configuration (under the cache folder; the machine's
# own apt sources are not changed): apt checks the archive's signature on the
# index and every file's checksum against it, as for any apt-get source.
# Its configure wants a newer meson than Debian 12's and pycotap; both are
# Debian 13's packages (pure Python), fetched and checked the same way and
# unpacked beside the build, not installed. Only the i386-linux-user target
# is built, static, so the handler needs no library of the machine.
#
# It goes into QRX_QEMU_DIR (default ~/.cache/qrx/qemu-i386), as
# bin/qemu-i386. A folder whose .complete names the source version and these
# options is left as it is, so a machine builds it once. Prints the
# program's path, and nothing else, on its standard output; what it does
# goes to standard error.
source "$(dirname "$0")/lib/strict.sh"
exec 3>&1 1>&2
cache="${XDG_CACHE_HOME:-$HOME/.cache}/qrx"
dest="${QRX_QEMU_DIR:-$cache/qemu-i386}"
mirror="${QRX_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
suite=trixie
options=(--target-list=i386-linux-user --static --disable-system --disable-tools --disable-docs
         --disable-plugins --disable-install-blobs --disable-werror)

# A private apt: Debian 13's source and package indexes, checked against
# the archive keys that Debian 12's debian-archive-keyring carries.
apt_root="$cache/apt-$suite"
mkdir -p "$apt_root/lists/partial" "$apt_root/cache/archives/partial"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
printf 'deb-src [signed-by=%s] %s %s main\ndeb [arch=amd64 signed-by=%s] %s %s main\n' \
    "$keyring" "$mirror" "$suite" "$keyring" "$mirror" "$suite" >"$apt_root/sources.list"
private_apt=(-o "Dir::Etc::SourceList=$apt_root/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
             -o "Dir::State::Lists=$apt_root/lists" -o "Dir::Cache=$apt_root/cache"
             -o "APT::Sandbox::User=root")
version_offered() {  # empty before the first update
    { LC_ALL=C apt-cache "${private_apt[@]}" showsrc qemu 2>/dev/null || true; } |
        sed -n 's/^Version: //p' | head -1
}
version="$(version_offered)"
if [ -z "$version" ]; then
    echo "build-qemu-i386: reading Debian $suite's package indexes from $mirror"
    apt-get "${private_apt[@]}" -qq update
    version="$(version_offered)"
fi
stamp="qemu $version; ${options[*]}"
if [ -f "$dest/.complete" ] && [ "$(cat "$dest/.complete")" = "$stamp" ]; then
    echo "$dest/bin/qemu-i386" >&3
    exit 0
fi

"$(dirname "$0")/install-deps.sh" ninja-build python3 python3-venv libglib2.0-dev libpcre2-dev \
    zlib1g-dev dpkg-dev xz-utils

work="$(mktemp -d /tmp/qrx-qemu-build-XXXXXX)"
trap 'rm -rf "$work"' EXIT
start=$SECONDS
echo "build-qemu-i386: fetching qemu $version, meson and pycotap from Debian $suite"
(cd "$work" && apt-get "${private_apt[@]}" -qq source qemu="$version" >/dev/null 2>&1 &&
    apt-get "${private_apt[@]}" -qq download meson python3-pycotap >/dev/null 2>&1) || {
    echo "build-qemu-i386: could not fetch or check the sources; apt says:" >&2
    (cd "$work" && apt-get "${private_apt[@]}" source --download-only qemu="$version" &&
        apt-get "${private_apt[@]}" download meson python3-pycotap) >&2 || true
    exit 1
}
mkdir -p "$work/python"
for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$work/python"; done
source_dir="$(find "$work" -maxdepth 1 -type d -name 'qemu-*' | head -1)"
# The build runs meson again as it goes, so both stay in the environment.
export PYTHONPATH="$work/python/usr/lib/python3/dist-packages"
export PATH="$work/python/usr/bin:$PATH"

echo "build-qemu-i386: building the i386-linux-user target"
mkdir -p "$work/build"
(cd "$work/build" &&
    "$source_dir/configure" --prefix="$dest" --python=/usr/bin/python3 "${options[@]}" \
        >"$work/configure.log" 2>&1 &&
    ninja -j"${QRX_BUILD_JOBS:-$(nproc)}" qemu-i386 >"$work/ninja.log" 2>&1) || {
    tail -n 30 "$work"/*.log >&2 || true
    echo "build-qemu-i386: the build failed" >&2
    exit 1
}
rm -rf "$dest"
mkdir -p "$dest/bin"
cp "$work/build/qemu-i386" "$dest/bin/qemu-i386"
printf '%s' "$stamp" >"$dest/.complete"
echo "build-qemu-i386: qemu-i386 $version built in $((SECONDS - start)) s, in $dest"
echo "$dest/bin/qemu-i386" >&3
