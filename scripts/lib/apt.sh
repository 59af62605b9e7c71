# Sourced by the scripts that install Debian packages: apt-get update with
# retries, apt-get install as every script runs it, and the way wine32 is
# installed when the mirror's i386 index of one suite cannot be fetched.
qrx_sudo=()
[ "$(id -u)" -ne 0 ] && qrx_sudo=(sudo)
# Every apt call whose output a script reads runs with LC_ALL=C: its
# messages and field names are then English whatever the machine's
# language.

# Prints each of PACKAGES that is not installed, one to a line.
qrx_missing_packages() {  # qrx_missing_packages PACKAGE...
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            echo "$package"
    done
}

qrx_apt_install() {  # qrx_apt_install [APT OPTIONS] PACKAGE...
    "${qrx_sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        -o DPkg::Lock::Timeout=600 --no-install-recommends "$@" >/dev/null
}

# apt-get update, up to three times a minute apart: a mirror in the middle
# of a sync serves an index whose size does not match its Release file
# ("Mirror sync in progress?") for a minute or so. One seen here served a
# stale i386 index of its security suite for days, while every amd64 index
# came. Returns 0 when every index came; 1 when only i386 indexes failed
# (apt then goes on with what the other indexes offer), that is when every
# error or warning is a failed i386 index or apt's summary of them; 2
# otherwise. QRX_APT_FAILED holds the addresses of the indexes that failed.
# QRX_APT_RETRY_SECONDS changes the minute (the tests' fake apt-get).
qrx_apt_update() {
    local try errors others pause="${QRX_APT_RETRY_SECONDS:-60}"
    errors="$(mktemp /tmp/qrx-apt-update-XXXXXX)"
    QRX_APT_FAILED=""
    for try in 1 2 3; do
        if "${qrx_sudo[@]}" env LC_ALL=C apt-get update -qq 2>"$errors"; then
            cat "$errors" >&2
            rm -f "$errors"
            return 0
        fi
        cat "$errors" >&2
        [ "$try" -eq 3 ] && break
        echo "apt.sh: apt-get update failed; trying again in $pause s" >&2
        sleep "$pause"
    done
    QRX_APT_FAILED="$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$errors")"
    others="$(grep -E '^[EW]:' "$errors" |
        grep -vE '^E: Failed to fetch [^ ]*/binary-i386/|^E: Some index files failed to download' ||
        true)"
    rm -f "$errors"
    if [ -n "$QRX_APT_FAILED" ] && [ -z "$others" ]; then return 1; fi
    return 2
}

# apt-get update for a script that installs no i386 package: the i386
# indexes it could not fetch do not matter to it.
qrx_apt_update_amd64() {
    local status=0
    qrx_apt_update || status=$?
    [ "$status" -eq 1 ] || return "$status"
    echo "apt.sh: only i386 indexes failed; going on, as this installs no i386 package" >&2
}

# For apt-get install -t RELEASE wine32:i386 with an i386 index missing
# (the security suite's, say): a library wine32 needs that both
# architectures share (Multi-Arch: same) must be at one version on both,
# and its amd64 copy may be installed at a version above the one RELEASE
# offers, where apt-get does not go down on its own. Prints, as
# PACKAGE/RELEASE, each such library and every installed package built from
# its source at that version, so that apt-get takes them to RELEASE's.
qrx_release_twins() {  # qrx_release_twins RELEASE
    local closure same package arch version source status candidate
    local -A installed=() origin=() stuck=()
    local -a sent=()
    closure="$(LC_ALL=C apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances wine32:i386 | grep -E '^[a-z0-9].*:i386$' | sort -u)"
    # shellcheck disable=SC2086 # one argument per package
    same="$(LC_ALL=C apt-cache show $closure 2>/dev/null |
        awk '/^Package:/ { p = $2 } /^Multi-Arch: same/ { print p ":i386" }' | sort -u)"
    [ -n "$same" ] || return 0
    # Every installed package that is not i386: its version and its source.
    while read -r package arch version source status; do
        [ "$status" = ii ] && [ "$arch" != i386 ] || continue
        installed[$package]="$version"
        origin[$package]="$source"
    done < <(dpkg-query -W -f='${Package} ${Architecture} ${Version} ${source:Package} ${db:Status-Abbrev}\n')
    # shellcheck disable=SC2086 # one argument per package
    while read -r package candidate; do
        [ -n "${installed[$package]:-}" ] && [ "$candidate" != "(none)" ] || continue
        if dpkg --compare-versions "${installed[$package]}" gt "$candidate"; then
            stuck["${origin[$package]} ${installed[$package]}"]=1
        fi
    done < <(LC_ALL=C apt-cache -o APT::Default-Release="$1" policy $same |
                 awk '/^[^ ]/ { p = $1; sub(/:i386:$/, "", p) } /^  Candidate:/ { print p, $2 }')
    [ ${#stuck[@]} -gt 0 ] || return 0
    for package in "${!installed[@]}"; do
        [ -z "${stuck["${origin[$package]} ${installed[$package]}"]:-}" ] || sent+=("$package")
    done
    # Those RELEASE has a binary package of (madison lists sources too).
    LC_ALL=C apt-cache madison "${sent[@]}" |
        awk -F'|' -v r="$1" 'index($3, " " r "/") && $3 ~ / Packages *$/ {
                                 gsub(/ /, "", $1); print $1 "/" r }' | sort -u
}
