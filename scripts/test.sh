#!/usr/bin/env bash
# Quick start: installs what is missing, builds everything and runs every test.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
# The Python client example's test imports pyzmq and jsonschema.
"$root/scripts/install-deps.sh" python3-zmq python3-jsonschema
BUILD_DIR="$build" "$root/scripts/build.sh" -DBUILD_TESTING=ON
cd "$build"
ctest --output-on-failure -j"$(nproc)"
