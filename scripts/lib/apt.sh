# Sourced by the scripts that install Debian packages: apt-get update with
# retries, apt-get install as every script runs it, and the way wine32 is
# installed when the mirror's i386 index of one suite cannot be fetched.
qrx_sudo=()
[ "$(id -u)" -ne 0 ] && qrx_sudo=(sudo)

qrx_apt_install() {  # qrx_apt_install [APT OPTIONS] PACKAGE...
    DEBIAN_FRONTEND=noninteractive "${qrx_sudo[@]}" apt-get install -y -qq \
        -o DPkg::Lock::Timeout=600 --no-install-recommends "$@" >/dev/null
}

# apt-get update, up to three times a minute apart: a mirror in the middle
# of a sync serves an index whose size does not match its Release file
# ("Mirror sync in progress?") for a minute or so. One seen here served a
# stale i386 index of its security suite for days, while every amd64 index
# came. Returns 0 when every index came, 1 when only i386 indexes failed
# (apt then goes on with what the other indexes offer), 2 otherwise.
# QRX_APT_RETRY_SECONDS changes the minute (the tests' fake apt-get).
qrx_apt_update() {
    local try errors failed
    errors="$(mktemp /tmp/qrx-apt-update-XXXXXX)"
    for try in 1 2 3; do
        "${qrx_sudo[@]}" apt-get update -qq 2>"$errors" && { rm -f "$errors"; return 0; }
        cat "$errors" >&2
        [ "$try" -eq 3 ] && break
        echo "apt.sh: apt-get update failed; trying again in ${QRX_APT_RETRY_SECONDS:-60} s" >&2
        sleep "${QRX_APT_RETRY_SECONDS:-60}"
    done
    failed="$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$errors")"
    rm -f "$errors"
    [ -n "$failed" ] && ! grep -qv '/binary-i386/' <<<"$failed" && return 1
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

# With an i386 index missing (the security suite's, say), the i386 packages
# come from the other suites, and a library wine32 needs (Multi-Arch: same,
# one version for both architectures) may be installed for amd64 at a
# version above every one a fetched index offers for i386, where apt-get
# would not go down on its own. Prints, as PACKAGE/RELEASE, each such
# library and every installed package built from its source at that
# version, so that apt-get takes them back to RELEASE's own version.
qrx_release_twins() {  # qrx_release_twins RELEASE
    local closure package version installed source
    local -A newest=()
    local -a stuck=()
    closure="$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances wine32:i386 | grep -E '^[a-z0-9].*:i386$' | sort -u)"
    # shellcheck disable=SC2086 # one argument per package
    while read -r package version; do
        if [ -z "${newest[$package]:-}" ] ||
            dpkg --compare-versions "$version" gt "${newest[$package]}"; then
            newest[$package]="$version"
        fi
    done < <(apt-cache show $closure 2>/dev/null |
                 awk '/^Package:/ { p = $2 } /^Version:/ { v = $2 } /^Multi-Arch: same/ { m = 1 }
                      /^$/ { if (m) print p, v; m = 0 }')
    for package in "${!newest[@]}"; do
        installed="$(dpkg-query -W -f='${db:Status-Abbrev}|${Version}|${source:Package}' \
            "$package:amd64" 2>/dev/null || true)"
        [[ "$installed" == "ii |"* ]] || continue
        source="${installed##*|}"
        installed="${installed#*|}"
        installed="${installed%|*}"
        if dpkg --compare-versions "$installed" gt "${newest[$package]}"; then
            stuck+=("$source $installed")
        fi
    done
    [ ${#stuck[@]} -gt 0 ] || return 0
    dpkg-query -W -f='${Package} ${source:Package} ${Version} ${db:Status-Abbrev}\n' |
        awk -v stuck="$(printf '%s\n' "${stuck[@]}")" \
            'BEGIN { n = split(stuck, s, "\n"); for (i = 1; i <= n; i++) want[s[i]] = 1 }
             $4 == "ii" && (($2 " " $3) in want) { print $1 }' |
        sort -u | while read -r package; do
            if [[ "$(apt-cache madison "$package")" == *" $1/"* ]]; then echo "$package/$1"; fi
        done
}
