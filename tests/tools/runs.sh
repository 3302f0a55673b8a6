# What the end-to-end runs share, sourced: a work folder removed at the end with every process
# put in `pids`, `fail` showing the runs' outputs (*.out), and the summary
# readers. `run_name` names the run that failed.
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL (${run_name:-run}): $*"
  for f in "$work"/*.out; do [ -e "$f" ] && { echo "---- $(basename "$f")"; tail -n 60 "$f"; }; done
  exit 1
}
# The value after "label:" in a summary; a Windows program's line ends taken off.
summary() { grep -m1 "^  $2:" "$work/$1.out" | tr -d '\r' | sed "s/^  $2: *//"; }
expect() { # file label value
  local got
  got=$(summary "$1" "$2")
  [ "$got" = "$3" ] || fail "$1 $2: wanted \"$3\", got \"$got\""
}
