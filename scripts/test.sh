#!/usr/bin/env bash
# Quick start: installs what is missing, builds everything and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/scripts/install-deps.sh"
BUILD_DIR="$build" "$root/scripts/build.sh" -DBUILD_TESTING=ON
cd "$build"
ctest --output-on-failure -j"$(nproc)"
