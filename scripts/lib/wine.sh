# Sourced by the scripts that run the Windows programs under Wine: which
# route runs the 32-bit build on this machine, the qemu handler that one
# route needs, and a Wine prefix with a display.
#
# Wine runs 32-bit Windows code by switching to the CPU's 32-bit user code
# segment (selector 0x23), as 32-bit Linux programs do. Some machines offer
# none (a kernel with its 32-bit emulation switched off), so two routes:
#   wine32  the segment is there: Debian's wine (wine32 and wine64) runs
#           both builds and the installer natively, in one prefix.
#   qemu    it is not: the same Debian wine, with every 32-bit Linux
#           program (wine32's loader and everything it starts) run under
#           qemu-i386, registered with binfmt_misc for the run. qemu-user
#           translates the 32-bit code and keeps the guest's segments itself,
#           so it needs none from the host. Its qemu-i386 is built from
#           Debian 13's source (scripts/build-qemu-i386.sh).
# QRX_WINE_ROUTE=wine32 or qemu forces one. qemu works on either kind of
# machine (the handler takes precedence over the kernel's own loader), which
# is how that route is tried where the other could run.

# True when selector 0x23, the 32-bit user code segment, is valid for this
# machine's user programs: a 64-bit program of one instruction that matters
# (lar) asks the CPU. Whether a 32-bit ELF file starts is no answer, since a
# registered qemu handler starts it on any machine.
qrx_has_i386_segment() {
    local dir status=1
    dir="$(mktemp -d /tmp/qrx-segment-XXXXXX)"
    cat >"$dir/probe.c" <<'PROBE'
int main(void) {
    unsigned long selector = 0x23, rights = 0;
    unsigned char valid = 0;
    __asm__ volatile("lar %2, %0\n\tsetz %1" : "=r"(rights), "=q"(valid) : "r"(selector) : "cc");
    return valid ? 0 : 1;
}
PROBE
    if cc -O0 -o "$dir/probe" "$dir/probe.c" 2>/dev/null; then
        "$dir/probe" && status=0
    else
        echo "wine.sh: no C compiler to ask the CPU for its 32-bit segment; taking the qemu route" >&2
    fi
    rm -rf "$dir"
    return "$status"
}

# The route for a machine with (yes) or without (no) the segment, and
# QRX_WINE_ROUTE's value (may be empty): prints the route, a tab and the
# reason. Exits 2 for a forced value it does not know.
qrx_choose_wine_route() {  # qrx_choose_wine_route yes|no FORCED
    local segment
    if [ "$1" = yes ]; then
        segment="selector 0x23, the 32-bit code segment, is valid here"
    else
        segment="selector 0x23, the 32-bit code segment, is invalid here"
    fi
    case "$2" in
        wine32 | qemu) printf '%s\tforced by QRX_WINE_ROUTE (%s)\n' "$2" "$segment" ;;
        "") if [ "$1" = yes ]; then
                printf 'wine32\t%s\n' "$segment"
            else
                printf 'qemu\t%s\n' "$segment"
            fi ;;
        *) echo "QRX_WINE_ROUTE must be wine32 or qemu, not $2" >&2
           return 2 ;;
    esac
}

# Prints the route, a tab and the reason, for this machine and QRX_WINE_ROUTE.
qrx_wine_route() {
    local segment=no
    qrx_has_i386_segment && segment=yes
    qrx_choose_wine_route "$segment" "${QRX_WINE_ROUTE:-}"
}

# One line that says the route, why, and which Wine runs which build.
qrx_wine_route_line() {  # qrx_wine_route_line ROUTE REASON
    if [ "$1" = wine32 ]; then
        echo "Wine route wine32: $2; Debian's wine runs the i686 and x86_64 builds and the installer natively"
    else
        echo "Wine route qemu: $2; the i686 build and the installer run under Debian's wine32" \
            "through qemu-i386 (binfmt_misc), the x86_64 build under Debian's wine64"
    fi
}

# True when a 32-bit x86 Linux program starts now: natively, or under a
# registered handler. (Whether Debian's wine32 can be installed and run.)
qrx_i386_programs_run() {
    local dir status=1
    dir="$(mktemp -d /tmp/qrx-i386-XXXXXX)"
    printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/exit0.s"
    if as --32 -o "$dir/exit0.o" "$dir/exit0.s" 2>/dev/null &&
        ld -m elf_i386 -o "$dir/exit0" "$dir/exit0.o" 2>/dev/null; then
        "$dir/exit0" 2>/dev/null && status=0
    fi
    rm -rf "$dir"
    return "$status"
}

QRX_BINFMT_DIR=/proc/sys/fs/binfmt_misc
QRX_QEMU_HANDLER=qrx-qemu-i386
QRX_QEMU_REGISTERED=0
QRX_BINFMT_MOUNTED=0

