#!/usr/bin/env bash
# Quick start: installs what is missing, builds everything and runs every test.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/scripts/install-deps.sh"
BUILD_DIR="$build" "$root/scripts/build.sh" -DBUILD_TESTING=ON
cd "$build"
ctest --output-on-failure -j"$(nproc)"
