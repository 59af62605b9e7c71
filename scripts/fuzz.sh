#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS each (default 60; long runs: 3600),
# built with clang and AddressSanitizer/UndefinedBehaviorSanitizer in
# build-fuzz/. Each target starts from its seed corpus in fuzz/corpus/ (kept
# as it is; new inputs go to build-fuzz/corpus/). A crash, leak or sanitizer
# report stops the run with its reproducer in build-fuzz/artifacts/.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="${BUILD_DIR:-$root/build-fuzz}"
"$root/scripts/install-deps.sh" clang libclang-rt-14-dev
BUILD_DIR="$build" "$root/scripts/build.sh" -DCMAKE_CXX_COMPILER=clang++ -DQRX_FUZZ=ON \
    -DBUILD_TESTING=OFF -DQRX_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
mkdir -p "$build/artifacts"
for target in request_handler base64 ini registry record_export styled_json; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    echo "fuzz_$target: ${seconds}s"
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" "$corpus" "$root/fuzz/corpus/$target" \
        2>"$build/fuzz_$target.log" || {
        tail -40 "$build/fuzz_$target.log"
        echo "fuzz.sh: fuzz_$target failed; its reproducer is in $build/artifacts/" >&2
        exit 1
    }
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/fuzz_$target.log" |
        sed 's/^/   /'
done
echo "fuzzing: no crash, leak or sanitizer report"
