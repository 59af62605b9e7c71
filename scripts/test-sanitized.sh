#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/) and runs the whole test suite with them: the server binary
# that the process tests start is instrumented too.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-asan}"
# The Python client example's test imports pyzmq and jsonschema.
"$root/scripts/install-deps.sh" python3-zmq python3-jsonschema
BUILD_DIR="$build" "$root/scripts/build.sh" -DBUILD_TESTING=ON -DQRX_SANITIZE=address,undefined \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
cd "$build"
ctest --output-on-failure -j"$(nproc)"
