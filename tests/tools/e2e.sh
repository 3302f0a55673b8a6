#!/usr/bin/env bash
# Runs polmon-host with a plug-in against polmon-platform and checks what both report.
#   e2e.sh CASE BIN_DIR PLUGIN
# Everything listens on 127.0.0.1 with ports the system picks; every wait is bounded, every
# process is stopped by its own id.
set -uo pipefail
case_name=$1
bin=$2
plugin=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
run_name=$case_name
. "$here/runs.sh"
# Does the value match? Read whole first: a "| grep -q" under pipefail may kill its writer (SIGPIPE).
summary_has() { grep -q -- "$3" <<<"$(summary "$1" "$2")"; }
expect_has() { grep -q -- "$2" "$work/$1.out" || fail "$1: no \"$2\""; }

# The Wireshark dissector (tools/wireshark) finds what polmon-frame finds in a capture, frame by
# frame (wireshark_compare.py). With "derive", also in the capture's streams cut into segments of
# a few bytes, with neighbouring segments swapped, and with their frames damaged.
compare_dissector() { # capture, key log or "", derive or ""
  local lua="$bin/../wireshark/hj212.lua" prefix=${1%.pcap} kind
  local -a keys=()
  [ -z "${2:-}" ] || keys=("$2")
  command -v tshark >/dev/null || fail "no tshark (scripts/install-deps.sh installs it)"
  [ -f "$lua" ] || fail "no $lua (built by the polmon_wireshark target)"
  dissector() { python3 "$here/wireshark_compare.py" compare "$bin" "$lua" "$@" >"$work/dissector.txt" 2>&1 ||
    fail "the dissector and polmon-frame differ: $(head -c 3000 "$work/dissector.txt")"; }
  dissector "$1" "${keys[@]}"
  [ "${3:-}" = derive ] || return 0
  python3 "$here/wireshark_compare.py" derive "$1" "$prefix" || fail "cannot derive captures from $1"
  for kind in split reordered damaged; do dissector "$prefix-$kind.pcap" "${keys[@]}"; done
}

# Each side's capture (SIDE.pcap) and key log (SIDE.keys) of a 2025 session whose keys changed:
# polmon-frame explains every frame, decrypting each with the key in force at its time (the
# starting key alone calls some "a wrong key"), at times within the run, an upload's close to its
# QN; Wireshark's reader follows the stream and finds nothing amiss in its TCP.
check_captures() { # starting key, first and last second of the run
  local side wrong
  command -v tshark >/dev/null || fail "no tshark (scripts/install-deps.sh installs it)"
  for side in platform host; do
    [ "$(grep -c '^HJ212-KEY ' "$work/$side.keys")" -ge 3 ] || fail "$side.keys: fewer than 3 keys"
    "$bin/polmon-frame" --json --file "$work/$side.pcap" >"$work/$side-frames.json" 2>"$work/$side-frames.err" ||
      fail "polmon-frame on the $side's capture: $(grep -v '"verdict":"accept"' "$work/$side-frames.json" | head -c 1500) $(cat "$work/$side-frames.err")"
    python3 - "$work/$side-frames.json" "$2" "$3" <<'PY' || fail "the $side's capture read back: see above"
import json, sys, time
frames = [json.loads(line) for line in open(sys.argv[1])]
start, end = int(sys.argv[2]) * 10**6, int(sys.argv[3]) * 10**6
problems = []
enc = [f for f in frames if "encryption" in f]
first_line = min((f["key_log_line"] for f in frames), default=0)
if len(frames) < 50: problems.append(f"{len(frames)} frames")
if len(enc) < 10 or not any(f["key_log_line"] > first_line for f in enc): problems.append("no frames under a changed key")
if len({f["connection"] for f in frames}) < 2 or len({(f["from"], f["to"]) for f in frames}) < 4: problems.append("not both ways of both connections")
for f in frames:
    if any("wrong key" in r for r in f["reasons"]): problems.append(f"frame {f['frame']}: {f['reasons']}")
    if not start <= f["time_us"] <= end: problems.append(f"frame {f['frame']} at {f['time']}, outside the run")
    cn, qn = f["fields"].get("CN", ""), f["fields"].get("QN", "")[:17]
    if cn.startswith("2011 ") and "RF" not in f["fields"] and len(qn) == 17:
        sent = time.mktime(time.strptime(qn[:14], "%Y%m%d%H%M%S")) + int(qn[14:]) / 1000
        if abs(f["time_us"] / 1e6 - sent) > 3: problems.append(f"frame {f['frame']} QN {qn} captured at {f['time']}")
for p in problems[:10]: print(p)
sys.exit(1 if problems else 0)
PY
    wrong=$("$bin/polmon-frame" --key "$1" --file "$work/$side.pcap" | grep -c "a wrong key")
    [ "$wrong" -gt 0 ] || fail "the $side's capture: the starting key read every frame, so no key changed"
    tshark -r "$work/$side.pcap" -qz follow,tcp,ascii,0 >"$work/$side-follow.txt" 2>&1
    grep -q "^Node 0: 127.0.0.1:" "$work/$side-follow.txt" && grep -q "^##0" "$work/$side-follow.txt" ||
      fail "tshark does not follow the $side's capture: $(head -c 600 "$work/$side-follow.txt")"
    # sequence and ack numbers and checksums as a TCP dissector wants them: no segment it calls
    # lost, repeated, out of order or damaged
    tshark -r "$work/$side.pcap" -o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE \
      -Y 'tcp.analysis.flags || tcp.checksum.status == 0 || ip.checksum.status == 0' >"$work/$side-flagged.txt" 2>/dev/null
    [ ! -s "$work/$side-flagged.txt" ] || fail "tshark flags the $side's capture: $(head -c 600 "$work/$side-flagged.txt")"
    compare_dissector "$work/$side.pcap" "$work/$side.keys" "$([ "$side" = host ] && echo derive)"
  done
}

