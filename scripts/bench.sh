#!/usr/bin/env bash
# Builds the benchmarks in Release, runs the four that measure the project's performance ratios
# (each ratio measured side by side in one run by its own benchmark) and prints one table of them
# with the target beside each. ZUNT_BENCH_EVENTS sets the events the display and restart benchmarks
# store (1,000,000 by default). Usage: scripts/bench.sh [--all] [benchmark arguments]
#   --all  also runs the other benchmarks and shows every benchmark's own output
set -euo pipefail
cd "$(dirname "$0")/.."
all=0
if [ "${1:-}" = "--all" ]; then
  all=1
  shift
fi
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# A benchmark that could not measure ends with status 1 (its output says which case and why): the
# table is still printed, and the script then fails.
ratio_benches=(intake_bench burst_bench display_events_bench streams_bench)
failed=
for name in "${ratio_benches[@]}"; do
  echo "=== bench_$name"
  if [ $all = 1 ]; then
    "build/release/bench/bench_$name" --benchmark_out="$out/$name.json" --benchmark_out_format=json "$@" ||
      failed="$failed bench_$name"
  else
    "build/release/bench/bench_$name" --benchmark_out="$out/$name.json" --benchmark_out_format=json "$@" \
      >"$out/$name.txt" 2>&1 || { cat "$out/$name.txt"; failed="$failed bench_$name"; }
  fi
done
if [ $all = 1 ]; then
  shopt -s nullglob
  for bench in build/release/bench/bench_*; do
    case " ${ratio_benches[*]} " in *" ${bench##*/bench_} "*) continue ;; esac
    echo "=== $(basename "$bench")"
    "$bench" "$@"
  done
fi

python3 - "$out" <<'EOF'
import json, sys
out = sys.argv[1]
runs = {}
for name in ("intake_bench", "burst_bench", "display_events_bench", "streams_bench"):
    try:
        with open(f"{out}/{name}.json") as f:
            for b in json.load(f)["benchmarks"]:
                runs[b["name"].split("/iterations")[0]] = b
    except (OSError, ValueError, KeyError):
        pass

def value(bench, counter):
    b = runs.get(bench)
    return None if b is None or b.get("error_occurred") else b.get(counter)

# A restart's peak against the README's sizing rule: 0.5 KB an event the history keeps, plus 50 MB.
for n in (100000, 300000, 1000000):
    b = runs.get(f"restartMemory/{n}")
    if b and not b.get("error_occurred") and b.get("events"):
        b["rule"] = b["restartPeakMB"] / (b["events"] * 512 / 1e6 + 50)

# (what, benchmark, counter, target text, met)
rows = [
    ("event intake / raw get+put", "intake", "ratio", ">= 0.7", lambda v: v >= 0.7),
    ("statistics intake / raw get+put", "statsIntake", "ratio", ">= 0.7", lambda v: v >= 0.7),
    ("zunt burst of 10,000 / raw get+put", "burst/10000", "ratio", ">= 0.5", lambda v: v >= 0.5),
    ("zunt burst of 100,000 / raw get+put", "burst/100000", "ratio", ">= 0.5", lambda v: v >= 0.5),
    ("zunt 100,000 time / 10 x its 10,000 time", "burst/100000", "linear", "<= 1.2", lambda v: v <= 1.2),
    ("zunt storm of 100,000 / raw get+put", "storm/100000", "ratio", ">= 0.5", lambda v: v >= 0.5),
    ("zunt 20,000 after a backout / raw get+put", "backout/20000", "ratio", ">= 0.5", lambda v: v >= 0.5),
    ("peak memory, 100,000 distinct: restart / running", "memory/100000", "ratio", "<= 1", lambda v: v <= 1),
    ("restart peak, 1,000,000 stored / README rule", "restartMemory/1000000", "rule", "<= 1", lambda v: v <= 1),
    ("stored bytes per event / gzip -9 of its PCF", "eventsBytes", "ratio", "<= 1", lambda v: v <= 1),
    ("stored bytes per statistics message / gzip -9", "statsBytes", "ratio", "<= 1", lambda v: v <= 1),
    ("jq / DISPLAY EVENTS WHERE (0.1% selected)", "displayVersusJq/1000", "ratio", ">= 5", lambda v: v >= 5),
    ("jq / DISPLAY EVENTS WHERE (10% selected)", "displayVersusJq/10", "ratio", ">= 5", lambda v: v >= 5),
    ("restart load / raw browse (P4)", "restartLoad", "P4", "<= 2", lambda v: v <= 2),
    ("resident memory per event / compressed (P5)", "restartLoad", "P5", "<= 1.2", lambda v: v <= 1.2),
]
unmeasured = []
print()
print(f"{'ratio':<48} {'measured':>9}  {'target':<8} met")
print("-" * 72)
for what, bench, counter, target, met in rows:
    v = value(bench, counter)
    if v is None:
        why = runs.get(bench, {}).get("error_message", "not run")
        unmeasured.append(f"{what}: {bench}: {why}")
    shown = "NOT MEASURED" if v is None else f"{v:.3g}"
    print(f"{what:<48} {shown:>9}  {target:<8} {'-' if v is None else ('yes' if met(v) else 'NO')}")
r = runs.get("restartLoad", {})
if r.get("P4kept") and r.get("P4"):
    print(f"(restart load: a raw browse that keeps each message in memory takes {r['P4kept']:.3g} of the raw "
          f"browse, the load {r['P4'] / r['P4kept']:.3g} of that)")
rates = [(what, runs[name]) for what, name in (("burst 10,000", "burst/10000"), ("burst 100,000", "burst/100000"),
          ("storm 100,000", "storm/100000"), ("after a backout", "backout/20000")) if name in runs]
if rates:
    print("(the real program's drain rates, messages/s, beside the raw rate: " +
          "; ".join(f"{what} {b.get('messages/s', 0):.0f} vs {b.get('raw/s', 0):.0f}" for what, b in rates) + ")")
m = runs.get("memory/100000", {})
if m.get("runningMB"):
    print(f"(peak resident memory of 100,000 distinct events: {m['startMB']:.0f} MB at the start, "
          f"{m['runningMB']:.0f} MB running ({m['bytesPerEvent']:.0f} bytes an event), "
          f"{m['restartMB']:.0f} MB after a restart within STORMINT)")
shown = [(n, runs[f"restartMemory/{n}"]) for n in (100000, 300000, 1000000)
         if runs.get(f"restartMemory/{n}", {}).get("restartPeakMB")]
if shown:
    print("(a restart's peak resident memory after the storm windows ended: " +
          "; ".join(f"{n:,} events {b['restartPeakMB']:.0f} MB (streams {b['streamMB']:.0f} MB)" for n, b in shown) +
          "; the README's rule: 0.5 KB an event + 50 MB)")
d = runs.get("displayVersusJq/10", {})
if d and "jq_s" not in d:
    print("(jq was not found: the DISPLAY rows compare against a plain scan of the stored records)")
if unmeasured:
    print("\nFAILED: rows not measured:\n  " + "\n  ".join(unmeasured))
    sys.exit(1)
EOF
if [ -n "$failed" ]; then
  echo "FAILED: benchmarks that could not measure:$failed" >&2
  exit 1
fi
