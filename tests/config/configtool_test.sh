#!/bin/sh
# polmon-config on a sample station: write, print back, and refuse bad input without leaving a file.
# usage: configtool_test.sh <polmon-config> <data dir> <work dir> [emulator: runs a cross-built tool]
set -u
tool=$1
data=$2
work=$3
emulator=${4:-}
# the tool, run by the emulator when there is one
run_tool() { $emulator "$tool" "$@"; }
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
rm -rf "$work" && mkdir -p "$work" || fail "cannot make $work"

run_tool write "$data/station.txt" "$work/station.bin" || fail "write of the sample"
run_tool print "$work/station.bin" >"$work/printed.txt" || fail "print of the sample"
diff -u "$data/station.printed.txt" "$work/printed.txt" || fail "print differs from the expected text"
run_tool write "$work/printed.txt" "$work/again.bin" || fail "write of the printed text"
cmp "$work/station.bin" "$work/again.bin" || fail "printed text writes other bytes"
run_tool write - - <"$data/station.txt" >"$work/piped.bin" || fail "write from stdin to stdout"
cmp "$work/station.bin" "$work/piped.bin" || fail "stdin/stdout write differs"
run_tool print - <"$work/station.bin" | diff -u "$data/station.printed.txt" - || fail "print from stdin differs"
# A file name in Chinese, written over and read back (UTF-8 names on every system).
run_tool write "$data/station.txt" "$work/站点.bin" && run_tool write "$data/station.txt" "$work/站点.bin" ||
  fail "write to a file named in Chinese"
run_tool print "$work/站点.bin" | diff -u "$data/station.printed.txt" - || fail "print of a file named in Chinese differs"

# Bad input: non-zero exit, a message naming file, line and field; the existing output stays as it was.
cp "$work/station.bin" "$work/keep.bin"
if run_tool write "$data/bad.txt" "$work/keep.bin" 2>"$work/err.txt"; then fail "bad input accepted"; fi
grep -q "bad.txt: line 4: row: field 'st'" "$work/err.txt" || fail "unclear message: $(cat "$work/err.txt")"
cmp "$work/station.bin" "$work/keep.bin" || fail "failed write touched the output"
if run_tool write "$data/bad.txt" "$work/new.bin" 2>/dev/null; then fail "bad input accepted"; fi
[ ! -e "$work/new.bin" ] || fail "failed write left an output file"
leftovers=$(ls "$work" | grep -c '\.bin\.') || true
[ "$leftovers" = 0 ] || fail "temporary files left: $(ls "$work")"

# A factor code the standard's tables do not have: written all the same, with a warning naming the nearest code.
printf 'param 0 5\nrow group=1 st=32 factor=w0118 name=x datatype=2 factortype=1 rw=0\nrow group=1 st=32 factor=011 name=y datatype=2 factortype=1 rw=0\n' >"$work/typo.txt"
run_tool write "$work/typo.txt" "$work/typo.bin" 2>"$work/warn.txt" || fail "a row with an unknown factor code was refused"
grep -q "row 1: factor 'w0118' is not a code of the standard's tables; nearest known: w01018 COD" "$work/warn.txt" || fail "no warning: $(cat "$work/warn.txt")"
! grep -q "row 2" "$work/warn.txt" || fail "a 2005 code warned about: $(cat "$work/warn.txt")"
# Two digits swapped: the code of the same kind they spell, and a packet limit no packet fits in.
printf 'param 2 3\nrow group=1 st=31 factor=a34031 name=x datatype=2 factortype=1 rw=0\n' >"$work/typo2.txt"
run_tool write "$work/typo2.txt" "$work/typo2.bin" 2>"$work/warn2.txt" || fail "an unworkable parameter was refused"
grep -q "nearest known: a34013 " "$work/warn2.txt" || fail "not the swapped digits' code: $(cat "$work/warn2.txt")"
grep -q "warning: param 2 3: a packet limit of 3 bytes is smaller than" "$work/warn2.txt" || fail "param 2 3 not warned: $(cat "$work/warn2.txt")"

if run_tool write "$data/missing.txt" "$work/x.bin" 2>/dev/null; then fail "missing input accepted"; fi
if run_tool write "$data/station.txt" "$work/no/such/dir/x.bin" 2>/dev/null; then fail "unwritable output accepted"; fi
: >"$work/empty.bin"
if run_tool print "$work/empty.bin" 2>/dev/null; then fail "empty configuration printed"; fi
run_tool >/dev/null 2>&1
[ $? = 2 ] || fail "usage error is not exit 2"
echo "polmon-config: all checks passed"
