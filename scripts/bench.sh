#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them all (arguments go to each benchmark).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
shopt -s nullglob
for bench in build/release/bench/bench_*; do
  echo "=== $(basename "$bench")"
  "$bench" "$@"
done
