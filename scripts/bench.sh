#!/usr/bin/env bash
# Writes BENCHMARKS.md: instructions per received byte under callgrind (stable on a busy machine),
# Google Benchmark timings as ratios within one run, latency, idle CPU, script command times,
# memory per device, polmon-frame on generated station logs, a 9 KiB upload sent as packets, the
# commissioning page's memory over a day and CPU at one frame a second (BENCH_WEB_SECONDS long,
# default 60), tshark over 10 MB captures with the Wireshark dissector, and the stripped sizes of
# the three libraries.
#   scripts/bench.sh BUILD_DIR [OUT]   (make bench runs scripts/bench.sh build/host BENCHMARKS.md)
set -euo pipefail
build=$(cd "${1:-build/host}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
out=${2:-$root/BENCHMARKS.md}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
trap 'echo "bench.sh: line $LINENO failed" >&2' ERR

# Instructions per byte of one stream kind: callgrind collects the receive passes only.
ipb() {
  valgrind --tool=callgrind --collect-atstart=no '--toggle-collect=HJ::HJ212_system::_receive_pass*' \
    --callgrind-out-file="$tmp/cg.$1" "$build/bin/recv_cost" "$1" \
    >"$tmp/out.$1" 2>"$tmp/err.$1"
  local bytes total
  bytes=$(awk '{print $2}' "$tmp/out.$1")
  total=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$tmp/err.$1")
  awk -v t="$total" -v b="$bytes" 'BEGIN { printf "%.1f", t / b }'
}

for k in valid noise dense crafted byte-drained byte-pass valid-keyed encrypted crafted-keyed crafted-cipher crafted-follow held-spans starts-before headers-before; do ipb "$k" >"$tmp/ipb.$k"; done
# SM4 alone: instructions per byte of encrypting 1 KiB regions.
valgrind --tool=callgrind --collect-atstart=no '--toggle-collect=HJ::Sm4::encrypt_ecb(*' \
  --callgrind-out-file="$tmp/cg.sm4" "$build/bin/recv_cost" sm4 >"$tmp/out.sm4" 2>"$tmp/err.sm4"
sm4_ipb=$(awk -v t="$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$tmp/err.sm4")" -v b="$(awk '{print $2}' "$tmp/out.sm4")" 'BEGIN { printf "%.1f", t / b }')

# Instructions of one "Send" of a 9 KiB 2025 upload, as packets or as one frame (the commands only).
send_cost() {
  valgrind --tool=callgrind --collect-atstart=no '--toggle-collect=HJ::HJ212_system::execute_device_cmd*' \
    --callgrind-out-file="$tmp/cg.send.$1" "$build/bin/recv_bench" --send "$1" >"$tmp/out.send.$1" 2>"$tmp/err.send.$1"
  local calls total
  calls=$(awk '{print $2}' "$tmp/out.send.$1")
  total=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$tmp/err.send.$1")
  awk -v t="$total" -v c="$calls" 'BEGIN { printf "%.0f", t / c }'
}
send_packets=$(send_cost packets)
send_whole=$(send_cost whole)
"$build/bin/recv_bench" --benchmark_format=json --benchmark_min_time=0.5 >"$tmp/gb.json" 2>/dev/null
"$build/bin/recv_bench" --report >"$tmp/report.md"
"$build/bin/damage_property" "${BENCH_DAMAGE_TRIALS:-1000000}" >"$tmp/damage.md"
# The plug-in's scanner against polmon-frame and polmon-platform on random keyed streams.
"$build/bin/keyed_differential" "${BENCH_DIFFERENTIAL_FRAMES:-1000000}" >"$tmp/differential.md" 2>"$tmp/differential.err" || true

# Bytes per second of a Google Benchmark case, by name.
bps() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print([b["bytes_per_second"] for b in d["benchmarks"] if b["name"]==sys.argv[2]][0])' "$tmp/gb.json" "$1"; }
crc=$(bps BM_TableCrc)
case_of() { case $1 in plugin) echo BM_PluginReceive/manual_time ;; *) echo "BM_ReceivePass/kind:$1" ;; esac; }
ratio() { awk -v a="$(bps "$(case_of "$1")")" -v c="$crc" 'BEGIN { printf "%.2f", a / c }'; }
mbs() { awk -v a="$(bps "$(case_of "$1")")" 'BEGIN { printf "%.1f", a / 1e6 }'; }
# Instructions of the bench port's own ReadData per one-byte read (a port cost the rows include).
# Read from a file: awk stops at its line, which in a pipe would end callgrind_annotate by SIGPIPE.
callgrind_annotate "$tmp/cg.byte-drained" >"$tmp/annotate.byte-drained" 2>/dev/null || true
port_ipr=$(awk -v b="$(awk '{print $2}' "$tmp/out.byte-drained")" '/StreamPort::ReadData/ { gsub(",", "", $1); printf "%.1f", $1 / b; exit }' \
  "$tmp/annotate.byte-drained")

