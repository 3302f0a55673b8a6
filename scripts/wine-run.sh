#!/bin/sh
# Runs a Windows program under wine for the tests: a wine prefix of polmon's own (made once, quietly,
# without the .NET and HTML engines wine would offer to fetch), no debug chatter on stderr.
#   wine-run.sh PROGRAM ARGS...   runs it
#   wine-run.sh --prefix          prints the prefix (made if need be), e.g. to map a COM port in it
set -eu
: "${WINEPREFIX:=${POLMON_WINEPREFIX:-${HOME:-/tmp}/.polmon-wine}}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # tests run side by side: one makes the prefix, the others wait for it
  flock "$WINEPREFIX/.made" sh -c '[ -f "$WINEPREFIX/system.reg" ] || { wineboot --init >/dev/null 2>&1; wineserver -w; }'
fi
if [ "${1:-}" = --prefix ]; then
  echo "$WINEPREFIX"
  exit 0
fi
exec wine "$@"
