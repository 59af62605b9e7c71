#!/usr/bin/env bash
# Builds the server and qrx-bench (Release) and prints the figures: requests
# per second and p50/p99 latency against a bare ZeroMQ echo, a parse-only
# echo, the floor of the loop and log (code requests) and the keep floor,
# which adds a parse and a kept copy of each request (card submissions):
# medians of interleaved rounds, and the server's ratio to each floor as
# median and min-max over the rounds; the cost of each step of a card
# submission, the scan-mode-2 hand-over rate, idle CPU and memory per queued
# record and per code.
# Optional arguments: seconds per run (default 2), rounds (default 5).
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-release}"
"$root/scripts/install-deps.sh"
BUILD_DIR="$build" "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
"$build/qrx-bench" "$build/ScanServer" "${1:-2}" "${2:-5}"
