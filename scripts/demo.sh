#!/usr/bin/env bash
# The main job: the demo station runs under polmon-host (the simulated panel, with the plug-in)
# against two polmon-platform instances (a city and a province platform) on loopback, for about
# ten seconds. Readiness comes through FIFOs, nothing sleeps a fixed time, and every process is
# stopped by its own id.
#   scripts/demo.sh BUILD_DIR        (make demo runs scripts/demo.sh build/host)
# DEMO_SECONDS changes the length, POLMON_PLUGIN the plug-in, DEMO_MISBEHAVE makes the platforms
# misbehave (e.g. split,junk,bad-crc).
set -euo pipefail

build=$(cd "${1:-build/host}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${DEMO_SECONDS:-10}
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
  local name=$1 fifo="$work/$1.ready" fd addr
  mkfifo "$fifo"
  exec {fd}<>"$fifo" # opened both ways: neither side blocks on open
  "$build/bin/polmon-platform" --name "$name-platform" --ready "$fifo" --duration "$seconds" \
    ${misbehave:+--misbehave "$misbehave"} &
  pids+=($!)
  if ! read -r -t 20 -u "$fd" addr; then
    echo "demo: the $name platform did not get ready" >&2
    exit 2
  fi
  exec {fd}<&-
  eval "${name}_addr=\$addr ${name}_pid=\$!"
}

echo "demo: two platforms, one station, ${seconds} s"
start_platform city
start_platform province
echo "demo: platforms ready at $city_addr and $province_addr; starting the station"

"$build/bin/polmon-host" --plugin "$plugin" -D city="$city_addr" -D province="$province_addr" \
  "$root/examples/demo_station.lua" </dev/null &
host_pid=$!
pids+=($host_pid)

status=0
wait "$city_pid" || status=$?
city_status=$status
status=0
wait "$province_pid" || status=$?
province_status=$status

kill -INT "$host_pid" 2>/dev/null || true
status=0
wait "$host_pid" || status=$?
host_status=$status
pids=()

verdict() { [ "$1" -eq 0 ] && echo OK || echo "FAILED ($1)"; }
echo "demo: city platform $(verdict $city_status), province platform $(verdict $province_status), station $(verdict $host_status)"
[ "$city_status" -eq 0 ] && [ "$province_status" -eq 0 ] && [ "$host_status" -eq 0 ]
