#!/usr/bin/env bash
# Builds libsodium, libzmq, JsonCpp and TinyXML for Windows (static,
# mingw-w64) from Debian's own source packages, with Debian's patches
# applied, for one
# architecture: QRX_WIN_ARCH, i686 (the server as deployed, the default) or
# x86_64. They go into QRX_WIN_DEPS (default build-win/ARCH/deps). The
# sources are fetched once into QRX_WIN_SOURCES (default build-win/src) and
# shared by both architectures; source entries for them are derived from the
# machine's apt sources, and nothing else is downloaded. A finished prefix is
# left as it is when it was built with the options below; one built with other
# options (a libzmq without CURVE, or with its own tweetnacl cipher) is built
# anew.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
arch="${QRX_WIN_ARCH:-i686}"
case "$arch" in
    i686 | x86_64) ;;
    *) echo "build-win-deps.sh: QRX_WIN_ARCH must be i686 or x86_64, not $arch" >&2; exit 2 ;;
esac
deps="${QRX_WIN_DEPS:-$root/build-win/$arch/deps}"
sources="${QRX_WIN_SOURCES:-$root/build-win/src}"
# Names the build options; a prefix whose .complete says otherwise is rebuilt.
options_stamp="libzmq with CURVE on static libsodium"
[ -f "$deps/.complete" ] && [ "$(cat "$deps/.complete")" = "$options_stamp" ] && exit 0
rm -rf "$deps"

"$root/scripts/install-win-tools.sh"
# .complete names the source packages fetched; a folder with fewer is fetched anew.
packages=(libsodium zeromq3 libjsoncpp tinyxml)
if [ "$(cat "$sources/.complete" 2>/dev/null)" != "${packages[*]}" ]; then
    echo "build-win-deps: fetching Debian's sources of ${packages[*]}"
    rm -rf "$sources"
    mkdir -p "$sources"
    (cd "$sources" && apt-get source -qq "${packages[@]}" >/dev/null 2>&1) ||
        (cd "$sources" && apt-get source "${packages[@]}")
    printf '%s' "${packages[*]}" >"$sources/.complete"
fi
work="$(mktemp -d /tmp/qrx-win-deps-XXXXXX)"
trap 'rm -rf "$work"' EXIT
cd "$work"

triplet="$arch-w64-mingw32"
toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" -DQRX_WIN_DEPS="$deps"
           -DCMAKE_INSTALL_PREFIX="$deps" -DCMAKE_BUILD_TYPE=Release)
jobs="${QRX_BUILD_JOBS:-$(nproc)}"  # fewer on a shared machine

echo "build-win-deps ($arch): libsodium"
# Debian's source carries no configure script; autoreconf makes one in a copy,
# so the shared sources stay as fetched. No shared library, and no stack
# protector, which on mingw would need libssp-0.dll beside the .exe.
cp -a "$sources"/libsodium-*/ sodium-build
logged() {  # logged COMMAND...: quiet, but its last output is shown when it fails
    "$@" >step.log 2>&1 || { tail -n 30 step.log >&2; return 1; }
}
(cd sodium-build && logged autoreconf -fi &&
    logged ./configure --host="$triplet" CC="$triplet-gcc-posix" --prefix="$deps" \
        --disable-shared --enable-static --disable-ssp --disable-dependency-tracking &&
    logged make -j"$jobs" && logged make install)

echo "build-win-deps ($arch): libzmq"
# IPC needs afunix support that mingw's libzmq build lacks; Windows uses tcp.
# CURVE comes from the static libsodium above, as on Debian, where libzmq
# links libsodium; libzmq's own tweetnacl cipher is not built. GCC cannot see
# the size of the buffers libsodium's allocator gives libzmq's CURVE code and
# warns of overflows that are not there; those warnings are off.
cmake -S "$sources"/zeromq3-*/ -B zmq-build "${toolchain[@]}" -DBUILD_SHARED=OFF -DBUILD_STATIC=ON \
    -DCMAKE_CXX_FLAGS=-Wno-stringop-overflow \
    -DBUILD_TESTS=OFF -DWITH_PERF_TOOL=OFF -DENABLE_CURVE=ON -DWITH_LIBSODIUM=ON \
    -DWITH_LIBSODIUM_STATIC=ON -DWITH_DOCS=OFF -DENABLE_DRAFTS=OFF -DENABLE_CPACK=OFF \
    -DZMQ_WIN32_WINNT=0x0601 -DZMQ_HAVE_IPC=OFF >zmq-configure.log 2>&1 ||
    { tail -n 30 zmq-configure.log >&2; exit 1; }
# libzmq falls back to tweetnacl with only a warning when it finds no
# libsodium; here that stops the build.
if ! grep -q '^#define ZMQ_USE_LIBSODIUM' zmq-build/platform.hpp ||
    ! grep -qxF "SODIUM_LIBRARIES:FILEPATH=$deps/lib/libsodium.a" zmq-build/CMakeCache.txt; then
    echo "build-win-deps ($arch): libzmq was not configured with the static libsodium in $deps:" >&2
    grep -E 'CURVE security|Could NOT find sodium' zmq-configure.log >&2 || true
    exit 1
fi
cmake --build zmq-build -j"$jobs" >/dev/null
cmake --install zmq-build >/dev/null

echo "build-win-deps ($arch): jsoncpp"
cmake -S "$sources"/libjsoncpp-*/ -B json-build "${toolchain[@]}" -DJSONCPP_WITH_TESTS=OFF \
    -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
    -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_PKGCONFIG_SUPPORT=ON -DJSONCPP_WITH_EXAMPLE=OFF >/dev/null
cmake --build json-build -j"$jobs" >/dev/null
cmake --install json-build >/dev/null

echo "build-win-deps ($arch): tinyxml"
# TinyXML ships no build for this; its four sources make the library.
mkdir -p "$deps/include" "$deps/lib/pkgconfig"
for source in tinyxml tinystr tinyxmlerror tinyxmlparser; do
    "$triplet-g++-posix" -O2 -DTIXML_USE_STL -c "$sources"/tinyxml-*/"$source.cpp" -o "$source.o"
done
"$triplet-ar" rcs "$deps/lib/libtinyxml.a" tinyxml.o tinystr.o tinyxmlerror.o tinyxmlparser.o
cp "$sources"/tinyxml-*/tinyxml.h "$sources"/tinyxml-*/tinystr.h "$deps/include/"
cat > "$deps/lib/pkgconfig/tinyxml.pc" <<PC
prefix=$deps
Name: TinyXml
Description: simple, small, C++ XML parser (Windows build)
Version: 2.6.2
Libs: -L\${prefix}/lib -ltinyxml
Cflags: -I\${prefix}/include -DTIXML_USE_STL
PC
printf '%s' "$options_stamp" > "$deps/.complete"
echo "build-win-deps ($arch): done in $deps"
