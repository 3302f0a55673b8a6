#!/usr/bin/env bash
# The project's fault stations against polmon-platform: examples/fault_station.lua with each
# -D fault=NAME must get the verdict BROKEN with a problem line that names the fault, and the
# sound station OK, on 2017 and on 2025 with a key. Every run has its own platform on a port the
# system picks; the runs go in parallel (FAULTS_JOBS at once, 16 by default), every wait is bounded, every process is stopped by its
# own id.
#   faults.sh BIN_DIR PLUGIN [FAULT...]   (no FAULT: the whole table)
set -uo pipefail
bin=$1
plugin=$2
shift 2
only=" $* "
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
# FAULTS_KEEP=1 keeps the runs' outputs (their directory is printed at the end)
[ -n "${FAULTS_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

# fault          editions   scenario the problem line that names it (grep -E; "-": the verdict is OK;
# "note:" before it: the verdict is OK and a note names it)
# scenario: own (every duty, below), default (the platform's own for the edition) or custom (own without
# the 2025 duties, which the platform adds whatever the scenario); no-station starts
# no station: the verdict must be NO STATION, exit status 3, in the summary and the report
table='
sound            2017,2025  own      -
password         2017,2025  own      refused: QnRtn=3
no-stop          2017,2025  own      kept uploading CN=2011 after 2012 stopped it
accept-zero      2017,2025  own      accepted an invalid RtdInterval=0
old-interval     2017,2025  own      RtdInterval set to 2 s, uploads came every [0-9.]+ s
history-range    2017,2025  own      outside the asked range
no-9012          2017,2025  own      no 9012 for request CN=2051 QN=[0-9]+: the execution result is missing
period-end       2017,2025  own      period.s end
no-9011          2017,2025  own      9012 before 9011 for QN
wrong-version    2017,2025  own      carries Flag=[0-9]+, not a 20(17|25) Flag
late             2017,2025  own      no 9011 for request CN=1062
no-history       2017,2025  own      request CN=2051 QN=[0-9]+ refused: QnRtn=8
no-rf            2025       own      QN [0-9]+ \(CN=20[56]1\) uploaded again without RF=1
no-rf            2017       own      QN [0-9]+ \(CN=20[56]1\) uploaded again: DataTime=[0-9]+
twice            2017,2025  own      record DataTime=[0-9]+ sent twice
early-9012       2017,2025  own      record DataTime=[0-9]+ after the 9012 that ended the answer
no-periods       2017,2025  own      CN=2051: [0-9]+ whole periods .* the station never sent this period data
stop-late        2017,2025  own      kept uploading CN=2011 after 2012 stopped it: QN [0-9]+ was made [0-9]+ ms after
notice-as-request 2017,2025 own      note:notice CN=2012 QN=[0-9]+ answered as a request
data-first       2017,2025  own      data for request CN=1011 QN=[0-9]+ came before its 9011
no-9012-data     2017,2025  own      no 9012 after the data for request CN=1011
change-st        2017,2025  own      carries ST=31, the station.s system code is 32
dead-link        2025       own      a flood of CN=1001
no-station       2017,2025  own      NO STATION
sound            2017,2025  default  -
no-history       2017,2025  default  request CN=2051 QN=[0-9]+ refused: QnRtn=8
refuse-mn        2025       custom   the station refused the new MN
control-bytes    2017,2025  own      the plug-in drops it
no-datatime      2017,2025  own      CN=2011 upload QN [0-9]+ has no readable DataTime \(none\)
bad-qn           2017,2025  own      carries QN=NOTAQN-1, not a time
same-qn          2017,2025  own      QN [0-9]+ \(CN=2011\) uploaded again
new-mn           2017,2025  own      carries MN=POLMON[0-9]+, the station.s MN is
st-first         2017,2025  own      carries ST=91, the station.s system code is 32
'

key=0123456789ABCDEF
minute=2 # the station's minute and hourly periods, shortened for the trial
hour=4

# Every request a platform's acceptance makes of a station, its times the platform's own placeholders (a
# history request over the last hour and the next ten minutes, with records, and one for 2020,
# with none: ExeRtn=100).
scenario() { # edition
  cat <<EOF
request CN=1062 CP=RtdInterval=2
request CN=1011
request CN=2011 # the first upload answers it at once, with its QN
uploads CN=2011 count=3 timeout=9000
pause 1000
request CN=2051 CP=BeginTime={now-1h};EndTime={now+10m} # the station's minute records: 9011, records, 9012 ExeRtn=1
request CN=2061 CP=BeginTime=20200101000000;EndTime=20200102000000 # none: 9011, 9012 ExeRtn=100
request CN=1062 CP=RtdInterval=0 expect=refused
EOF
  [ "$1" = 2025 ] && cat <<EOF
request CN=1014 # a new key pushed
request CN=1002 # a new MN
EOF
  cat <<EOF
request CN=2012
pause 5000 # uploads after the stop show here (two intervals and more)
EOF
}
scenario 2017 >"$work/2017.scn"
scenario 2025 >"$work/2025.scn"

wait_status() { # pid seconds: its exit status, or 124 when it runs past the seconds
  local pid=$1 i
  for ((i = 0; i < $2 * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; wait "$pid" 2>/dev/null; return 124; }
  wait "$pid"
}

# One run: the result line "fault edition OK|FAIL what" in $work/NAME.result.
run() { # fault edition scenario pattern
  local fault=$1 edition=$2 scn=$3 pattern=$4 name=$1-$2-$3 fd addr prc hrc t0=$SECONDS wait=60
  local out=$work/$name platform_args=(--standard "$edition" --periods "2051=$minute,2061=$hour" --report "$work/$name.html") host_args=(-D standard="$edition")
  [ "$scn" = own ] && platform_args+=(--scenario "$work/$edition.scn")
  [ "$scn" = custom ] && platform_args+=(--scenario "$work/2017.scn")
  [ "$fault" = no-station ] && wait=3
  [ "$edition" = 2025 ] && platform_args+=(--key "$key") host_args+=(-D key="$key" -D heartbeat=2 -D answer_timeout=3)
  [ "$fault" = sound ] || host_args+=(-D fault="$fault")
  result() { echo "$fault $edition-$scn $1 $(( SECONDS - t0 )) s${2:+: $2}" >"$out.result"; }
  mkfifo "$out.ready"
  exec {fd}<>"$out.ready"
  "$bin/polmon-platform" --name "$name" --ready "$out.ready" --wait $wait "${platform_args[@]}" >"$out.platform" 2>&1 &
  local platform_pid=$!
  read -r -t 20 -u "$fd" addr || { kill -KILL $platform_pid; result FAIL "platform not ready"; return; }
  exec {fd}<&-
  if [ "$fault" = no-station ]; then # nobody comes: no pass, wherever the verdict shows
    wait_status $platform_pid 20
    prc=$?
    if [ $prc -eq 3 ] && grep -q "^  verdict: *NO STATION$" "$out.platform" && grep -q ">NO STATION</span>" "$work/$name.html"; then
      result OK "NO STATION"
    else
      result FAIL "wanted exit 3 and NO STATION in the summary and the report, got exit $prc, $(sed -n 's/^  verdict: *//p' "$out.platform")"
    fi
    return
  fi
  "$bin/polmon-host" --plugin "$plugin" -D platform="$addr" -D minute=$minute -D hour=$hour "${host_args[@]}" \
    "$root/examples/fault_station.lua" </dev/null >"$out.host" 2>&1 &
  local host_pid=$!
  wait_status $platform_pid 140
  prc=$?
  kill -INT $host_pid 2>/dev/null
  wait_status $host_pid 10
  hrc=$?
  # the problems, one line per cause, under the verdict
  local verdict problems
  verdict=$(sed -n 's/^  verdict: *//p' "$out.platform")
  problems=$(sed -n '/^  verdict:/,$p' "$out.platform" | sed -n 's/^    - //p')
  if [ $hrc -ne 0 ]; then
    result FAIL "the station exited with $hrc"
  elif [ "$pattern" = - ]; then
    # OK, and the history request with records answered with them, the one for 2020 with "no data"
    if [ $prc -ne 0 ] || [ "$verdict" != OK ]; then
      result FAIL "wanted OK, got exit $prc, $verdict"
    elif ! grep -q "^  history answers: *CN=2051 x[1-9][0-9]*\($\|;\)" "$out.platform"; then
      result FAIL "no minute records answered: $(grep "^  history answers:" "$out.platform")"
    elif ! grep -q "CN=9012 .*CP=ExeRtn=100$" "$out.platform"; then
      result FAIL "the request for 2020 not answered ExeRtn=100"
    else
      result OK
    fi
  elif [[ $pattern == note:* ]]; then
    local notes
    notes=$(sed -n '/^  notes:/,/^  [^ ]/p' "$out.platform" | sed -n 's/^    - //p')
    if [ $prc -eq 0 ] && [ "$verdict" = OK ] && grep -Eq -- "${pattern#note:}" <<<"$notes"; then
      result OK "$(grep -Em1 -- "${pattern#note:}" <<<"$notes")"
    else
      result FAIL "wanted OK with a note naming /${pattern#note:}/, got exit $prc, $verdict"
    fi
  elif [ $prc -eq 1 ] && [[ $verdict == BROKEN* ]] && grep -Eq -- "$pattern" <<<"$problems"; then
    result OK "$(grep -Em1 -- "$pattern" <<<"$problems")"
  else
    result FAIL "wanted BROKEN naming /$pattern/, got exit $prc, $verdict"
  fi
}

# rows at once: each mostly waits on its scenario, but a sanitizer build's start-up is slow
jobs=${FAULTS_JOBS:-16}
started=$SECONDS
while read -r fault editions scn pattern; do
  [ -n "$fault" ] || continue
  [ "$only" = "  " ] || [[ $only == *" $fault "* ]] || continue
  for edition in ${editions//,/ }; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    run "$fault" "$edition" "$scn" "$pattern" &
  done
done <<<"$table"
wait
failed=0
for f in "$work"/*.result; do
  [ -e "$f" ] || { echo "FAIL: no row ran"; exit 1; }
  read -r fault edition what rest <"$f"
  echo "$what  $fault $edition $rest"
  if [ "$what" = FAIL ]; then
    failed=1
    for o in "$work/$fault-$edition".{platform,host}; do echo "---- $(basename "$o")"; tail -n 40 "$o"; done
  fi
done
echo "the table took $(( SECONDS - started )) s${FAULTS_KEEP:+; outputs in $work}"
exit $failed
