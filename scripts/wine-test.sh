#!/usr/bin/env bash
# Builds the windows preset (mingw-w64) and runs its unit tests under wine, each test executable
# once (the queue-manager ones in shards of a few tests each; each fuzz target over its seed corpus),
# several at a time, in the wine prefix under build/windows. The tests that need a queue manager
# (those the windows build has: it builds them once it has miniqm's client library, mqic.dll)
# connect as clients to a Linux miniqm of the release build, which a runner of that build
# (tests/wine/qm_runner.cpp) starts, stops and kills for them: a Windows process under wine cannot
# wait for a Linux one. Queue managers a crashed test left running are ended afterwards.
# Usage: scripts/wine-test.sh [-- gtest arguments]
# Fails, naming them, when an executable fails (or runs longer than WINE_TEST_TIMEOUT seconds,
# 600 by default: a shard holding a refused-save case ran over four minutes under wine) or the tests leave
# files in the source tree.
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

runner=""
qmtmp=""
if grep -q '^ZUNT_WINE_QM_TESTS:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "=== windows: the Linux side of the queue-manager tests (release build)"
  linux=$PWD/build/release
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$jobs" --target miniqm miniqmd mqm qm_runner
  # The queue managers' folders, short enough for their Unix sockets; drive Z: is / under wine.
  qmtmp=$(mktemp -d /tmp/zunt-wine-XXXXXX)
  PATH="$linux/miniqm:$linux/tests:$PATH" "$linux/tests/qm_runner" >"$logs/qm-runner.port" \
    2>"$logs/qm-runner.log" &
  runner=$!
  for _ in $(seq 100); do [ -s "$logs/qm-runner.port" ] && break; sleep 0.05; done
  ZUNT_QM_RUNNER=$(head -1 "$logs/qm-runner.port")
  [ -n "$ZUNT_QM_RUNNER" ] || { echo "the runner did not start"; cat "$logs/qm-runner.log"; exit 1; }
  export ZUNT_QM_RUNNER
fi
# The runner, and every queue manager a test left running (a crashed test does not stop its own);
# then their folders.
stop_linux_side() {
  [ -z "$runner" ] || kill "$runner" 2>/dev/null || true
  [ -n "$qmtmp" ] || return 0
  find "$qmtmp" -name miniqmd.run 2>/dev/null | while read -r run; do
    pid=$(sed -n 's/^pid=//p' "$run")
    if [ -n "$pid" ] && grep -q miniqmd "/proc/$pid/cmdline" 2>/dev/null; then kill -9 "$pid" || true; fi
  done
  rm -rf "$qmtmp"
}
trap stop_linux_side EXIT

echo "=== windows: tests under wine"
start=$(date +%s)
run_one() {
  local exe=$1 name args
  name=$(basename "$exe" .exe)
  shift
  # A queue-manager executable may come as one shard of several ("exe@index/total"): gtest runs
  # every total-th of its tests from index.
  local shard="" log
  case $exe in *@*) shard=${exe#*@}; exe=${exe%@*}; name=$(basename "$exe" .exe) ;; esac
  log=$logs/$name${shard:+.${shard%/*}}.log
  case $name in
    replay_*) args=("$PWD/tests/fuzz/corpus/${name#replay_}") ;;  # a fuzz target over its seed corpus
    *) args=(--gtest_brief=1 "$@") ;;
  esac
  case $name in *_qm_*) export ZUNT_WINE_TMPDIR="Z:$qmtmp" ;; esac
  if [ -n "$shard" ]; then export GTEST_SHARD_INDEX=${shard%/*} GTEST_TOTAL_SHARDS=${shard#*/}; fi
  local rc=0 began
  began=$(date +%s)
  # A hung executable is ended after the time ctest would give it.
  start_exe() {
    timeout -k 5 "${WINE_TEST_TIMEOUT:-600}" scripts/wine-run.sh "$prefix" "$exe" "${args[@]}" \
      >"$log" 2>&1
  }
  start_exe || rc=$?
  # Now and then under load wine ends a process with status 1 before it writes a byte (no test
  # ran); such a start is tried once more, and said so.
  if [ "$rc" = 1 ] && [ ! -s "$log" ]; then
    echo "retried  $name: wine ended it with status 1 before any output" >&2
    rc=0
    start_exe || rc=$?
  fi
  local what="$name${shard:+ (shard $shard)}"
  if [ "$rc" = 0 ]; then
    echo "ok     $what $(( $(date +%s) - began ))s"
  else
    echo "exit status $rc (124: timed out)" >>"$log"
    echo "FAILED $what $(( $(date +%s) - began ))s ${log#"$logs/"}"
  fi
}
export -f run_one
export prefix logs qmtmp
scripts/wine-run.sh "$prefix" cmd /c exit 0 >/dev/null 2>&1 || true  # makes the prefix once
executables() {
  find "$build/tests" -maxdepth 1 \( -name 'test_*.exe' -o -name 'replay_*.exe' \) | sort
}
# The queue-manager tests wait more than they work: a pool of their own (WINE_QM_JOBS at a time, 4
# by default) beside the others.
# Each runs in shards of about WINE_QM_SHARD_TESTS tests (5 by default), so that no one process
# holds tens of program runs: their waits add up past the time an executable is given. The
# executables with the most shards start first.
count_tests() {
  local n
  n=$(timeout 120 scripts/wine-run.sh "$prefix" "$1" --gtest_list_tests 2>/dev/null | grep -c '^  ' || true)
  echo "${n:-0} $1"
}
export -f count_tests
qm_shards() {
  local n exe i total per=${WINE_QM_SHARD_TESTS:-5}
  xargs -P "$jobs" -I{} bash -c 'count_tests "$@"' _ {} | sort -rn |
    while read -r n exe; do
      total=$(( (n + per - 1) / per ))
      [ "$total" -ge 1 ] || total=1
      for i in $(seq 0 $(( total - 1 ))); do echo "$exe@$i/$total"; done
    done
}
executables | { grep '_qm_' || true; } | qm_shards |
  xargs -P "${WINE_QM_JOBS:-6}" -I{} bash -c 'run_one "$@"' _ {} "$@" >"$logs/qm-results" &
qm_pool=$!
results=$(executables | { grep -v '_qm_' || true; } | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$@")
wait "$qm_pool" || true
results=$(printf '%s\n%s' "$results" "$(cat "$logs/qm-results")" | sed '/^$/d')
wineserver -k 2>/dev/null || true
printf '%s\n' "$results" | grep -c '^ok' | sed 's/^/passed runs (an executable or a shard of one): /'
echo "the longest runs:"
printf '%s\n' "$results" | grep -E '^(ok|FAILED)' | awk '{for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+s$/) print $i, $0}' |
  sort -rn | sed -n 1,5p | cut -d' ' -f2-  # sed reads to the end: head's early exit would kill sort
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
  for log in $(printf '%s\n' "$failed" | awk '{print $NF}'); do
    echo "--- $log"
    # The failed checks with what they printed (a waiting check prints the program's log); a crash
    # or a fatal error has none, so then the log's end.
    lines=$(grep -E -A 40 '^\[  FAILED|Failure' "$logs/$log" | sed -n 1,120p || true)
    if [ -n "$lines" ]; then printf '%s\n' "$lines"; fi
    tail -15 "$logs/$log"
  done
  exit 1
fi
