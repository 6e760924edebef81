#!/usr/bin/env bash
# The Windows build against a Linux stand-in queue manager, under wine. Builds what it needs (the
# release preset's miniqm, the windows preset's zunt.exe and mqic.dll), starts queue manager
# WINEDEMO under a temporary folder with its events and statistics switched on, checks that
# mqic.dll carries messages both ways, that `zunt.exe -?` prints the usage, then runs
# `zunt.exe -l -m WINEDEMO` in the background as a client (mqic.dll found in
# MQ_INSTALLATION_PATH\bin64, the queue manager through MQSERVER), does a little real work that
# raises events, and asks the program through its command queue what it stored: DISPLAY EVENTS
# must show the events. Then stops everything and removes the temporary folder (kept, and named,
# when a step fails).
#
# Usage: scripts/wine-demo.sh
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
demo_name=wine-demo
# shellcheck source=scripts/demo-steps.sh
. "$src/scripts/demo-steps.sh"
case ${1:-} in
  "") ;;
  -h | --help)
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  *)
    echo "wine-demo: unknown argument '$1'" >&2
    exit 2
    ;;
esac

qm=WINEDEMO
work=$(mktemp -d "${TMPDIR:-/tmp}/zunt-wine-demo.XXXXXX")
export MINIQM_ROOT=$work/miniqm
linux=$src/build/release
windows=$src/build/windows
miniqm=$linux/miniqm/miniqm
prefix=$windows/wineprefix
reply=DEMO.REPLY
event_queues=(SYSTEM.ADMIN.QMGR.EVENT SYSTEM.ADMIN.PERFM.EVENT SYSTEM.ADMIN.CONFIG.EVENT
  SYSTEM.ADMIN.COMMAND.EVENT SYSTEM.ADMIN.STATISTICS.QUEUE)
mkdir -p "$MINIQM_ROOT" "$work/logs" "$work/log" "$work/mq/bin64"

# A Windows program under wine in the build's wine prefix.
wine_run() { "$src/scripts/wine-run.sh" "$prefix" "$@"; }
# A Linux path as the Windows program sees it (wine maps drive Z: to /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