# CASE-rtd: the same run with the station's real-time uploads on from the start (-D rtd=on)
# instead of started by the platform's CN=2011.
host_args=()
if [[ $case_name == *-rtd ]]; then
  host_args=(-D rtd=on)
  case_name=${case_name%-rtd}
fi

# Starts a platform with the given options; sets platform_pid and platform_addr.
start_platform() {
  local name=$1 fd
  shift
  mkfifo "$work/$name.ready"
  exec {fd}<>"$work/$name.ready"
  "$bin/polmon-platform" --name "$name" --ready "$work/$name.ready" --wait 20 "$@" >"$work/$name.out" 2>&1 &
  platform_pid=$!
  pids+=("$platform_pid")
  read -r -t 20 -u "$fd" platform_addr || fail "platform $name not ready"
  exec {fd}<&-
}
start_host() { # name, then host options
  local name=$1
  shift
  "$bin/polmon-host" --plugin "$plugin" "${host_args[@]}" "$@" </dev/null >"$work/$name.out" 2>&1 &
  host_pid=$!
  pids+=("$host_pid")
}
wait_status() { # pid [seconds]: its exit status, or 124 when it runs past the seconds (60)
  local pid=$1 i
  for ((i = 0; i < ${2:-60} * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; wait "$pid" 2>/dev/null; return 124; }
  wait "$pid"
}
stop_host() {
  kill -INT "$host_pid" 2>/dev/null
  wait_status "$host_pid"
  local rc=$?
  [ $rc -eq 0 ] || fail "host exited with $rc"
  expect_has host "stopped after"
  # the real plug-in names its build (POLMON_VERSION is set for the e2e runs only)
  [ -z "${POLMON_VERSION:-}" ] || expect_has host "plug-in .*: polmon $POLMON_VERSION ("
}
# An example station on a pseudo-terminal; the platform opens its peer as a serial line.
pty_run() { # example, then platform options
  local example=$1
  shift
  mkfifo "$work/host.ready"
  exec {fd}<>"$work/host.ready"
  start_host host --ready "$work/host.ready" --port "$example_port" --capture "$work/host.pcap" "$root/examples/$example"
  read -r -t 20 -u "$fd" dev kind peer || fail "host not ready"
  [ "$kind" = pty ] || fail "host port is $kind"
  "$bin/polmon-platform" --name platform --serial "$peer${line_settings:-}" --capture "$work/platform.pcap" "$@" >"$work/platform.out" 2>&1 &
  platform_pid=$!
  pids+=("$platform_pid")
  wait_status "$platform_pid" || fail "platform exited with $?"
  stop_host
  expect platform verdict OK
  # a line is captured between a fixed pair of addresses, both ways, on either side
  local side
  for side in host platform; do
    "$bin/polmon-frame" --file "$work/$side.pcap" >"$work/$side-frames.txt" 2>&1 || fail "polmon-frame on the $side's capture: $(grep -B1 -A3 REJECTED "$work/$side-frames.txt" | head -c 1500)"
    grep -q "^capture: .* 192.0.2.2:10212 -> 192.0.2.1:212, connection 1$" "$work/$side-frames.txt" &&
      grep -q "^capture: .* 192.0.2.1:212 -> 192.0.2.2:10212, connection 1$" "$work/$side-frames.txt" ||
      fail "the $side's capture of the line: $(head -c 600 "$work/$side-frames.txt")"
    compare_dissector "$work/$side.pcap"
  done
}
# The demo station against one platform with the given options; the platform must find no fault.
station_run() {
  start_platform platform "$@"
  start_host host -D city="$platform_addr" "$root/examples/demo_station.lua"
  wait_status "$platform_pid" || fail "platform exited with $?"
  stop_host
  expect platform verdict OK
  expect platform requests 3
  expect platform answered 3
  expect platform "missing replies" 0
  expect platform "bad frames in" 0
  grep -q "^  data frames:.*CN=2011 x[2-9]" "$work/platform.out" || fail "no real-time uploads"
}

case $case_name in
tcp) station_run ;;
split | junk) station_run --misbehave "$case_name" ;;
delay) station_run --misbehave delay=300 ;;
bad-crc | bad-length)
  station_run --misbehave "$case_name"
  expect_has platform "went unanswered, as it should"
  # the station's alarm on a rising BadCrc count (the stand-in plug-in keeps no counters)
  [ "$case_name" != bad-crc ] || [ -z "${POLMON_VERSION:-}" ] || expect_has host "frames with a bad CRC: [1-9]"
  ;;
