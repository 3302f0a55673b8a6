#!/usr/bin/env bash
# The Windows programs under wine: polmon-platform.exe judges polmon-host.exe running the demo
# station with libpolmon.dll, as a 2017 station and as a 2025 station with a key; both must be OK,
# and polmon-frame.exe must explain the platform's capture as the Linux polmon-frame does; with the
# Linux build, polmon-platform.exe also judges a Linux station over a COM port.
#   wine_e2e.sh EMULATOR WIN_BIN_DIR WIN_PLUGIN [LINUX_BIN_DIR]
# Every wait is bounded; every process is stopped by its own id.
set -uo pipefail
emu=$1
bin=$2
plugin=$3
linux_bin=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/runs.sh"
wait_gone() { # pid seconds: false when it still runs after them
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

# A platform and the demo station against it; the station is stopped by "quit" on its standard
# input (read on a thread of its own on Windows) once the platform has judged it.
station_run() { # run name, platform options..., --, host options...
  run_name=$1
  shift
  local -a popts=() hopts=()
  while [ "$1" != -- ]; do popts+=("$1"); shift; done
  shift
  hopts=("$@")
  rm -f "$work"/*.out "$work/ready" "$work/host.in"
  "$emu" "$bin/polmon-platform.exe" --name platform --ready "$work/ready" --wait 60 --capture "$work/$run_name.pcap" \
    --key-log "$work/$run_name.keys" "${popts[@]}" >"$work/platform.out" 2>&1 &
  local platform_pid=$! addr="" i
  pids+=("$platform_pid")
  for ((i = 0; i < 600; i++)); do
    addr=$(tr -d '\r\n' <"$work/ready" 2>/dev/null)
    [ -z "$addr" ] || break
    sleep 0.1
  done
  [ -n "$addr" ] || fail "platform not ready"
  mkfifo "$work/host.in"
  (cd "$from" && exec "$emu" "$bin/polmon-host.exe" "${plugin_opts[@]}" -D city="$addr" -D minute=1 -D hour=2 "${hopts[@]}" \
    "$script" <"$work/host.in" >"$work/host.out" 2>&1) &
  local host_pid=$! input
  pids+=("$host_pid")
  exec {input}>"$work/host.in"
  wait_gone "$platform_pid" 90 || fail "the platform did not finish"
  wait "$platform_pid" || fail "platform exited with $?"
  echo quit >&"$input"
  exec {input}>&-
  wait_gone "$host_pid" 20 || fail "the station did not stop on quit"
  wait "$host_pid" || fail "the station exited with $?"
  grep -q "stopped after" "$work/host.out" || fail "the station did not stop cleanly"
  expect platform verdict OK
}

# The 2017 station as a test names it (its plug-in, a whole path); the 2025 one as the guide's
# Windows section runs it: the plug-in found beside the program, the script as Windows writes it.
from=$work plugin_opts=(--plugin "$plugin") script=$root/examples/demo_station.lua
station_run standard-2017 --standard 2017 --periods 2051=1,2061=2 --
expect platform "non-ASCII frames" "1, 0 in the wrong charset"
key=polmon-e2e-key16
from=$root plugin_opts=() script='examples\demo_station.lua'
station_run standard-2025-key --standard 2025 --key "$key" --periods 2051=1,2061=2 -- -D standard=2025 -D key="$key"
expect platform "encrypted out" "4 requests (raw)"
! grep -q -- "$key" "$work/host.out" "$work/platform.out" || fail "the key shows in an output"

# The captures explained: by polmon-frame.exe as by the Linux build (line ends apart).
run_name=frame
for capture in standard-2017 standard-2025-key; do
  args=(--file "$work/$capture.pcap") # with its key log beside it: the keys changed during the run
  "$emu" "$bin/polmon-frame.exe" "${args[@]}" >"$work/$capture.win.txt" 2>&1 || fail "polmon-frame.exe on $capture"
  tr -d '\r' <"$work/$capture.win.txt" >"$work/$capture.win" && mv "$work/$capture.win" "$work/$capture.win.txt"
  [ "$(wc -l <"$work/$capture.win.txt")" -gt 50 ] || fail "polmon-frame.exe read few frames of $capture"
  if [ -n "$linux_bin" ]; then
    "$linux_bin/polmon-frame" "${args[@]}" >"$work/$capture.linux.txt" 2>&1 || fail "polmon-frame on $capture"
    diff -u "$work/$capture.linux.txt" "$work/$capture.win.txt" >"$work/$capture.diff.out" ||
      fail "polmon-frame.exe explains $capture otherwise than the Linux build"
  fi
done
[ -n "$linux_bin" ] || echo "no Linux polmon-frame given (POLMON_LINUX_TOOLS): its comparison left out"

# A COM port: polmon-platform.exe opens COM42, which wine maps to the peer of the Linux
# polmon-host's pseudo-terminal, so the Windows serial code runs over a real terminal line.
if [ -n "$linux_bin" ]; then
  run_name=com-port
  mkfifo "$work/host.ready"
  exec {ready}<>"$work/host.ready"
  "$linux_bin/polmon-host" --ready "$work/host.ready" --port station=pty:9600:8N1 -D rtd=on --duration 60 \
    "$root/examples/serial_station.lua" >"$work/host.out" 2>&1 &
  host_pid=$!
  pids+=("$host_pid")
  read -r -t 20 -u "$ready" _ kind peer || fail "the Linux station not ready"
  [ "$kind" = pty ] || fail "the Linux station's port is $kind"
  com=$("$emu" --prefix)/dosdevices/com42
  ln -sfn "$peer" "$com"
  "$emu" "$bin/polmon-platform.exe" --name platform --serial COM42:9600:8N1 --duration 4 >"$work/platform.out" 2>&1
  status=$?
  rm -f "$com"
  [ "$status" = 0 ] || fail "platform exited with $status"
  expect platform station "COM42 9600:8N1, MN POLMON000000000000000001"
  expect platform verdict OK
  kill "$host_pid" 2>/dev/null
  wait "$host_pid" 2>/dev/null
fi
echo "wine e2e: both stations OK, captures explained alike${linux_bin:+, a station on a COM port OK}"
