#!/bin/sh
# Runs a Windows program under wine in a wine prefix of its own (the first argument, a folder under
# the build folder), so that no test touches the user's ~/.wine. CMake runs every test executable
# of the windows preset through this script. The prefix is made once, under a lock, because ctest
# starts many programs at the same moment.
set -e
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No dialogs offering to install wine's .NET and HTML engines: a console program needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
wine=wine
command -v wine >/dev/null 2>&1 || wine=/usr/lib/wine/wine64
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    [ -f "$prefix/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1
    wineserver -w 2>/dev/null || true
  ) 9>"$prefix.lock"
fi
exec "$wine" "$@"