qm_port() { "$miniqm" status "$qm" | sed -n 's/.*port \([0-9]*\).*/\1/p'; }
zunt_pid() {
  local pid
  pid=$(cat "$work/zunt.pid" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

# Stops what the demo started: the program through its STOP EV command (a signal when it does not
# listen), then the queue manager. Runs on every exit.
stop_zunt() {
  local pid
  pid=$(zunt_pid) || return 0
  stop_by_command "$pid" 100 && return 0
  kill -TERM "$pid" 2>/dev/null || true
  sleep 1
  kill -KILL "$pid" 2>/dev/null || true
  return 1
}
failed=0
cleanup() {
  set +e
  stop_zunt >/dev/null 2>&1
  qm_running && "$miniqm" stop "$qm" --now >/dev/null 2>&1
  if [ "$failed" = 0 ]; then
    rm -rf "$work"
  else
    echo "wine-demo: its files are kept in $work" >&2
  fi
}
trap cleanup EXIT

steps=11
n=0
build_linux() {
  cd "$src"
  cmake --preset release
  cmake --build --preset release -j "${WINE_DEMO_JOBS:-$(nproc)}" --target miniqm miniqmd mqm
}

build_windows() {
  cd "$src"
  cmake --preset windows
  cmake --build --preset windows -j "${WINE_DEMO_JOBS:-$(nproc)}" --target zunt mqic mqic_smoke
  # Where IBM MQ's Windows installation keeps its client library.
  cp "$windows/miniqm/mqic.dll" "$work/mq/bin64/"
  wine_run cmd /c exit 0 >/dev/null 2>&1 || true # makes the prefix once
}

# The system's own queues, the demo's reply queue, the events and queue statistics switched on.
start_qm() {
  "$miniqm" create "$qm"
  "$miniqm" start "$qm" --no-fsync
  "$miniqm" mqsc "$qm" <<EOF
DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) MAXMSGL(4194304) DEFPSIST(YES)
DEFINE QLOCAL(HOLVA.ZUNT.COMMAND.QUEUE)
DEFINE QLOCAL($reply)
DEFINE QLOCAL(DEMO.SMOKE)
ALTER QMGR CONFIGEV(ENABLED) CMDEV(ENABLED) LOCALEV(ENABLED) INHIBTEV(ENABLED) PERFMEV(ENABLED) AUTHOREV(ENABLED)
ALTER QMGR STATQ(ON) STATINT(10)
EOF
  "$miniqm" status "$qm"
}

# mqic.dll both ways: what Linux put is read back under wine, what the Windows side put is read on
# Linux; a port where nobody listens fails at once; a channel table on drive C: leads to the
# queue manager.
smoke() {
  local dead out=$work/smoke.bin
  dead=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  printf 'from linux' | "$miniqm" put "$qm" DEMO.SMOKE --format MQSTR
  MQSERVER="SYSTEM.DEF.SVRCONN/TCP/127.0.0.1($(qm_port))" \
    wine_run "$windows/miniqm/mqic_smoke.exe" "$qm" DEMO.SMOKE "from linux" "from windows" "$dead"
  "$miniqm" get "$qm" DEMO.SMOKE --raw "$out"
  [ "$(cat "$out")" = "from windows" ] || { echo "the Linux side read '$(cat "$out")'"; return 1; }
}

usage() {
  local rc=0
  wine_run "$windows/zunt.exe" -? >"$work/usage.txt" 2>&1 || rc=$?
  cat "$work/usage.txt"
  echo "exit code $rc"
  [ "$rc" -eq 2 ] || { echo "expected the usage error's exit code 2"; return 1; }
  grep -q "Usage: ZUNT" "$work/usage.txt"
  grep -q -- "-l  Client connection" "$work/usage.txt"
}

# The program as a client: the library from MQ_INSTALLATION_PATH\bin64 (no other mqic.dll is on
# wine's PATH), the queue manager's address from MQSERVER. Started by bash: wine runs the program
# as this very process, so its process id is the program's.
start_zunt() {
  MQ_INSTALLATION_PATH=$(winpath "$work/mq") MQSERVER="SYSTEM.DEF.SVRCONN/TCP/127.0.0.1($(qm_port))" \
    nohup "$src/scripts/wine-run.sh" "$prefix" "$windows/zunt.exe" -l -m "$qm" -b -L "$(winpath "$work/log")" \
    </dev/null >"$work/zunt.out" 2>&1 &
  local pid=$!
  echo "$pid" >"$work/zunt.pid"
  for _ in $(seq 1 300); do
    if grep -qs "ZUNT Initialised" "$work/log"/ZUNTLog_*; then
      cat "$work/zunt.out" "$work/log"/ZUNTLog_*
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  cat "$work/zunt.out" "$work/log"/ZUNTLog_* 2>/dev/null | tail -n 30
  echo "zunt.exe did not report 'ZUNT Initialised' within 60 s"
  return 1
}

resume_queues() {
  for q in "${event_queues[@]}"; do ask "RESUME EVQ($q)"; done
}

# Real work that raises events: a definition, a queue filled past its depth limit, a put to a
# put-inhibited queue and an open of an unknown queue.
drive_work() {
  "$miniqm" mqsc "$qm" <<EOF
DEFINE QLOCAL(DEMO.ORDERS) MAXDEPTH(3) QDPMAXEV(ENABLED)
DEFINE QLOCAL(DEMO.CLOSED) PUT(DISABLED)
EOF
  for i in 1 2 3 4; do echo "order $i" | "$miniqm" put "$qm" DEMO.ORDERS || true; done
  echo "order" | "$miniqm" put "$qm" DEMO.CLOSED || true
  echo "order" | "$miniqm" put "$qm" DEMO.NO.SUCH.QUEUE || true
}

# DISPLAY EVENTS must show each event the work raised, as the queue manager named it.
display_events() {
  # Without FROM, DISPLAY EVENTS lists up to the program's clock, the second its main loop moves on
  # once a second: events of the last second show once it has moved.
  sleep 2
  ask "DISPLAY EVENTS(*)" | sed '/^$/d' | tee "$work/events.txt"
  local missing=0
  for summary in "Create Q - Queue:DEMO.ORDERS" "Q Depth Full - Queue:DEMO.ORDERS" \
    "Inhibit Put - Queue:DEMO.CLOSED" "Unknown Object Name - Queue:DEMO.NO.SUCH.QUEUE"; do
    if ! grep -q "EVQMGR($qm) .*SUMMARY(.*$summary)" "$work/events.txt"; then
      echo "DISPLAY EVENTS does not show '$summary'"
      missing=1
    fi
  done
  return $missing
}

stop_all() {
  stop_zunt || { echo "zunt.exe did not end on STOP EV"; return 1; }
  cat "$work/zunt.out"
  "$miniqm" stop "$qm"
}

step "build the release preset's miniqm (build/release)" build-linux build_linux
step "build the windows preset's zunt.exe and mqic.dll (build/windows)" build-windows build_windows
step "queue manager $qm under $MINIQM_ROOT, events on" qm start_qm
step "mqic.dll under wine: messages both ways, a closed port, a channel table" smoke smoke
step "zunt.exe -? prints the usage" usage usage
step "zunt.exe -l -m $qm in the background under wine" zunt start_zunt
step "the event and statistics queues resumed" resume resume_queues
step "real work: queues defined, filled, inhibited, unknown" work drive_work
step "the events taken in" intake wait_intake
step "DISPLAY EVENTS shows the events" events display_events
step "zunt.exe and the queue manager stopped" stop stop_all

echo
echo "--- DISPLAY EVENTS(*), answered by zunt.exe under wine"
cat "$work/events.txt"