# Registers QEMU (a static qemu-i386) as the handler of 32-bit x86 ELF
# programs, with flag F (the kernel opens it now, so it is found in any
# mount namespace). A handler of that name that is already there is
# someone else's: it is used and left alone. Needs root; says plainly why
# when binfmt_misc cannot be mounted or written.
qrx_register_qemu() {  # qrx_register_qemu QEMU
    if [ ! -e "$QRX_BINFMT_DIR/register" ]; then
        if ! mount -t binfmt_misc binfmt_misc "$QRX_BINFMT_DIR" 2>/tmp/qrx-binfmt.err; then
            echo "wine.sh: cannot mount binfmt_misc at $QRX_BINFMT_DIR ($(cat /tmp/qrx-binfmt.err));" \
                "the qemu route needs root and a kernel with binfmt_misc" >&2
            return 1
        fi
        QRX_BINFMT_MOUNTED=1
    fi
    if [ -e "$QRX_BINFMT_DIR/$QRX_QEMU_HANDLER" ]; then
        echo "wine.sh: the handler $QRX_QEMU_HANDLER is already registered; using it and leaving it in place"
        return 0
    fi
    # The ELF header of a 32-bit x86 executable or shared object, as qemu's
    # own binfmt configuration matches it.
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    if ! printf ':%s:M::%s:%s:%s:F' "$QRX_QEMU_HANDLER" "$magic" "$mask" "$1" \
        >"$QRX_BINFMT_DIR/register" 2>/tmp/qrx-binfmt.err; then
        echo "wine.sh: cannot register qemu-i386 with binfmt_misc ($(cat /tmp/qrx-binfmt.err))" >&2
        return 1
    fi
    QRX_QEMU_REGISTERED=1
    echo "wine.sh: 32-bit x86 programs run under $1 until this run ends (handler $QRX_QEMU_HANDLER)"
}

# Removes the handler qrx_register_qemu registered, and binfmt_misc when it
# mounted it and nothing else is registered there; anything else is left.
qrx_unregister_qemu() {
    if [ "$QRX_QEMU_REGISTERED" = 1 ]; then
        echo -1 >"$QRX_BINFMT_DIR/$QRX_QEMU_HANDLER" 2>/dev/null || true
        QRX_QEMU_REGISTERED=0
    fi
    if [ "$QRX_BINFMT_MOUNTED" = 1 ] &&
        [ -z "$(ls "$QRX_BINFMT_DIR" | grep -vx -e register -e status)" ]; then
        umount "$QRX_BINFMT_DIR" 2>/dev/null || true
        QRX_BINFMT_MOUNTED=0
    fi
}

# Chooses the route for this machine and QRX_WINE_ROUTE, prints its line
# and, on the qemu route, builds qemu-i386 when missing and registers it.
# Sets QRX_ROUTE. The caller calls qrx_unregister_qemu when it ends (in its
# EXIT trap).
qrx_prepare_wine_route() {
    local chosen qemu
    chosen="$(qrx_wine_route)" || return 2
    QRX_ROUTE="${chosen%%$'\t'*}"
    qrx_wine_route_line "$QRX_ROUTE" "${chosen#*$'\t'}"
    [ "$QRX_ROUTE" = qemu ] || return 0
    qemu="$("$(dirname "${BASH_SOURCE[0]}")/../build-qemu-i386.sh")" || return 1
    qrx_register_qemu "$qemu"
}

# Where Wine itself comes from, apart from the route:
#   host  Debian's wine of this machine (scripts/install-win-tools.sh).
#   root  the same Debian wine in a throwaway tree, built by
#         scripts/build-wine-root.sh when this machine cannot have wine32:
#         the mirror does not serve an i386 index its other indexes need,
#         and taking those packages back to an older suite would take
#         security updates away from the machine. Each Wine or Xvfb command
#         runs in that tree (chroot), in a mount namespace of its own in
#         which /dev, /proc, /sys, /tmp, /var/tmp and the source tree are the
#         machine's, so paths, processes, sockets and the display are the
#         same inside and out, and no mount outlives the command.
# QRX_WINE_FROM=host or root forces one; by default it is root when this
# machine has no wine, or has no wine32 where 32-bit programs run, and the
# tree has been built.
qrx_wine_root_tarball() {
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/qrx/wine-root.tar"
}

# Prints host or root, a tab and the reason.
qrx_wine_from() {
    case "${QRX_WINE_FROM:-}" in
        host | root) printf '%s\tforced by QRX_WINE_FROM\n' "$QRX_WINE_FROM"; return 0 ;;
        "") ;;
        *) echo "QRX_WINE_FROM must be host or root, not $QRX_WINE_FROM" >&2; return 2 ;;
    esac
    local lacking=""
    if ! command -v wine >/dev/null; then
        lacking="this machine has no wine"
    elif qrx_i386_programs_run && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null |
        grep -q "ok installed"; then
        lacking="this machine has no wine32 (its i386 index could not be had)"
    fi
    if [ -n "$lacking" ] && [ -f "$(qrx_wine_root_tarball)" ]; then
        printf 'root\t%s\n' "$lacking"
    else
        printf 'host\tthis machine has wine\n'
    fi
}

