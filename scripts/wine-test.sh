#!/usr/bin/env bash
# Builds the windows preset (mingw-w64) and runs its unit tests under wine, each test executable
# once (and each fuzz target over its seed corpus), several at a time, in the wine prefix under
# build/windows. Tests that need a queue manager are not built for Windows.
# Usage: scripts/wine-test.sh [-- gtest arguments]
# Fails, naming them, when an executable fails (or runs longer than WINE_TEST_TIMEOUT seconds,
# 300 by default) or the tests leave files in the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${1:-}" = "--" ] && shift

tree_state() {
  git status --porcelain --untracked-files=all --ignored 2>/dev/null |
    grep -vE '^.. "?(build/|build-[^/]*/|\.cache/|compile_commands\.json)' || true
}
before=$(tree_state)

jobs=${WINE_TEST_JOBS:-$(nproc)}
echo "=== windows: configure and build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

build=$PWD/build/windows
prefix=$build/wineprefix
logs=$build/wine-test
rm -rf "$logs"
mkdir -p "$logs"
export WINEPREFIX="$prefix"
echo "=== windows: tests under wine"
start=$(date +%s)
run_one() {
  local exe=$1 name args
  name=$(basename "$exe" .exe)
  shift
  case $name in
    replay_*) args=("$PWD/tests/fuzz/corpus/${name#replay_}") ;;  # a fuzz target over its seed corpus
    *) args=(--gtest_brief=1 "$@") ;;
  esac
  # A hung executable is ended after the time ctest would give it.
  if timeout -k 5 "${WINE_TEST_TIMEOUT:-300}" scripts/wine-run.sh "$prefix" "$exe" "${args[@]}" \
    >"$logs/$name.log" 2>&1; then
    echo "ok     $name"
  else
    echo "FAILED $name"
  fi
}
export -f run_one
export prefix logs
scripts/wine-run.sh "$prefix" cmd /c exit 0 >/dev/null 2>&1 || true  # makes the prefix once
results=$(find "$build/tests" -maxdepth 1 \( -name 'test_*.exe' -o -name 'replay_*.exe' \) | sort |
  xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$@")
wineserver -k 2>/dev/null || true
printf '%s\n' "$results" | grep -c '^ok' | sed 's/^/passed executables: /'
failed=$(printf '%s\n' "$results" | grep '^FAILED' || true)
echo "windows tests took $(( $(date +%s) - start ))s"

left=$(comm -13 <(printf '%s\n' "$before" | sort) <(tree_state | sort) | sed '/^$/d')
if [ -n "$left" ]; then
  echo "The tests left files in the source tree:"
  printf '%s\n' "$left"
  exit 1
fi
if [ -n "$failed" ]; then
  printf '%s\n' "$failed"
  for name in $(printf '%s\n' "$failed" | awk '{print $2}'); do
    echo "--- $name"
    grep -E '^\[  FAILED|Failure' "$logs/$name.log" | head -20 || tail -5 "$logs/$name.log"
  done
  exit 1
fi