size_of() { # stripped size of a library, or "not built"
  if [ -f "$1" ]; then
    local s="$tmp/stripped"; cp "$1" "$s"; "$2" "$s"; stat -c %s "$s"
  else echo "not built"; fi
}

# polmon-frame on a station log of N lines of frames (one in ten with a wrong CRC, 128 bytes a
# line: 80,000 lines make 10 MB): CPU seconds (user + system), best of three.
frame_log() {
  awk -v n="$1" -v good='##0101QN=20160801085857223;ST=32;CN=1062;PW=100000;MN=010000A8900016F000169DC0;Flag=5;CP=&&RtdInterval=30&&1C80' 'BEGIN {
    bad = substr(good, 1, length(good) - 4) "0000"
    for (i = 0; i < n; i++)
      printf "%02d:%02d:%02d.%03d RX %s\n", int(i / 3600000) % 24, int(i / 60000) % 60, int(i / 1000) % 60, i % 1000, (i % 10 == 9 ? bad : good)
  }' >"$tmp/log.$1"
}
frame_cpu() {
  local best="" t
  for _ in 1 2 3; do
    t=$( { TIMEFORMAT='%U %S'; time "$build/bin/polmon-frame" --file "$tmp/log.$1" >/dev/null || true; } 2>&1 | awk '{ print $1 + $2 }')
    best=$(awk -v a="$t" -v b="${best:-$t}" 'BEGIN { print (a < b ? a : b) }')
  done
  echo "$best"
}
frame_rows=""
for n in 10000 80000; do
  frame_log "$n"
  mb=$(awk -v b="$(stat -c %s "$tmp/log.$n")" 'BEGIN { printf "%.2f", b / 1e6 }')
  cpu=$(frame_cpu "$n")
  echo "$cpu" >"$tmp/frame.$n"
  frame_rows+="| $(echo "$n" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta') lines, $mb MB | $cpu | $(awk -v c="$cpu" -v m="$mb" 'BEGIN { printf "%.3f", c / m }') |"$'\n'
done
frame_ratio=$(awk -v a="$(cat "$tmp/frame.80000")" -v b="$(cat "$tmp/frame.10000")" 'BEGIN { printf "%.1f", (b > 0 ? a / b : 0) }')
# polmon-frame's work on the 10 MB log against the plug-in's scanner over the same bytes, in one run.
frame_speed=$("$build/bin/frame_speed" 80000 2>&1 || true)

