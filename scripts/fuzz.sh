#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short time, starting from its seed
# corpus in tests/fuzz/corpus/<target>/ (read only: what a run finds goes under build/fuzz/).
# Targets run side by side, one per core; their output is printed in name order afterwards.
# Usage: scripts/fuzz.sh [seconds per target, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
jobs=$(nproc)
cmake --preset fuzz >/dev/null
# Only the fuzz targets: the program and the table generators are built (and tested) by the others.
cmake --build --preset fuzz -j "$jobs" --target zunt_fuzz_targets
shopt -s nullglob
targets=(build/fuzz/tests/fuzz/*_fuzz)
if [ ${#targets[@]} -eq 0 ]; then echo "no fuzz targets yet"; exit 0; fi
logs=build/fuzz/logs
rm -rf "$logs"
mkdir -p "$logs"

run_one() {
  local target=$1 name corpus artifacts seeds=() rc=0
  name=$(basename "$target")
  corpus="build/fuzz/corpus/$name"
  artifacts="build/fuzz/artifacts/$name/"
  mkdir -p "$corpus" "$artifacts"
  [ -d "tests/fuzz/corpus/$name" ] && seeds=("tests/fuzz/corpus/$name")
  "$target" -max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="$artifacts" \
    "$corpus" "${seeds[@]}" >"$logs/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$logs/$name.rc"
}

running=0
for target in "${targets[@]}"; do
  run_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=()
for target in "${targets[@]}"; do
  name=$(basename "$target")
  echo "=== $name for ${seconds}s"
  rc=$(cat "$logs/$name.rc" 2>/dev/null || echo 1)
  if [ "$rc" = 0 ]; then
    tail -n 3 "$logs/$name.log"
  else
    tail -n 40 "$logs/$name.log"
    failed+=("$name")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]} (artifacts under build/fuzz/artifacts/)"
  exit 1
fi
