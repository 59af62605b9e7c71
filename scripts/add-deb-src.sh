#!/usr/bin/env bash
# Adds source entries (deb-src) for the archives that the machine's apt
# sources already list, so that `apt-get source` can fetch Debian's library
# sources for the Windows build. Reads both layouts apt knows:
#   sources.list.d/*.sources          deb822 stanzas: a stanza whose Types
#                                     has "deb" (and not "deb-src") is copied
#                                     with "Types: deb-src"
#   sources.list, sources.list.d/*.list
#                                     one-line entries: "deb ..." becomes
#                                     "deb-src ..." unless already listed
# and writes what it derives to sources.list.d/qrx-deb-src.sources and
# qrx-deb-src.list, each through a temporary file renamed into place, so a
# failed run changes nothing. Its own two files are never read as input, so
# running it again derives the same entries. A kind with no entries has no
# file. The apt folder is QRX_APT_DIR (default /etc/apt); nothing else is
# touched, and apt itself is not run.
source "$(dirname "$0")/lib/strict.sh"
apt_dir="${QRX_APT_DIR:-/etc/apt}"
parts="$apt_dir/sources.list.d"
own_sources="$parts/qrx-deb-src.sources"
own_list="$parts/qrx-deb-src.list"
[ -d "$parts" ] || { echo "${0##*/}: no folder $parts" >&2; exit 1; }

deb822_inputs=()
for file in "$parts"/*.sources; do
    [ -f "$file" ] && [ "$file" != "$own_sources" ] && deb822_inputs+=("$file")
done
one_line_inputs=()
for file in "$apt_dir/sources.list" "$parts"/*.list; do
    [ -f "$file" ] && [ "$file" != "$own_list" ] && one_line_inputs+=("$file")
done

derive_deb822() {  # stanzas of "$@" as deb-src stanzas, blank-line separated
    [ $# -gt 0 ] || return 0
    awk 'BEGIN { RS = ""; FS = "\n" }
        {
            stanza = "# deb-src of " FILENAME "\n"; types = ""; enabled = 1
            for (i = 1; i <= NF; i++) {
                line = $i
                if (tolower(line) ~ /^types:/) {
                    types = substr(line, 7); line = "Types: deb-src"
                } else if (tolower(line) ~ /^enabled:[ \t]*no/) {
                    enabled = 0
                }
                stanza = stanza line "\n"
            }
            n = split(types, type, /[ \t]+/); binary = 0; source = 0
            for (j = 1; j <= n; j++) {
                if (type[j] == "deb") binary = 1
                if (type[j] == "deb-src") source = 1
            }
            if (binary && !source && enabled) printf "%s%s", (count++ ? "\n" : ""), stanza
        }' "$@"
}

derive_one_line() {  # "deb ..." lines of "$@" as "deb-src ..." lines not yet listed
    [ $# -gt 0 ] || return 0
    awk '/^[ \t]*deb-src[ \t]/ { sub(/^[ \t]*/, ""); listed[$0] = 1; next }
        /^[ \t]*deb[ \t]/ { sub(/^[ \t]*deb/, "deb-src"); wanted[++n] = $0 }
        END { for (i = 1; i <= n; i++) if (!(wanted[i] in listed) && !seen[wanted[i]]++) print wanted[i] }' "$@"
}

new_sources=""
new_list=""
trap 'rm -f ${new_sources:+"$new_sources"} ${new_list:+"$new_list"}' EXIT
new_sources="$(mktemp "$parts/.qrx-deb-src.XXXXXX")"
new_list="$(mktemp "$parts/.qrx-deb-src.XXXXXX")"
derive_deb822 "${deb822_inputs[@]}" >"$new_sources"
derive_one_line "${one_line_inputs[@]}" >"$new_list"
if [ ! -s "$new_sources" ] && [ ! -s "$new_list" ]; then
    echo "${0##*/}: no \"deb\" entries in $apt_dir/sources.list or $parts to derive source entries from" >&2
    exit 1
fi

install_entries() {  # install_entries NEW TARGET: the derived file in place, or none when empty
    if [ ! -s "$1" ]; then
        rm -f "$2"
    elif ! cmp -s "$1" "$2"; then
        chmod 644 "$1"
        mv -f "$1" "$2"
    fi
}
install_entries "$new_sources" "$own_sources"
install_entries "$new_list" "$own_list"

written=()
[ -e "$own_sources" ] && written+=("$own_sources (stanzas: $(grep -c '^Types:' "$own_sources"))")
[ -e "$own_list" ] && written+=("$own_list (lines: $(grep -c . "$own_list"))")
echo "apt sources: source entries (deb-src) for the archives already listed, in ${written[*]}"
