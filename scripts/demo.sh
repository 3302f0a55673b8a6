#!/usr/bin/env bash
# The main job: the demo station runs under polmon-host (the simulated panel, with the plug-in)
# against two polmon-platform instances (a city and a province platform) on loopback, for about
# ten seconds. Readiness comes through FIFOs, nothing sleeps a fixed time, and every process is
# stopped by its own id.
#   scripts/demo.sh [--build] BUILD_DIR   (make demo runs scripts/demo.sh --build build/host)
# --build builds the plug-ins, the simulators and the tools first: one line of progress, the
# whole log in build/demo-build.log (its path and last lines shown when the build fails).
# DEMO_SECONDS changes the length, POLMON_PLUGIN the plug-in, DEMO_MISBEHAVE makes the platforms
# misbehave (e.g. split,junk,bad-crc). DEMO_WEB=1 (make demo-web) gives each platform its web view
# and prints its address; the demo then runs until Ctrl-C unless DEMO_SECONDS is set.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

# One build step, its output into the log; its progress (the "[ 42%]" figures) on one line, in
# place on a terminal, a line at every tenth otherwise (a CI log).
build_step() {
  local what=$1 start status=0
  shift
  start=$(wc -l <"$log")
  { "$@" 2>&1 | tee -a "$log" | {
      local line figure tenth=-1
      if [ -t 1 ]; then printf 'demo: building %s' "$what"; else echo "demo: building $what"; fi
      while IFS= read -r line; do
        [[ $line =~ ^\[\ *([0-9]+)%\] ]] || continue
        figure=${BASH_REMATCH[1]}
        if [ -t 1 ]; then
          printf '\rdemo: building %s [%3d%%]' "$what" "$figure"
        elif [ $((figure / 10)) -ne "$tenth" ]; then
          tenth=$((figure / 10))
          echo "demo: building $what [$figure%]"
        fi
      done
      [ ! -t 1 ] || echo
    }; } || status=$?
  if [ "$status" -ne 0 ]; then
    echo "demo: building $what failed; the whole log is $log; its last lines:" >&2
    tail -n 30 "$log" >&2
    exit "$status"
  fi
  sed -n "$((start + 1)),\$p" "$log" | sed -n '/^Built:/,$p' # the plug-ins' sizes
}

if [ "${1:-}" = --build ]; then
  shift
  mkdir -p "$root/build"
  log=$root/build/demo-build.log
  : >"$log"
  echo "demo: building the plug-ins (host, ARMv5, ARMv7), the simulators and the tools:" \
    "about 10 minutes on a first run on two cores, seconds once built"
  build_step "the plug-ins" make --no-print-directory -C "$root" plugins
  build_step "the simulators and the tools" env -C "$root" cmake --build --preset host
fi

build=$(cd "${1:-build/host}" && pwd)
web=${DEMO_WEB:-}
seconds=${DEMO_SECONDS:-10}
duration=$seconds
[ -z "$web" ] || duration=${DEMO_SECONDS:-} # the web view: until Ctrl-C, or DEMO_SECONDS
plugin=${POLMON_PLUGIN:-$build/lib/libpolmon.so}
misbehave=${DEMO_MISBEHAVE:-}
for exe in "$build/bin/polmon-host" "$build/bin/polmon-platform" "$plugin"; do
  [ -e "$exe" ] || { echo "demo: $exe is missing; build first" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a platform; its address comes back through a FIFO once it listens.
start_platform() {
  local name=$1 fifo="$work/$1.ready" fd addr url
  mkfifo "$fifo"
  exec {fd}<>"$fifo" # opened both ways: neither side blocks on open
  "$build/bin/polmon-platform" --name "$name-platform" --ready "$fifo" ${duration:+--duration "$duration"} \
    ${misbehave:+--misbehave "$misbehave"} ${web:+--web 127.0.0.1:0} &
  pids+=($!)
  if ! read -r -t 20 -u "$fd" addr url; then
    echo "demo: the $name platform did not get ready" >&2
    exit 2
  fi
  exec {fd}<&-
  eval "${name}_addr=\$addr ${name}_url=\$url ${name}_pid=\$!"
}

echo "demo: two platforms, one station, ${duration:-until Ctrl-C}${duration:+ s}"
start_platform city
start_platform province
echo "demo: platforms ready at $city_addr and $province_addr; starting the station"
if [ -n "$web" ]; then
  echo "demo: web view of the city platform:     $city_url"
  echo "demo: web view of the province platform: $province_url"
  [ -n "$duration" ] || echo "demo: open them in a browser; Ctrl-C ends the demo"
  trap : INT # Ctrl-C reaches every process of the demo; the script goes on to their verdicts
fi

"$build/bin/polmon-host" --plugin "$plugin" -D city="$city_addr" -D province="$province_addr" \
  "$root/examples/demo_station.lua" </dev/null &
host_pid=$!
pids+=($host_pid)

# A platform's exit status; a wait cut short by Ctrl-C waits on.
status_of() {
  local rc
  while :; do
    rc=0
    wait "$1" || rc=$?
    if [ "$rc" -gt 128 ] && kill -0 "$1" 2>/dev/null; then continue; fi
    return "$rc"
  done
}
status=0
status_of "$city_pid" || status=$?
city_status=$status
status=0
status_of "$province_pid" || status=$?
province_status=$status

kill -INT "$host_pid" 2>/dev/null || true
status=0
wait "$host_pid" || status=$?
host_status=$status
pids=()

verdict() { [ "$1" -eq 0 ] && echo OK || echo "FAILED ($1)"; }
echo "demo: city platform $(verdict $city_status), province platform $(verdict $province_status), station $(verdict $host_status)"
[ "$city_status" -eq 0 ] && [ "$province_status" -eq 0 ] && [ "$host_status" -eq 0 ]