drop)
  station_run --misbehave drop
  expect platform connections 2
  expect_has host "link down"
  ;;
standard-2017 | standard-2025)
  # Chinese text from the station, in its own version and charset (3020's site name); every duty
  # of the standard's scenario, minute and hourly data at short periods
  start_platform platform --standard "${case_name#standard-}" --periods 2051=1,2061=2 \
    --capture "$work/platform.pcap"
  start_host host -D city="$platform_addr" -D standard="${case_name#standard-}" -D minute=1 -D hour=2 "$root/examples/demo_station.lua"
  wait_status "$platform_pid" || fail "platform exited with $?"
  stop_host
  expect platform verdict OK
  expect platform answered 12
  expect platform "non-ASCII frames" "1, 0 in the wrong charset"
  expect platform "wrong Flag version" 0
  compare_dissector "$work/platform.pcap" "" derive
  ;;
standard-2025-key | standard-2025-key-text)
  # SM4: the demo station, a 2025 station here, sets the key at start and uploads its 2011 frames
  # encrypted (raw bytes, or {0x..} text); the platform decrypts them, checks the CRC over the
  # plain data and would call a plain upload BROKEN. The key shows nowhere in either output (nor
  # do the keys the platform hands out: the 2025 scenario's key exchange, 8 requests).
  key=polmon-e2e-key16
  form=raw
  [[ $case_name == *-text ]] && form=text
  start_platform platform --standard 2025 --key "$key" --cipher-form "$form" --periods 2051=1,2061=2
  start_host host -D city="$platform_addr" -D standard=2025 -D key="$key" -D cipher="$form" -D minute=1 -D hour=2 "$root/examples/demo_station.lua"
  wait_status "$platform_pid" || fail "platform exited with $?"
  stop_host
  expect platform verdict OK
  expect platform answered 15
  expect platform "wrong Flag version" 0
  # the four history requests went out encrypted and reached the script decrypted: it answered them
  expect platform "encrypted out" "4 requests ($( [ "$form" = raw ] && echo raw || echo '{0x..} text' ))"
  summary_has platform "history answers" "^CN=2051 x[1-9]" || fail "history: $(summary platform "history answers")"
  [ -z "${POLMON_VERSION:-}" ] || expect_has host "receive counters city: Accepted=.* Decrypted=4 CutShort=0$"
  want="0 raw, [1-9][0-9]* {0x..} text), 0 not encrypted"
  [ "$form" = text ] || want="[1-9][0-9]* raw, 0 {0x..} text), 0 not encrypted"
  summary_has platform "encrypted in" "^[1-9][0-9]* ($want\$" || fail "encrypted in: $(summary platform "encrypted in")"
  expect_has host "encryption key set"
  expect_has host "CN=2011 .*encrypted on the wire ($( [ "$form" = raw ] && echo raw || echo '{0x..} text' )"
  ! grep -q -- "$key" "$work/host.out" "$work/platform.out" || fail "the key shows in an output"
  ;;
