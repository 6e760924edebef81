#!/usr/bin/env bash
# Builds and runs every test. Usage: scripts/test.sh [preset...] [-- ctest arguments]
# Presets: release asan (the default pair), debug, tsan (runs the tests labelled "threaded"). Tests
# labelled "long" run only when the ctest arguments ask for them (-- -L long).
# Fails, naming them, when the tests leave files in the source tree: they write only under
# temporary folders.
set -euo pipefail
cd "$(dirname "$0")/.."

# What git sees in the tree beside the build folders, ignored files included.
tree_state() {
  git status --porcelain --untracked-files=all --ignored 2>/dev/null |
    grep -vE '^.. "?(build/|build-[^/]*/|\.cache/|compile_commands\.json)' || true
}
before=$(tree_state)

presets=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do presets+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift
[ ${#presets[@]} -gt 0 ] || presets=(release asan)

jobs=$(nproc)
# Most tests wait on a queue manager or a child rather than compute: two more than there are cores
# keep a small machine's cores busy.
test_jobs=$((jobs + 2))
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

build() {
  cmake --preset "$1" >/dev/null
  if [ "$1" = "tsan" ]; then
    cmake --build --preset "$1" -j "$jobs" --target zunt_threaded_tests
  else
    cmake --build --preset "$1" -j "$jobs"
  fi
}

# While one preset's tests run, mostly waiting, the next preset builds at the lowest priority; its
# output follows the tests'.
background=""
stop_background() { [ -z "$background" ] || kill -- "-$background" 2>/dev/null || true; }
trap stop_background EXIT
mkdir -p build
echo "=== ${presets[0]}: configure and build"
build "${presets[0]}"
for i in "${!presets[@]}"; do
  preset=${presets[$i]}
  next=${presets[$((i + 1))]:-}
  if [ -n "$next" ]; then
    next_log=build/$next-build.log
    # A process group of its own (to end it with this script), in this session: a new session would
    # be a scheduling group of its own, whose share its nice value would not lower.
    set -m
    nice -n 19 bash -c "$(declare -f build); jobs=$jobs; build $next" >"$next_log" 2>&1 &
    background=$!
    set +m
  fi
  echo "=== $preset: tests"
  extra=()
  [ "$preset" = "tsan" ] && extra=(-L threaded)
  # The long cycles only when asked for (-- -L long).
  [ $# -eq 0 ] && extra+=(-LE long)
  ctest --test-dir "build/$preset" --output-on-failure -j "$test_jobs" "${extra[@]}" "$@"
  if [ -n "$next" ]; then
    echo "=== $next: configure and build (beside $preset's tests)"
    rc=0
    scripts/raise-priority.sh "$background"
    wait "$background" || rc=$?
    background=""
    if [ "$rc" -ne 0 ]; then
      cat "$next_log"
      exit "$rc"
    fi
    tail -n 1 "$next_log"
  fi
done

left=$(comm -13 <(printf '%s\n' "$before" | sort) <(tree_state | sort) | sed '/^$/d')
if [ -n "$left" ]; then
  echo "The tests left files in the source tree:"
  printf '%s\n' "$left"
  exit 1
fi