# Unpacks the Wine root when its tarball is newer than the tree, and writes
# the commands that run in it (wine, wineboot, wineserver, Xvfb) into a
# folder put first on PATH. BINDS are the folders besides /tmp and /var/tmp
# that Wine must see where they are (the source tree).
qrx_enter_wine_root() {  # qrx_enter_wine_root BIND...
    local tarball cache tree stamp name bin
    tarball="$(qrx_wine_root_tarball)"
    cache="$(dirname "$tarball")"
    tree="$cache/wine-root"
    bin="$cache/wine-root-bin"
    stamp="$(stat -c '%s %Y' "$tarball")"
    if [ "$(cat "$tree.unpacked" 2>/dev/null)" != "$stamp" ]; then
        echo "wine.sh: unpacking the Wine root into $tree"
        rm -rf "$tree" "$tree.unpacked"
        mkdir -p "$tree"
        tar -xf "$tarball" -C "$tree"
        echo "$stamp" >"$tree.unpacked"
    fi
    mkdir -p "$bin"
    {
        echo '#!/bin/bash'
        echo '# Runs the command this file is named after in the throwaway Wine root'
        echo '# (scripts/lib/wine.sh). Written by qrx_enter_wine_root.'
        printf 'tree=%q\nbinds=(/dev /proc /sys /tmp /var/tmp' "$tree"
        for name in "$@"; do
            case "$name/" in /tmp/* | /var/tmp/*) ;; *) printf ' %q' "$name" ;; esac
        done
        echo ')'
        # unshare and chroot exec in place, so the caller's $! is Wine's PID.
        echo 'exec unshare --mount --propagation slave -- /bin/bash -c '"'"'
tree="$1" cwd="$2"; shift 2
while [ "$1" != -- ]; do
    mkdir -p "$tree$1" && mount --rbind "$1" "$tree$1" || exit 125
    shift
done
shift
exec chroot "$tree" /bin/sh -c "cd \"\$0\" 2>/dev/null || cd /; exec \"\$@\"" "$cwd" "$@"
'"'"' bash "$tree" "$PWD" "${binds[@]}" -- "${0##*/}" "$@"'
    } >"$bin/.run-in-root"
    chmod +x "$bin/.run-in-root"
    for name in wine wine64 wineboot wineserver Xvfb; do
        ln -sf .run-in-root "$bin/$name"
    done
    case ":$PATH:" in *":$bin:"*) ;; *) export PATH="$bin:$PATH" ;; esac
}

# Chooses where Wine comes from (qrx_wine_from), prints its line and, for
# the root, enters it. Sets QRX_WINE_SOURCE.
qrx_use_wine_from() {  # qrx_use_wine_from BIND...
    local chosen
    chosen="$(qrx_wine_from)" || return 2
    QRX_WINE_SOURCE="${chosen%%$'\t'*}"
    echo "Wine from $QRX_WINE_SOURCE: ${chosen#*$'\t'}"
    [ "$QRX_WINE_SOURCE" = root ] || return 0
    if [ ! -f "$(qrx_wine_root_tarball)" ]; then
        echo "wine.sh: there is no Wine root yet; scripts/install-win-tools.sh builds it" >&2
        return 1
    fi
    qrx_enter_wine_root "$@"
}

# On the root, each Wine command has a mount namespace of its own, which
# sees a mount made later (a full drive a check mounts under the result
# folder) only when the mount it lands in is shared. This makes FOLDER a
# mount of its own, shared, before the first Wine command starts; the
# caller calls qrx_unshare_folder FOLDER before it removes the folder.
qrx_share_folder() {  # qrx_share_folder FOLDER
    [ "${QRX_WINE_SOURCE:-host}" = root ] || return 0
    mount --bind "$1" "$1" && mount --make-shared "$1"
}
qrx_unshare_folder() {  # qrx_unshare_folder FOLDER
    [ "${QRX_WINE_SOURCE:-host}" = root ] || return 0
    umount -l "$1" 2>/dev/null || true
}

# Starts Xvfb on a free display number and exports DISPLAY; the caller kills
# QRX_XVFB_PID when done.
qrx_start_display() {
    local display=":$((100 + RANDOM % 400))"
    Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 &
    QRX_XVFB_PID=$!
    export DISPLAY="$display"
}

# Makes the prefix WINEPREFIX and waits for it to settle, within SECONDS
# (default 300); false when it did not.
qrx_boot_prefix() {  # qrx_boot_prefix [SECONDS]
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    timeout -k 10 "${1:-300}" sh -c 'wineboot -i >/dev/null 2>&1 && wineserver -w'
}

# The PIDs of this prefix's processes ($WINEPREFIX) whose command lines
# match PATTERN: another prefix's (a soak beside a test suite) are left
# alone. A bracket in the pattern keeps it from matching a shell whose
# own command line names it.
qrx_prefix_pids() {  # qrx_prefix_pids PATTERN
    local pid
    for pid in $(pgrep -f "$1"); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            echo "$pid"
    done
    return 0
}
