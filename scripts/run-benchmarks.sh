#!/usr/bin/env bash
# Runs every benchmark program of a build (Google Benchmark) and prints their figures.
#   scripts/run-benchmarks.sh [BUILD_DIR]      (default: build)
# Benchmarks that need PipeWire start a private sandbox of their own (scripts/audio-sandbox.sh).
set -euo pipefail
build=${1:-build}
[ -d "$build/bench" ] || { echo "no benchmarks in $build/bench: build first" >&2; exit 1; }
status=0
for program in "$build"/bench/*_bench; do
    [ -x "$program" ] || continue
    echo "== $(basename "$program")"
    "$program" || status=1
done
exit "$status"
