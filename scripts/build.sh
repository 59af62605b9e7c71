#!/usr/bin/env bash
# Configures and builds into a build folder (default: build/ beside this
# repository's sources). Extra arguments go to cmake's configure step;
# BUILD_TARGET names the targets, separated by spaces (default: all).
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" "$@" >/dev/null
read -r -a targets <<< "${BUILD_TARGET:-all}"
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