valid=$(cat "$tmp/ipb.valid")
encrypted=$(cat "$tmp/ipb.encrypted")
{
  echo "# Benchmarks"
  echo
  echo "Written by \`make bench\` on $(date -u '+%Y-%m-%d %H:%M UTC'); $(uname -m), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)."
  echo "Instructions are callgrind counts of the receive passes (port reads included) divided by the bytes received;"
  echo "times are Google Benchmark CPU-time figures of one run, compared only as ratios."
  echo
  echo "## Receive path"
  echo
  echo "| stream | target | instructions per byte | MB/s | vs table CRC |"
  echo "|---|---|---|---|---|"
  echo "| through the loaded plug-in, 1 KiB frames, 512-byte reads, vs a table CRC over the same data | ratio >= 0.9 | | $(mbs plugin) | $(ratio plugin) |"
  echo "| valid frames with 10% noise (1 KiB frames, 512-byte reads, in-process) | <= 9 | $valid | $(mbs 0) | $(ratio 0) |"
  echo "| plain noise (no \"#\") | | $(cat "$tmp/ipb.noise") | $(mbs 1) | $(ratio 1) |"
  echo "| noise dense with \"##\" | <= 20 | $(cat "$tmp/ipb.dense") | $(mbs 2) | $(ratio 2) |"
  echo "| nested length-matching \"##\" headers | <= 3x valid ($(awk -v v="$valid" 'BEGIN{printf "%.1f", 3*v}')) | $(cat "$tmp/ipb.crafted") | $(mbs 3) | $(ratio 3) |"
  echo "| 1-byte reads drained together | <= 60 | $(cat "$tmp/ipb.byte-drained") | $(mbs 4) | $(ratio 4) |"
  echo "| 1-byte reads one per pass | <= 300 | $(cat "$tmp/ipb.byte-pass") | $(mbs 5) | $(ratio 5) |"
  echo "| key set: valid frames as above (plain) | as without key | $(cat "$tmp/ipb.valid-keyed") | $(mbs 6) | $(ratio 6) |"
  echo "| key set: encrypted 1 KiB uploads (raw ciphertext, CN 2011) with 10% noise | | $encrypted | $(mbs 7) | $(ratio 7) |"
  echo "| key set: nested length-matching \"##\" headers | <= 3x encrypted ($(awk -v v="$encrypted" 'BEGIN{printf "%.1f", 3*v}')) | $(cat "$tmp/ipb.crafted-keyed") | $(mbs 8) | $(ratio 8) |"
  echo "| key set: crafted against decryption (followed 10011-byte spans of 1 KiB data-command spans) | <= 3x encrypted | $(cat "$tmp/ipb.crafted-cipher") | $(mbs 9) | $(ratio 9) |"
  echo "| key set: crafted against following (data-command headers, each announced end another's \"\\r\\n\") | <= 3x encrypted | $(cat "$tmp/ipb.crafted-follow") | $(mbs 10) | $(ratio 10) |"
  echo "| 1 KiB frames, each behind two starts announcing its end | <= 3x valid | $(cat "$tmp/ipb.starts-before") | $(mbs 12) | $(ratio 12) |"
  echo "| key set: a data-command header followed, 2,000 empty spans behind it, over and over | <= 3x encrypted | $(cat "$tmp/ipb.held-spans") | $(mbs 11) | $(ratio 11) |"
  echo "| key set: encrypted 1 KiB uploads, each behind two headers ended early announcing its end | <= 3x encrypted | $(cat "$tmp/ipb.headers-before") | $(mbs 13) | $(ratio 13) |"
  echo
  echo "Table CRC alone (the classic loop, a 16-bit table entry per byte; the plug-in's own CRC steps through an 8-bit state): $(awk -v c="$crc" 'BEGIN { printf "%.1f", c / 1e6 }') MB/s. The first row loads the plug-in with dlopen and times its own"
  echo "receive thread (thread CPU, first read to the return after the last byte). The bench port's ReadData costs $port_ipr"
  echo "instructions per one-byte read, included in the one-byte rows: a real port's read costs no less."
  echo "With a key, an encrypted frame costs a failed CRC, its decryption and a CRC over the plain data;"
  echo "decryptions draw on a credit of 2 bytes per byte received (however the reads cut them), and 32 candidates are followed at most (the oldest making way). SM4 itself (ECB"
  echo "over 1 KiB regions, callgrind) costs $sm4_ipb instructions per byte; its times are in \"SM4\" below."
  echo
  echo "## Damaged and cut-off frames (the receive scanner, 2025 uploads, a plain frame after each trial)"
  echo
  echo "The HJ 212 CRC keeps 8 bits between bytes: it catches every changed byte alone, and lets one in 256 of"
  echo "the frames damaged in two bytes or more through. A frame is queued only when its data segment holds no"
  echo "control byte, and with a key only when it is text and holds no {0x..} list; the last column counts the"
  echo "damaged frames whose CRC still fitted as received. The second table cuts an upload off on the line and"
  echo "sends an intact one of the same form behind it: every intact frame must come out. Its last rows pause a raw"
  echo "frame holding \\r\\n at a random byte (the engine's empty passes counted on a simulated clock), and break a line"
  echo "with 1, 32 or 200 cut-off 9 KB uploads before an intact frame."
  echo
  cat "$tmp/damage.md"
  echo
  sed 's/^### /## /' "$tmp/report.md"
  echo
  echo "## The tools against the plug-in on random keyed streams"
  echo
  echo "Streams of 5,000 frames of every form (plain, raw ciphertext, raw holding CR LF, both {0x..} layouts,"
  echo "packets, answers), one in six cut off, one in six behind a stray \"#\" or \"##\", noise between them, read"
  echo "in random chunks of 1 to 512 bytes by the plug-in's scanner and by polmon-platform, and as a file by"
  echo "polmon-frame. A stream counts as different when a reader's list of frames is not the plug-in's."
  echo
  echo "| frames sent | intact | queued by the plug-in | streams polmon-frame differs | streams polmon-platform differs |"
  echo "|---|---|---|---|---|"
  cat "$tmp/differential.md"
  sed 's/^/    /' "$tmp/differential.err"
  echo
  echo "## polmon-frame on a station log (CPU seconds, best of three)"
  echo
  echo "| log (one frame in ten rejected) | seconds | seconds per MB |"
  echo "|---|---|---|"
  printf '%s' "$frame_rows"
  echo
  echo "Eight times the log takes $frame_ratio times the time (linear: 8; target: a 10 MB log in about a second)."
  echo
  echo "The same log in one run (\`frame_speed\`: cutting, judging and the text report of every span, without I/O), against"
  echo "the plug-in's scanner over the log and over its frames as the wire carries them (CR LF, 512-byte reads); CPU, best of three:"
  echo
  echo "| log | polmon-frame's work | the scanner over the log | the scanner over its frames | times the scanner's time a byte (target <= 10) |"
  echo "|---|---|---|---|---|"
  echo "$frame_speed"
  echo
  echo "## Sending a 9 KiB 2025 upload (instructions per \"Send\", callgrind)"
  echo
  echo "| how | target | instructions | vs one frame |"
  echo "|---|---|---|---|"
  echo "| split into 1024-byte packets and built (third device parameter 0) | <= 2x one frame | $send_packets | $(awk -v a="$send_packets" -v b="$send_whole" 'BEGIN { printf "%.2f", a / b }') |"
  echo "| built as one frame (third device parameter -1) | | $send_whole | 1.00 |"
  echo
  echo "## Commissioning page (polmon-platform --web)"
  echo
  echo "A day of one station at one frame per second, fed at full speed through the platform with its web view on"
  echo "and a page's event stream open (\`web_bench day\`): memory stays bounded (rings of recent frames and events,"
  echo "plots downsampled, the values spooled to the CSV on disk)."
  echo
  "$build/bin/web_bench" day
  echo
  "$build/bin/web_bench" cpu "${BENCH_WEB_SECONDS:-60}"
  echo
  "$root/scripts/wireshark-docs.sh" bench "$build"
  echo
  echo "## Stripped sizes (bytes)"
  echo
  echo "| library | bytes |"
  echo "|---|---|"
  echo "| libpolmon.so (host) | $(size_of "$build/lib/libpolmon.so" strip) |"
  echo "| libpolmon_armv5.so | $(size_of "$root/build/armv5/lib/libpolmon_armv5.so" arm-linux-gnueabi-strip) |"
  echo "| libpolmon_armv7.so | $(size_of "$root/build/armv7/lib/libpolmon_armv7.so" arm-linux-gnueabihf-strip) |"
} >"$out"
echo "bench: wrote $out"
