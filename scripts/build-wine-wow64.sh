#!/usr/bin/env bash
# Builds a Wine that runs 32-bit Windows programs with no 32-bit Linux code:
# Wine's WoW64 mode (configured with --enable-archs=i386,x86_64), as a 32-bit
# program runs on 64-bit Windows. The Wine suite uses it for the i686 build
# on a machine whose kernel cannot start 32-bit Linux programs, where
# Debian's wine32 cannot run (scripts/wine-e2e.sh).
#
# The source is Debian's own (apt-get source wine), with Debian's patches and
# its generation steps (debian/rules); nothing else is downloaded. Only what
# the checks need is built: no tests, sound, printing, scanners, cameras,
# video or 3D, and none of the DLLs that only games and media players use
# (Direct3D and its helpers, the versioned C++ runtimes, XAudio, Media
# Foundation, the HTML engine), nor anything that imports them.
#
# It goes into QRX_WINE_WOW64_DIR (default ~/.cache/qrx/wine-wow64), which
# holds bin/wine, bin/wineserver and so on. A folder whose .complete names
# this source and these options is left as it is, so a machine builds it
# once; any other is built anew. Prints the folder, and nothing else, on its
# standard output; what it does goes to standard error.
source "$(dirname "$0")/lib/strict.sh"
exec 3>&1 1>&2
root="$(cd "$(dirname "$0")/.." && pwd)"
dest="${QRX_WINE_WOW64_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/qrx/wine-wow64}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)

features=(--disable-tests --disable-win16 --without-alsa --without-capi --without-cups
          --without-dbus --without-gphoto --without-gnutls --without-gssapi --without-gstreamer
          --without-krb5 --without-netapi --without-opencl --without-opengl --without-osmesa
          --without-oss --without-pcap --without-pulse --without-sane --without-sdl --without-udev
          --without-usb --without-v4l2 --without-vulkan --without-xinerama --without-xinput
          --without-xinput2 --without-xxf86vm --without-xshape --without-inotify --without-unwind)
# Only the modules the checks run, and whatever those import (dlls/,
# programs/ and the libraries in libs/): the loader, the WoW64 layer, the
# system DLLs that the server, the client tool, the test programs and the
# installer import, the X11 driver, and what wineboot, the services, reg.exe
# and explorer's desktop need. Shell patterns over dlls/ and programs/.
needed=(ntdll apisetschema kernel32 kernelbase 'api-ms-win-*' 'ext-ms-win-*' wow64 wow64cpu wow64win win32u
        user32 gdi32 imm32 uxtheme winex11.drv advapi32 sechost msvcrt ucrtbase ws2_32 mswsock
        iphlpapi nsi nsiproxy.sys dnsapi ole32 oleaut32 combase rpcrt4 shell32 shlwapi shcore
        comctl32 comdlg32 version userenv setupapi cfgmgr32 bcrypt rsaenh cryptbase crypt32
        wintrust imagehlp dbghelp psapi ntoskrnl.exe hal mountmgr.sys wineboot services rpcss
        plugplay svchost winedevice conhost cmd start reg rundll32 regsvr32 explorer shfolder
        tzres atl100 actxprxy stdole2.tlb taskkill netsh)
stamp_of() {  # stamp_of: what .complete holds for the source apt offers now
    local version
    version="$(apt-cache showsrc wine 2>/dev/null | sed -n 's/^Version: //p' | head -1)"
    echo "wine ${version:-?} wow64 i386,x86_64; ${features[*]}; modules: ${needed[*]}"
}
stamp="$(stamp_of)"
if [ -f "$dest/.complete" ] && [ "$(cat "$dest/.complete")" = "$stamp" ]; then
    echo "$dest" >&3
    exit 0
fi

"$root/scripts/install-win-tools.sh"
packages=(flex bison gettext icoutils imagemagick librsvg2-bin fontforge-nox khronos-api
          unicode-data libvulkan-dev libxml-libxml-perl libx11-dev libxext-dev libxrender-dev
          libxrandr-dev libxi-dev libxfixes-dev libxcursor-dev libxcomposite-dev
          libfreetype-dev libfontconfig-dev libz-mingw-w64-dev libgettextpo-dev sharutils python3
          dpkg-dev)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "build-wine-wow64: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi
stamp="$(stamp_of)"

# QRX_WINE_WORK keeps the source and the build in that folder, and a second
# run there starts again after the generation steps (some 8 minutes).
if [ -n "${QRX_WINE_WORK:-}" ]; then
    work="$QRX_WINE_WORK"
    mkdir -p "$work"
else
    work="$(mktemp -d /tmp/qrx-wine-build-XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi
