# Sourced by the scripts that install Debian packages: apt-get update with
# retries, apt-get install as every script runs it, the suites the
# throwaway Wine root is built from, and the host's package versions
# before and after a run.
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

# The apt source lines the throwaway Wine root is built from: each Debian
# suite of this machine's apt sources (as apt-get indextargets lists their
# amd64 package indexes), one "deb URI SUITE COMPONENT..." line a suite,
# less each suite one of whose indexes is among FAILED (the addresses
# qrx_apt_update left in QRX_APT_FAILED, one to a line).
qrx_wine_root_sources() {  # qrx_wine_root_sources FAILED
    LC_ALL=C apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(ORIGIN)' \
        'Identifier: Packages' 'Architecture: amd64' |
        awk -v failed="$1" '
            BEGIN { n = split(failed, addresses, "\n") }
            $4 != "Debian" || NF != 4 { next }
            {
                suite = $1 " " $2
                for (i = 1; i <= n; i++)
                    if (addresses[i] != "" && index(addresses[i], $1 "dists/" $2 "/") == 1) next
                if (!(suite in components)) order[++suites] = suite
                if (index(" " components[suite] " ", " " $3 " ") == 0)
                    components[suite] = components[suite] " " $3
            }
            END { for (i = 1; i <= suites; i++) print "deb " order[i] components[order[i]] }'
}

# Every installed package of the machine, as "PACKAGE:ARCH VERSION" lines,
# sorted: what qrx_packages_taken_back compares.
qrx_package_versions() {
    dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture} ${Version}\n' |
        awk '$1 == "ii" { print $2, $3 }' | sort
}

# Prints each package of BEFORE (qrx_package_versions' lines) that AFTER
# has at a lower version or not at all: what a run took back or away.
# Packages it added, or that apt raised to a newer version to satisfy one
# it added, are not named.
qrx_packages_taken_back() {  # qrx_packages_taken_back BEFORE_FILE AFTER_FILE
    local package before after
    while read -r package before after; do
        if [ "$after" = removed ] || dpkg --compare-versions "$after" lt "$before"; then
            echo "$package $before -> $after"
        fi
    done < <(awk 'NR == FNR { after[$1] = $2; next }
                  !($1 in after) { print $1, $2, "removed"; next }
                  after[$1] != $2 { print $1, $2, after[$1] }' "$2" "$1")
}
