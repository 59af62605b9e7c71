#!/usr/bin/env bash
# Cross-builds the Windows programs for one architecture, ARCH (i686, the
# server as deployed, or x86_64; default i686): the libraries first when they
# are missing (scripts/build-win-deps.sh), then ScanServer.exe, qrx-client.exe,
# the platform contract tests and the test desktop, into
# BUILD_WIN_DIR/ARCH/server (default build-win/ARCH/server).
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
arch="${1:-i686}"
build_win="${BUILD_WIN_DIR:-$root/build-win}"
deps="$build_win/$arch/deps"
QRX_WIN_ARCH="$arch" QRX_WIN_DEPS="$deps" QRX_WIN_SOURCES="$build_win/src" \
    "$root/scripts/build-win-deps.sh"
echo "build-win ($arch): the server, the client tool and the test programs"
cmake -S "$root" -B "$build_win/$arch/server" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
    -DQRX_WIN_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_win/$arch/server" -j"${QRX_BUILD_JOBS:-$(nproc)}" >/dev/null