standard-2025-station)
  # The 2025 station (periodic_uploads.lua: 20 factors, so its minute and hourly data go out in
  # packets) with a key against a 2025 platform that drops the link for 2.5 s after 7 s: key
  # exchange, heartbeats, hardware identifiers, a new MN, a pushed key and one of a wrong length.
  key=0123456789ABCDEF
  # Both sides capture the link and log their keys.
  run_from=$(date +%s)
  start_platform platform --standard 2025 --key "$key" --drop-link 7:2.5 --duration 20 \
    --capture "$work/platform.pcap" --key-log "$work/platform.keys" --periods 2051=2,2061=3
  start_host host -D platform="$platform_addr" -D standard=2025 -D key="$key" -D heartbeat=1 -D answer_timeout=2 \
    -D minute=2 -D hour=3 --capture "$work/host.pcap" --key-log "$work/host.keys" "$root/examples/periodic_uploads.lua"
  wait_status "$platform_pid" || fail "platform exited with $?"
  stop_host
  expect platform verdict OK
  expect platform answered 15
  expect platform "key exchange" "1 request answered with NewSK; pushed keys: 1 taken, 1 of a wrong length refused"
  check_captures "$key" "$run_from" "$(($(date +%s) + 1))"
  summary_has platform MN "then [0-9A-F]\{24\} after 1002" || fail "no new MN"
  summary_has platform "hardware ids" "^[2-9] (1001)" || fail "no 1001 at the start and after the drop"
  summary_has platform heartbeats "^[1-9][0-9] " || fail "fewer than 10 heartbeats"
  summary_has platform "link dropped" "^for 2500 ms" || fail "the link was not dropped"
  grep -q "upload CN=2061 .*: [2-9] packets$" "$work/platform.out" || fail "no hourly data in packets"
  # nothing lost: each upload the station kept before the platform's end came again with RF=1,
  # its QN and its DataTime (the platform checks the order: newest first)
  last=$(grep -n "link down" "$work/host.out" | tail -n 1 | cut -d: -f1)
  kept=$(head -n "${last:-0}" "$work/host.out" | sed -n 's/.*kept for resending: \(CN=[0-9]* QN=[0-9]* DataTime=[0-9]*\).*/\1/p' | sort -u)
  [ -n "$kept" ] || fail "nothing was kept while the link was down"
  while read -r upload; do
    grep -q "upload $upload: .*resent (RF=1)" "$work/platform.out" || fail "kept, never resent: $upload"
  done <<<"$kept"
  resent=$(summary platform resends | cut -d' ' -f1)
  [ "${resent:-0}" -ge "$(wc -l <<<"$kept")" ] || fail "resends: $(summary platform resends), kept: $(wc -l <<<"$kept")"
  ;;
standard-2025-other-platform)
  # A platform that answers the station's key request with a 9013 and then sends the key as a
  # 1014 request with the request's QN, and never answers a heartbeat: the station takes that key
  # as a pushed one (9011/9012), and the silent heartbeats make it neither reconnect nor resend.
  key=0123456789ABCDEF
  start_platform platform --standard 2025 --key "$key" --misbehave key-ack,quiet-heartbeat --duration 10 --periods 2051=2,2061=3
  start_host host -D platform="$platform_addr" -D standard=2025 -D key="$key" -D heartbeat=1 -D answer_timeout=2 \
    -D minute=2 -D hour=3 "$root/examples/periodic_uploads.lua"
  wait_status "$platform_pid" || fail "platform exited with $?"
  stop_host
  expect platform verdict OK
  expect platform connections 1
  expect platform "key exchange" "1 request answered 9013; pushed keys: 2 taken, 1 of a wrong length refused"
  summary_has platform heartbeats "^\([5-9]\|[1-9][0-9]\+\) .*, unanswered$" || fail "heartbeats: $(summary platform heartbeats)"
  summary_has platform resends "^0 " || fail "resends: $(summary platform resends)"
  expect_has host "key request acknowledged (9013): waiting for the platform to push a key"
  expect_has host "key pushed by the platform set"
  # until the platform's end closed the link
  ! grep -q "kept for resending\|link back" <<<"$(sed '/link down/q' "$work/host.out")" || fail "the station took the silence for a lost link"
  ;;
