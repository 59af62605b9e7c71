#!/usr/bin/env bash
# Builds the throwaway Wine root: a Debian tree, amd64 and i386, with
# Debian's wine, wine32, wine64 and Xvfb, for a machine that cannot have
# wine32 itself, because the mirror does not serve an i386 index that its
# other indexes need. The Windows programs then run in that tree, and the
# machine's own packages stay as they are (scripts/lib/wine.sh, "root").
#
# mmdebstrap builds it from the machine's own Debian suites (those of its
# apt sources, as apt-get indextargets lists them), leaving out each suite
# whose index failed in the last apt-get update (QRX_APT_FAILED, the
# addresses apt named): in the tree, both architectures come from the same
# suites, so a library shared by both is at one version. apt checks every
# index and package against the archive keys, as on the machine.
#
# The tree is cached as a tarball, ~/.cache/qrx/wine-root.tar, with the
# recipe it was built from beside it (wine-root.recipe). A tarball whose
# recipe matches is used as it is, so a machine builds it once per set of
# suites. Prints the tarball's path, and nothing else, on its standard
# output; what it does goes to standard error.
source "$(dirname "$0")/lib/strict.sh"
source "$(dirname "$0")/lib/apt.sh"
exec 3>&1 1>&2
cache="${XDG_CACHE_HOME:-$HOME/.cache}/qrx"
tarball="$cache/wine-root.tar"
packages=wine,wine32,wine64,xvfb,xauth

mapfile -t sources < <(qrx_wine_root_sources "${QRX_APT_FAILED:-}")
if [ ${#sources[@]} -eq 0 ]; then
    echo "${0##*/}: no Debian suite of this machine's apt sources can be had for both" \
        "architectures, so there is nothing to build the Wine root from" >&2
    exit 1
fi
release="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
recipe="$(printf '%s\n' "release $release" "packages $packages" "${sources[@]}")"
if [ -f "$tarball" ] && [ "$(cat "$cache/wine-root.recipe" 2>/dev/null)" = "$recipe" ]; then
    echo "${0##*/}: the Wine root is cached in $tarball"
    echo "$tarball" >&3
    exit 0
fi

qrx_missing_packages mmdebstrap | grep -q . && qrx_apt_install mmdebstrap
mkdir -p "$cache"
rm -f "$tarball" "$cache/wine-root.recipe"
echo "${0##*/}: building the Wine root from: ${sources[*]}"
start=$SECONDS
"${qrx_sudo[@]}" env LC_ALL=C mmdebstrap --quiet --variant=essential --architectures=amd64,i386 \
    --include="$packages" --aptopt='Acquire::Retries "3"' \
    "$release" "$cache/wine-root.new.tar" "${sources[@]}"
mv "$cache/wine-root.new.tar" "$tarball"
echo "$recipe" >"$cache/wine-root.recipe"
echo "${0##*/}: built $tarball ($(du -m "$tarball" | cut -f1) MB) in $((SECONDS - start)) s"
echo "$tarball" >&3
