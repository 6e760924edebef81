#!/usr/bin/env bash
# Usage: scripts/raise-priority.sh PGID
# Raises every process of the process group to the ordinary scheduling class at nice 0. A build
# started beside the tests at the lowest priority (nice 19, or SCHED_IDLE) is waited for once the
# tests are done: from then on nothing else of ours needs the cores, and on a machine that something
# else keeps busy it would otherwise get almost no time and never end. Their later children inherit
# it. Needs root to lower a nice value; without it, nothing changes.
pgid=$1
# Twice: a process started while the first pass ran may still have had the old priority.
for _ in 1 2; do
  for pid in $(pgrep -g "$pgid" 2>/dev/null); do
    chrt --other -a -p 0 "$pid" >/dev/null 2>&1 || true
    renice -n 0 -p "$pid" >/dev/null 2>&1 || true
  done
done
exit 0