pty)
  # the station's port is a pseudo-terminal; the platform opens its peer as a serial line
  example_port=city=pty:9600:8N1
  line_settings=:9600:8N1
  host_args+=(-D city=unused:1)
  pty_run demo_station.lua
  expect platform answered 3
  ;;
serial)
  # the serial example as a new user first runs it: uploads every 60 s until the platform sets
  # 2 s, and the platform counts the uploads of five seconds
  example_port=station=pty
  pty_run serial_station.lua --duration 5
  expect platform answered 3
  ;;
uploads)
  # minute and hourly data from whole-frame templates, periods shortened to 1 s and 2 s
  start_platform platform --duration 5 --periods 2051=1,2061=2
  start_host host -D platform="$platform_addr" -D minute=1 -D hour=2 "$root/examples/periodic_uploads.lua"
  wait_status "$platform_pid" || fail "platform exited with $?"
  stop_host
  expect platform verdict OK
  expect platform answered 3
  grep -q "^  data frames:.*CN=2011 x[2-9].*CN=2051 x[3-9].*CN=2061 x[2-9]" "$work/platform.out" || fail "minute or hourly data missing"
  summary_has platform "period data" "^CN=2051 x[0-9]* (1 s), 0 missing; CN=2061 x[0-9]* (2 s), 0 missing$" ||
    fail "period data: $(summary platform "period data")"
  ;;
tcp-server)
  # the station listens (examples/answer_requests.lua); the platform connects
  mkfifo "$work/host.ready"
  exec {fd}<>"$work/host.ready"
  start_host host --ready "$work/host.ready" -D listen=127.0.0.1:0 "$root/examples/answer_requests.lua"
  read -r -t 20 -u "$fd" dev kind addr || fail "host not ready"
  "$bin/polmon-platform" --name platform --connect "$addr" --scenario "$here/data/common_requests.scn" >"$work/platform.out" 2>&1 &
  platform_pid=$!
  pids+=("$platform_pid")
  wait_status "$platform_pid" || fail "platform exited with $?"
  stop_host
  expect platform verdict OK
  expect platform requests 10
  expect platform answered 10
  expect_has platform "CN=9011 MN=POLMON000000000000000001 CP=QnRtn=8"
  # refused: wrong password, another station's MN, a malformed SystemTime
  expect_has platform "CN=9011 MN=POLMON000000000000000001 CP=QnRtn=3"
  expect_has platform "CN=9011 MN=POLMON000000000000000001 CP=QnRtn=4"
  expect_has platform "CN=9012 MN=POLMON000000000000000001 CP=ExeRtn=3"
  expect_has host "clock set to 20240101000000"
  ;;
two-platforms)
  DEMO_SECONDS=4 POLMON_PLUGIN="$plugin" "$root/scripts/demo.sh" "$bin/.." >"$work/demo.out" 2>&1 || fail "demo failed"
  [ "$(grep -c '^  verdict: *OK' "$work/demo.out")" -eq 2 ] || fail "two OK verdicts wanted"
  expect_has demo "city platform OK, province platform OK, station OK"
  ;;
mute)
  start_platform platform --reply-timeout 1500
  start_host host -D city="$platform_addr" "$here/data/mute_station.lua"
  wait_status "$platform_pid"
  rc=$?
  [ $rc -eq 1 ] || fail "platform exit $rc, wanted 1 (protocol broken)"
  stop_host
  expect platform "missing replies" 4
  expect platform verdict "BROKEN (4 problems)"
  ;;
silent-first)
  # a connection that says nothing, then the station: the station is served, the silent one named
  # (a reply timeout long enough for a station slowed by a sanitizer to come before it)
  start_platform platform --reply-timeout 8000
  exec {silent}<>"/dev/tcp/${platform_addr%:*}/${platform_addr##*:}"
  sleep 1
  start_host host -D city="$platform_addr" "$root/examples/demo_station.lua"
  wait_status "$platform_pid"
  rc=$?
  stop_host
  exec {silent}<&-
  [ $rc -eq 0 ] || fail "platform exit $rc"
  expect platform connections 2
  expect_has platform "the connection from 127.0.0.1:[0-9]* closed: a new one came from"
  # the request the silent link took goes again to the station, which answers every one
  expect platform verdict OK
  expect platform answered 3
  expect_has platform "QN [0-9]* (CN=1062) sent again: the link it went out on never spoke"
  ;;
