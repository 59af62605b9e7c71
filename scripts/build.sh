#!/usr/bin/env bash
# Configures and builds into a build folder (default: build/ beside this
# repository's sources). Extra arguments go to cmake's configure step;
# BUILD_TARGET names the targets, separated by spaces (default: all).
# A folder already configured with the same arguments is not configured
# again (the build itself re-runs cmake when a CMakeLists.txt changes), so
# a second call builds only what changed.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
arguments="$(printf '%q ' "$@")"
if [ ! -f "$build/CMakeCache.txt" ] || [ "$(cat "$build/.qrx-configure" 2>/dev/null)" != "$arguments" ]; then
    cmake -S "$root" -B "$build" "$@" >/dev/null
    printf '%s' "$arguments" >"$build/.qrx-configure"
fi
read -r -a targets <<< "${BUILD_TARGET:-all}"
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
