#!/usr/bin/env bash
# The system's main job on the stand-in queue manager, in one command. Builds the release preset if
# needed, makes and starts queue manager ZUNTDEMO (under $MINIQM_ROOT, by default in the user's
# cache directory, never in the source tree), switches its events and queue statistics on, starts
# zunt in the background against the stand-in's MQ library, does a little real work that raises
# events, then asks the system through its command queue what it stored and prints the replies.
# A second run reuses the queue manager and shows the stored history grown.
#
# Usage: scripts/demo.sh [--keep | --clean]
#   --keep   leave the queue manager and zunt running afterwards (and say how to stop them)
#   --clean  stop everything the demo started and remove everything it made
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
demo_name=demo
# shellcheck source=scripts/demo-steps.sh
. "$src/scripts/demo-steps.sh"

mode=run
for arg in "$@"; do
  case $arg in
    --keep) mode=keep ;;
    --clean) mode=clean ;;
    -h | --help)
      sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "demo: unknown argument '$arg' (use --keep, --clean or nothing)" >&2
      exit 2
      ;;
  esac
done

qm=ZUNTDEMO
demo_root=${XDG_CACHE_HOME:-$HOME/.cache}/zunt-demo
export MINIQM_ROOT=${MINIQM_ROOT:-$demo_root/miniqm}
mkdir -p "$MINIQM_ROOT"
MINIQM_ROOT=$(cd "$MINIQM_ROOT" && pwd -P)
case "$MINIQM_ROOT/" in
  "$(cd "$src" && pwd -P)/"*)
    echo "demo: MINIQM_ROOT ($MINIQM_ROOT) lies inside the source tree; choose a folder outside it" >&2
    exit 2
    ;;
esac
# The program's files (log folder, output, start-up script, the steps' logs) beside the queue
# manager's own folder.
work=$MINIQM_ROOT/$qm.zunt
build=$src/build/release
miniqm=$build/miniqm/miniqm
zunt=$build/zunt
reply=DEMO.REPLY
event_queues=(SYSTEM.ADMIN.QMGR.EVENT SYSTEM.ADMIN.PERFM.EVENT SYSTEM.ADMIN.CONFIG.EVENT
  SYSTEM.ADMIN.COMMAND.EVENT SYSTEM.ADMIN.STATISTICS.QUEUE)