cd "$work"
if [ ! -f generated ]; then
    echo "build-wine-wow64: fetching Debian's source of wine"
    rm -rf wine-*/
    apt-get source -qq wine >/dev/null 2>&1 || apt-get source wine
    # Debian's generation steps (debian/rules, override_dh_auto_configure):
    # the files its source leaves out, and the icons' shared pictures. Each
    # line runs in the source folder, as make runs a recipe's lines.
    (cd wine-*/ &&
        sed -n '/^override_dh_auto_configure:/,/^override_dh_auto_build/p' debian/rules |
        sed -n 's/^\t\(\.\/debian\/scripts\/generate .*\|\.\/tools\/make_.*\|cd dlls\/.*\|ln -sf .*\)$/\1/p' |
            while read -r line; do (eval "$line") >>generate.log 2>&1 ||
                { tail -n 20 generate.log; exit 1; }; done &&
        rm -rf libs/zlib)
    touch generated
fi
cd wine-*/

# The needed modules and their imports, until none is added; every other
# module is left out. "$(JPEG_PE_LIBS)" and the like name libs/jpeg.
declare -A keep=()
for pattern in "${needed[@]}"; do
    for dir in dlls/$pattern programs/$pattern; do
        [ -f "$dir/Makefile.in" ] && keep["${dir##*/}"]=1
    done
done
grown=1
while [ "$grown" -eq 1 ]; do
    grown=0
    for module in "${!keep[@]}"; do
        for makefile in dlls/$module/Makefile.in programs/$module/Makefile.in libs/$module/Makefile.in; do
            [ -f "$makefile" ] || continue
            for import in $(sed -n 's/^\(DELAY\)\{0,1\}IMPORTS *=//p' "$makefile"); do
                import="${import#-}"
                [[ "$import" =~ ^\$\(([A-Z0-9]+)_PE_LIBS\)$ ]] && import="${BASH_REMATCH[1],,}"
                if [ -z "${keep[$import]:-}" ]; then
                    keep["$import"]=1
                    grown=1
                fi
            done
        done
    done
done
# The small static libraries (the C start-up code, GUIDs) and libwine stay.
disable=()
for dir in dlls/*/ programs/*/ libs/*/; do
    module="$(basename "$dir")"
    [ -n "${keep[$module]:-}" ] || [ "$dir" = libs/wine/ ] ||
        grep -q '^STATICLIB' "$dir/Makefile.in" 2>/dev/null || disable+=("--disable-$module")
done
echo "build-wine-wow64: ${#disable[@]} modules left out, ${#keep[@]} built"

# Maintainer mode builds the icons and fonts that Debian's source leaves out
# from their pictures and outlines (as Debian does); it also makes warnings
# errors, which -Wno-error takes back: this is a test tool, not a release.
autoreconf -f >autoreconf.log 2>&1 || { tail -n 20 autoreconf.log >&2; exit 1; }
./configure --prefix="$dest" --libdir="$dest/lib/wine" --datadir="$dest/share/wine" \
    --enable-archs=i386,x86_64 --enable-maintainer-mode --with-mingw ZLIB_PE_LIBS=z \
    "${features[@]}" "${disable[@]}" CFLAGS="-O2 -g0 -Wno-array-bounds -Wno-unused-function -Wno-format -Wno-error" \
    CROSSCFLAGS="-O2 -g0 -Wno-error" >configure.log 2>&1 ||
    { tail -n 30 configure.log >&2; exit 1; }
grep -q 'i386' <(sed -n 's/^PE_ARCHS *= *//p' Makefile) || {
    echo "build-wine-wow64: configure did not take the i386 PE architecture" >&2
    exit 1
}
jobs="${QRX_BUILD_JOBS:-$(nproc)}"
echo "build-wine-wow64: building with $jobs jobs"
build_start=$SECONDS
make -j"$jobs" >make.log 2>&1 || { grep -B2 -A8 -m5 'rror' make.log | tail -n 60 >&2; exit 1; }
echo "build-wine-wow64: built in $((SECONDS - build_start)) s"
rm -rf "$dest"
make install fontdir="$dest/share/wine/fonts" >install.log 2>&1 ||
    { tail -n 30 install.log >&2; exit 1; }
# Debian's wine links mingw's zlib as zlib1.dll and copies it in as a
# builtin DLL when installed (libwine's postinst); so does this.
for arch in i686 x86_64; do
    wine_arch="$arch"
    [ "$arch" = i686 ] && wine_arch=i386
    zlib="/usr/$arch-w64-mingw32/lib/zlib1.dll"
    { head -c 64 "$zlib"; printf 'Wine builtin DLL'; printf '\0%.0s' {1..16}; tail -c +97 "$zlib"; } \
        >"$dest/lib/wine/$wine_arch-windows/zlib1.dll"
done
printf '%s' "$stamp" >"$dest/.complete"
echo "$dest" >&3
