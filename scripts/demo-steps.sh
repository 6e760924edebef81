# Shared by scripts/demo.sh and scripts/wine-demo.sh (sourced, not run): the progress steps, the
# questions to the program through its command queue and its stop by command. The caller sets
# demo_name, work, miniqm, qm, reply, event_queues and steps, and n=0.

# Runs one step (a function) with its output in a log of its own: a progress line, and on failure
# the step's name, the end of its log and where the log is.
step() {
  local title=$1 name=$2
  shift 2
  n=$((n + 1))
  local log
  log=$(printf '%s/logs/%02d-%s.log' "$work" "$n" "$name")
  printf '[%2d/%d] %s ... ' "$n" "$steps" "$title"
  set +e
  (
    set -euo pipefail
    "$@"
  ) >"$log" 2>&1
  local rc=$?
  set -e
  if [ $rc -ne 0 ]; then
    echo "FAILED"
    tail -n 15 "$log" | sed 's/^/    /'
    echo "$demo_name: step '$title' failed; its log is $log" >&2
    failed=1
    exit 1
  fi
  echo "ok"
}

qm_running() { "$miniqm" status "$qm" 2>/dev/null | grep -q running; }

# Waits up to $2 rounds of 0.2 s for process $1 to end; fails while it still runs.
wait_gone() {
  for _ in $(seq 1 "$2"); do kill -0 "$1" 2>/dev/null || break; sleep 0.2; done
  ! kill -0 "$1" 2>/dev/null
}

# Asks the program (process $1) to stop through its STOP EV command when the queue manager runs, and
# waits up to $2 rounds of 0.2 s for it to end; fails while it still runs.
stop_by_command() {
  if qm_running; then
    printf 'STOP EV' | "$miniqm" put "$qm" HOLVA.ZUNT.COMMAND.QUEUE --format MQSTR >/dev/null || true
    wait_gone "$1" "$2" && return 0
  fi
  ! kill -0 "$1" 2>/dev/null
}

# One MQSC command to the system's command queue, as any application sends it; its replies
# (text, one response per line) on standard output.
ask() {
  local out=$work/reply.bin got=0
  while "$miniqm" get "$qm" "$reply" --raw "$out" >/dev/null 2>&1; do :; done
  printf '%s' "$1" | "$miniqm" put "$qm" HOLVA.ZUNT.COMMAND.QUEUE --format MQSTR --replyto "$reply" >/dev/null
  # The first reply may take a while (the program may be loading); further pieces follow at once.
  local wait=30
  while "$miniqm" get "$qm" "$reply" --wait "$wait" --raw "$out" >/dev/null 2>&1; do
    tr '\0' '\n' <"$out"
    echo
    got=1
    wait=1
  done
  [ "$got" = 1 ] || { echo "no reply to '$1' within 30 s" >&2; return 1; }
}

stored_events() {
  ask "DISPLAY EVSTRMST(\$EVENTS)" | sed -n 's/.*ITEMS(\([0-9]*\)).*/\1/p' | sed -n 1p
}

drained() {
  for q in "${event_queues[@]}"; do
    [ "$("$miniqm" depth "$qm" "$q" | grep -o '[0-9]*' | tail -n 1)" = 0 ] || return 1
  done
}

# Drained queues are not yet stored events (a get counts out of the depth before its unit of work
# commits): the stored count must also stand still.
wait_intake() {
  local before=-1 now
  for _ in $(seq 1 150); do
    if drained; then
      now=$(stored_events)
      [ "$now" = "$before" ] && return 0
      before=$now
    fi
    sleep 0.3
  done
  for q in "${event_queues[@]}"; do "$miniqm" depth "$qm" "$q"; done
  echo "the events were not taken in within 45 s"
  return 1
}