# The pid of the program the demo started, while that process still runs it (a pid left from
# before a reboot may belong to another program by now).
zunt_pid() {
  local pid
  pid=$(cat "$work/zunt.pid" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && grep -qa -- "$zunt" "/proc/$pid/cmdline" 2>/dev/null && echo "$pid"
}

# Stops the program through its own STOP EV command, or with a signal when it does not listen.
stop_zunt() {
  local pid
  pid=$(zunt_pid) || return 0
  stop_by_command "$pid" 150 && return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait_gone "$pid" 150
}

if [ "$mode" = clean ]; then
  if [ -x "$miniqm" ]; then
    stop_zunt || true
    "$miniqm" stop "$qm" --now >/dev/null 2>&1 || true
    "$miniqm" delete "$qm" >/dev/null 2>&1 || true
  elif pid=$(zunt_pid); then
    kill -TERM "$pid" 2>/dev/null || true
  fi
  rm -rf "$work" "$MINIQM_ROOT/$qm"
  # The default root goes too when nothing else lives there.
  rmdir "$MINIQM_ROOT" "$demo_root" 2>/dev/null || true
  echo "demo: removed queue manager $qm and the program's files under $MINIQM_ROOT"
  exit 0
fi

mkdir -p "$work/logs" "$work/log"
# Nine steps, and the stop as a tenth unless --keep leaves everything running.
steps=9
[ "$mode" = keep ] || steps=10
n=0

build_release() {
  cd "$src"
  cmake --preset release
  cmake --build --preset release -j "$(nproc)" --target zunt miniqm miniqmd mqm mqic
}

start_qm() {
  [ -f "$MINIQM_ROOT/$qm/qm.ini" ] || "$miniqm" create "$qm"
  qm_running || "$miniqm" start "$qm"
  "$miniqm" status "$qm"
}

# The system's own queues as a user defines them (see the README), the demo's reply queue, and the
# queue manager's event and statistics switches.
configure_qm() {
  local mqsc=$work/configure.mqsc
  : >"$mqsc"
  "$miniqm" depth "$qm" HOLVA.ZUNT.DATA.QUEUE >/dev/null 2>&1 ||
    echo "DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) MAXMSGL(4194304) DEFPSIST(YES)" >>"$mqsc"
  "$miniqm" depth "$qm" HOLVA.ZUNT.COMMAND.QUEUE >/dev/null 2>&1 ||
    echo "DEFINE QLOCAL(HOLVA.ZUNT.COMMAND.QUEUE)" >>"$mqsc"
  "$miniqm" depth "$qm" "$reply" >/dev/null 2>&1 || echo "DEFINE QLOCAL($reply)" >>"$mqsc"
  # Events outlive a restart of the queue manager while the program is down.
  for q in "${event_queues[@]}"; do echo "ALTER QLOCAL($q) DEFPSIST(YES)" >>"$mqsc"; done
  cat >>"$mqsc" <<EOF
ALTER QMGR CONFIGEV(ENABLED) CMDEV(ENABLED) LOCALEV(ENABLED) INHIBTEV(ENABLED) PERFMEV(ENABLED) AUTHOREV(ENABLED)
ALTER QMGR STATQ(ON) STATINT(10)
SET AUTHREC OBJTYPE(QMGR) PRINCIPAL('demo.intruder') AUTHADD(CONNECT)
EOF
  "$miniqm" mqsc "$qm" <"$mqsc"
}

# A start-up script whose event hook prints a line for each event as it arrives (the other hooks
# do nothing).
write_script() {
  cat >"$work/zunt.vdr" <<'EOF'
* The demo's start-up script: one line on the program's output per event stored.
func ZUNTEvent()
  print "event hook:", event.summary
endfunc
func ZUNTStatQ()
endfunc
func ZUNTStatChl()
endfunc
func ZUNTStatMQI()
endfunc
func ZUNTAcctMQI()
endfunc
func ZUNTAcctQ()
endfunc
func ZUNTConnected()
endfunc
func ZUNTDisconnected()
endfunc
func ZUNTRetryConnect()
endfunc
func ZUNTEnding()
endfunc
func ZUNTAlertExpire()
endfunc
EOF
}

# Whether this run of the program wrote the text, on its output or in its log.
said() { cat "$work/zunt.out" "$(ls "$work"/log/ZUNTLog_* 2>/dev/null | tail -n 1)" 2>/dev/null | grep -q "$1"; }

# The lines the start-up script's event hook printed, in order, each once (output and log).
hook_lines() {
  cat "$work/zunt.out" "$(ls "$work"/log/ZUNTLog_* 2>/dev/null | tail -n 1)" 2>/dev/null |
    sed -n 's/.*\(event hook:.*\)/\1/p' | awk '!seen[$0]++'
}

launch() {
  : >"$work/zunt.out"
  MQM_DLL_PATH=$build/miniqm nohup "$zunt" -m "$qm" -b -L "$work/log" "$@" </dev/null >>"$work/zunt.out" 2>&1 &
  echo $! >"$work/zunt.pid"
  local pid=$!
  for _ in $(seq 1 300); do
    grep -qs "ZUNT Initialised" "$work/log"/ZUNTLog_* && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.2
  done
  echo "zunt did not report 'ZUNT Initialised' within 60 s"
  return 1
}

# The program in the background with its log folder beside the queue manager; with the demo's
# start-up script when this build loads one, else without it.
start_zunt() {
  if pid=$(zunt_pid); then
    echo "zunt runs already (pid $pid)"
    return 0
  fi
  write_script
  rm -f "$work/script.state"
  if launch -f "$work/zunt.vdr"; then
    if said "Loading VEDRA Script"; then
      echo loaded >"$work/script.state"
    else
      echo "this build loads no start-up script" >"$work/script.state"
    fi
  else
    cat "$work/zunt.out"
    said "Loading VEDRA Script" || return 1
    echo "the start-up script did not load: going on without the event hook" | tee "$work/script.state"
    launch
  fi
  cat "$work/zunt.out"
}

# The system's event and statistics queues resumed (the queues it adds at its first start wait
# suspended until told).
resume_queues() {
  for q in "${event_queues[@]}"; do ask "RESUME EVQ($q)"; done
}

history_before() {
  local count last
  count=$(stored_events)
  echo "$count" >"$work/history.start"
  # Empty when no earlier run of the demo got as far as counting them.
  last=$(cat "$work/history.end" 2>/dev/null || true)
  echo "$last" >"$work/history.prev"
  echo "stored events now $count, at the end of the last run ${last:-(no last run)}"
  # Everything the last run stored must have been loaded back from the data queue.
  [ "${count:-0}" -ge "${last:-0}" ]
}

# Real work on the queue manager that raises events: definitions and changes, a queue filled past
# its depth limit, a put to a put-inhibited queue, an open of an unknown queue and a client open by
# a user without authority; then the statistics interval closed at once.
drive_work() {
  # A queue full event switches the queue's full events off (as IBM MQ does): each run turns them on.
  "$miniqm" mqsc "$qm" <<EOF
DEFINE QLOCAL(DEMO.ORDERS) MAXDEPTH(5) QDPMAXEV(ENABLED) REPLACE
ALTER QLOCAL(DEMO.ORDERS) DESCR('orders of the demo')
DEFINE QLOCAL(DEMO.CLOSED) PUT(DISABLED) REPLACE
CLEAR QLOCAL(DEMO.ORDERS)
EOF
  for i in 1 2 3 4 5 6; do echo "order $i" | "$miniqm" put "$qm" DEMO.ORDERS || true; done
  echo "order" | "$miniqm" put "$qm" DEMO.CLOSED || true
  echo "order" | "$miniqm" put "$qm" DEMO.NO.SUCH.QUEUE || true
  echo "order" | "$miniqm" put "$qm" DEMO.ORDERS --user demo.intruder || true
  echo "RESET QMGR TYPE(STATISTICS)" | "$miniqm" mqsc "$qm"
}

show_replies() {
  local shown=$work/replies.txt
  : >"$shown"
  # Without FROM, DISPLAY EVENTS lists up to the program's clock, the second its main loop moves on
  # once a second: events of the last second show once it has moved.
  sleep 2
  for command in "DISPLAY EVENTS(*)" "DISPLAY EVSTRMST(*)" "DISPLAY EVQ(*)" "DISPLAY STATQ(*)"; do
    echo "--- $command" >>"$shown"
    ask "$command" | sed '/^$/d' >>"$shown"
  done
  stored_events >"$work/history.end"
}

step "build the release preset (build/release)" build build_release
step "queue manager $qm under $MINIQM_ROOT" qm start_qm
step "its events, queue statistics and the system's queues" configure configure_qm
step "zunt in the background (log folder $work/log)" zunt start_zunt
step "the event and statistics queues resumed" resume resume_queues
step "the stored history loaded back from the data queue" history history_before
mark=$(hook_lines | wc -l)
step "real work: queues defined, filled, inhibited, unknown, unauthorised" work drive_work
step "the events taken in" intake wait_intake
step "the system asked through its command queue" ask show_replies

echo
cat "$work/replies.txt"
echo
echo "--- lines the start-up script's event hook printed as the events arrived"
if grep -q loaded "$work/script.state" 2>/dev/null; then
  hook_lines | tail -n +"$((mark + 1))" | grep . || echo "(none)"
else
  echo "(none: $(cat "$work/script.state" 2>/dev/null || echo "no start-up script"))"
fi
echo
start=$(cat "$work/history.start")
end=$(cat "$work/history.end")
last=$(cat "$work/history.prev")
if [ -n "$last" ]; then
  echo "History: $start events stored when this run began (the last run ended with $last), $end now."
  [ "$last" -gt 0 ] && echo "The data queue kept the history across the restart: it grew from $last to $end."
else
  echo "History: $start events stored when this run began (the first run of the demo), $end now."
fi
[ "${end:-0}" -gt "${start:-0}" ] || { echo "demo: the stored history did not grow" >&2; exit 1; }

if [ "$mode" = keep ]; then
  echo
  # The queue manager stops only once the program has ended: stopped at once, it would be
  # quiescing before the program reads its STOP EV.
  pid=$(zunt_pid || echo '?')
  echo "Left running: queue manager $qm and zunt (pid $pid). To stop them (the second line waits for zunt's end):"
  echo "  printf 'STOP EV' | MINIQM_ROOT=$MINIQM_ROOT $miniqm put $qm HOLVA.ZUNT.COMMAND.QUEUE --format MQSTR"
  echo "  while kill -0 $pid 2>/dev/null; do sleep 1; done"
  echo "  MINIQM_ROOT=$MINIQM_ROOT $miniqm stop $qm"
  echo "or remove everything the demo made: scripts/demo.sh --clean"
  exit 0
fi
stop_all() {
  stop_zunt
  "$miniqm" stop "$qm"
}
step "zunt and the queue manager stopped (scripts/demo.sh --clean removes them)" stop stop_all
