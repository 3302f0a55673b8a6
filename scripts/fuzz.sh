#!/bin/sh
# Long fuzz campaigns: every fuzzer of the fuzz build runs FUZZ_SECONDS (default 600), one after
# the other, growing its corpus in fuzz-corpus/<name>/ (kept between runs, ignored by git) from
# its seeds. Findings land in fuzz-corpus/<name>/findings/. FUZZERS="a_fuzz b_fuzz" runs only those.
# Usage: scripts/fuzz.sh <fuzz build dir>
set -eu
build=${1:-build/fuzz}
seconds=${FUZZ_SECONDS:-600}
root=$(pwd)/fuzz-corpus
list=$build/fuzzers.txt
[ -s "$list" ] || { echo "no fuzzers listed in $list" >&2; exit 1; }
status=0
while read -r name program seeds; do
  case " ${FUZZERS:-$name} " in *" $name "*) ;; *) continue ;; esac
  mkdir -p "$root/$name/corpus" "$root/$name/findings"
  echo "== $name: ${seconds}s"
  # shellcheck disable=SC2086 # seeds: zero or one directory
  if ! "$program" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$root/$name/findings/" "$root/$name/corpus" $seeds >"$root/$name/last.log" 2>&1; then
    echo "$name: FAILED, see $root/$name/last.log and $root/$name/findings/"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec|^stat::new_units_added|^stat::peak_rss_mb' "$root/$name/last.log" | sed "s/^/  /"
done <"$list"
exit $status
