#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short time, starting from its seed
# corpus in tests/fuzz/corpus/<target>/ (read only: what a run finds goes under build/fuzz/).
# Usage: scripts/fuzz.sh [seconds per target, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
shopt -s nullglob
targets=(build/fuzz/tests/fuzz/*_fuzz)
if [ ${#targets[@]} -eq 0 ]; then echo "no fuzz targets yet"; exit 0; fi
for target in "${targets[@]}"; do
  name=$(basename "$target")
  corpus="build/fuzz/corpus/$name"
  artifacts="build/fuzz/artifacts/$name/"
  mkdir -p "$corpus" "$artifacts"
  seeds=()
  [ -d "tests/fuzz/corpus/$name" ] && seeds=("tests/fuzz/corpus/$name")
  echo "=== $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="$artifacts" \
    "$corpus" "${seeds[@]}" 2>&1 | tail -n 3
done