junk-only)
  # a station that sent only junk is a broken one, not "no station"
  start_platform platform --wait 2
  head -c 300000 /dev/zero | tr '\0' 'x' >"/dev/tcp/${platform_addr%:*}/${platform_addr##*:}"
  wait_status "$platform_pid"
  rc=$?
  [ $rc -eq 1 ] || fail "platform exit $rc, wanted 1 (a broken station)"
  expect_has platform "the station sent no frame within 2 s"
  grep -q "no station came" "$work/platform.out" && fail "junk called no station"
  summary_has platform verdict BROKEN || fail "verdict $(summary platform verdict)"
  start_platform nobody --wait 1
  wait_status "$platform_pid"
  rc=$?
  [ $rc -eq 3 ] || fail "no connection: platform exit $rc, wanted 3"
  expect_has nobody "no station came within 1 s"
  ;;
lifecycle)
  export POLMON_FAKE_LOG="$work/calls.log"
  "$bin/polmon-host" --plugin "$plugin" --cycles 3 --period 20 "$here/data/idle_station.lua" >"$work/host.out" 2>&1 ||
    fail "host exited with $?"
  want=$'create dev\nversion 3\nport dev 1\ninit dev 75\nrefs dev 1\ncollect dev 1\ncleanup dev\ndestroy'
  [ "$(cat "$work/calls.log")" = "$want" ] || fail "calls: $(cat "$work/calls.log")"
  ;;
interrupt)
  export POLMON_FAKE_LOG="$work/calls.log"
  mkfifo "$work/host.ready"
  exec {fd}<>"$work/host.ready"
  start_host host --ready "$work/host.ready" "$here/data/idle_station.lua"
  read -r -t 20 -u "$fd" line || fail "host not ready"
  stop_host
  grep -q "cleanup dev destroy" <<<"$(tail -n 2 "$work/calls.log" | tr '\n' ' ')" || fail "calls: $(cat "$work/calls.log")"
  ;;
script-error)
  export POLMON_FAKE_LOG="$work/calls.log"
  "$bin/polmon-host" --plugin "$plugin" --period 20 "$here/data/bad_script.lua" >"$work/host.out" 2>&1
  rc=$?
  [ $rc -eq 3 ] || fail "host exit $rc, wanted 3"
  expect_has host "bad_script.lua:10: attempt to index a nil value"
  grep -q "cleanup dev destroy" <<<"$(tail -n 2 "$work/calls.log" | tr '\n' ' ')" || fail "calls: $(cat "$work/calls.log")"
  ;;
runaway)
  # A cycle that never returns (line 5 of runaway_station.lua): the end of --duration, SIGTERM
  # and SIGINT each stop it inside the script half a second later, naming the line.
  export POLMON_FAKE_LOG="$work/calls.log"
  script=$here/data/runaway_station.lua
  since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }'; }
  t0=$EPOCHREALTIME
  start_host host --duration 1 "$script"
  wait_status "$host_pid" 10
  rc=$?
  [ $rc -eq 3 ] || fail "--duration 1: host exit $rc, wanted 3"
  [ "$(since "$t0" | cut -d. -f1)" -lt 5 ] || fail "--duration 1 took $(since "$t0") s"
  expect_has host "runaway_station.lua:5: stopped here by the end of --duration 1"
  grep -q "cleanup dev destroy" <<<"$(tail -n 2 "$work/calls.log" | tr '\n' ' ')" || fail "calls: $(cat "$work/calls.log")"
  for sig in TERM INT; do
    : >"$work/host.out" # the last run's "looping" must not count
    start_host host "$script"
    for ((i = 0; i < 200; i++)); do grep -q "script: looping" "$work/host.out" && break; sleep 0.1; done
    t0=$EPOCHREALTIME
    kill -"$sig" "$host_pid"
    wait_status "$host_pid" 10
    rc=$?
    [ $rc -eq 3 ] || fail "SIG$sig: host exit $rc, wanted 3"
    [ "$(since "$t0" | cut -d. -f1)" -lt 3 ] || fail "SIG$sig took $(since "$t0") s"
    expect_has host "runaway_station.lua:5: stopped here by SIG$sig"
  done
  ;;
*) fail "unknown case" ;;
esac
echo "PASS ($case_name)"
