# Sourced by the scripts that run the Windows programs under Wine: which
# Wine runs which build on this machine, and a Wine prefix with a display.
#
# Two routes, chosen by what the kernel can start:
#   wine32  the kernel runs 32-bit Linux programs: Debian's wine (wine32 and
#           wine64) runs both builds in one prefix.
#   wow64   it cannot, so Debian's wine32 cannot run: the i686 build runs
#           under a Wine in WoW64 mode, built from Debian's source
#           (scripts/build-wine-wow64.sh), which runs 32-bit Windows code in
#           a 64-bit Linux process; the x86_64 build runs under Debian's
#           wine64 in a 64-bit prefix of its own.
# QRX_WINE_ROUTE=wine32 or wow64 chooses one by hand (wow64 works on either
# kind of machine; wine32 only where 32-bit programs run).

# True when the kernel starts a 32-bit x86 Linux program: a static one of
# three instructions, assembled here by binutils, that exits 0.
qrx_kernel_runs_i386() {
    local dir status
    dir="$(mktemp -d /tmp/qrx-i386-XXXXXX)"
    printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/exit0.s"
    status=1
    if as --32 -o "$dir/exit0.o" "$dir/exit0.s" 2>/dev/null &&
        ld -m elf_i386 -o "$dir/exit0" "$dir/exit0.o" 2>/dev/null; then
        "$dir/exit0" 2>/dev/null && status=0
    fi
    rm -rf "$dir"
    return "$status"
}

# Prints the route: QRX_WINE_ROUTE when set, else what the kernel allows.
qrx_wine_route() {
    case "${QRX_WINE_ROUTE:-}" in
        wine32 | wow64) echo "$QRX_WINE_ROUTE" ;;
        "") if qrx_kernel_runs_i386; then echo wine32; else echo wow64; fi ;;
        *) echo "QRX_WINE_ROUTE must be wine32 or wow64, not $QRX_WINE_ROUTE" >&2; return 2 ;;
    esac
}

# One line that says which Wine runs which build on ROUTE.
qrx_wine_route_line() {  # qrx_wine_route_line ROUTE
    if [ "$1" = wine32 ]; then
        echo "Wine route wine32: this kernel runs 32-bit Linux programs; Debian's wine runs the i686 and x86_64 builds and the installer"
    else
        echo "Wine route wow64: $(qrx_kernel_runs_i386 && echo "chosen by QRX_WINE_ROUTE" ||
            echo "this kernel cannot start 32-bit Linux programs");" \
            "the i686 build and the installer run under a WoW64 Wine built from Debian's source, the x86_64 build under Debian's wine64"
    fi
}

# Prints a folder to put first on PATH so that wine, wineserver and wineboot
# are the Wine for ARCH's programs on ROUTE; builds the WoW64 Wine when
# missing. WORK is a folder for the wrappers.
qrx_wine_bin() {  # qrx_wine_bin ROUTE ARCH WORK
    local route="$1" arch="$2" bin="$3/wine-$1-$2" loader server
    mkdir -p "$bin"
    if [ "$route" = wow64 ] && [ "$arch" = i686 ]; then
        local wow64
        wow64="$("$(dirname "${BASH_SOURCE[0]}")/../build-wine-wow64.sh")"
        loader="$wow64/bin/wine"
        server="$wow64/bin/wineserver"
    elif [ "$route" = wow64 ]; then
        # Debian's wine64 alone: /usr/bin/wine would start wine32's loader.
        loader=/usr/lib/wine/wine64
        server=/usr/lib/wine/wineserver64
    else
        loader=/usr/bin/wine
        server=/usr/bin/wineserver
    fi
    # Scripts, not links: the loader finds its preloader beside the name it
    # was started by, and starts further Wine processes with WINELOADER.
    printf '#!/bin/sh\nWINELOADER="%s" exec "%s" "$@"\n' "$loader" "$loader" >"$bin/wine"
    printf '#!/bin/sh\nexec "%s" "$@"\n' "$server" >"$bin/wineserver"
    printf '#!/bin/sh\nexec "%s/wine" wineboot.exe "$@"\n' "$bin" >"$bin/wineboot"
    chmod +x "$bin/wine" "$bin/wineserver" "$bin/wineboot"
    echo "$bin"
}

# Starts Xvfb on a free display number and exports DISPLAY; the caller kills
# QRX_XVFB_PID when done.
qrx_start_display() {
    local display=":$((100 + RANDOM % 400))"
    Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 &
    QRX_XVFB_PID=$!
    export DISPLAY="$display"
}

# Makes the prefix WINEPREFIX with the wine on PATH and waits for it to settle.
qrx_boot_prefix() {
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    wineboot -i >/dev/null 2>&1
    wineserver -w
}
