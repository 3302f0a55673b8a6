#!/usr/bin/env bash
# Wireshark with the dissector (tools/wireshark), for the guide and BENCHMARKS.md:
#   scripts/wireshark-docs.sh screenshot BUILD_DIR OUT.png   (make docs-screenshot) a 2025 station with
#       a key uploads to the platform simulator for a few seconds; its capture opens in Wireshark
#       under Xvfb with the key log, filtered to its decrypted uploads, and the screen is saved
#   scripts/wireshark-docs.sh bench BUILD_DIR   (make bench) tshark's CPU time over 10 MB captures
#       of a 2017 and a 2025 session, without and with the dissector, and with the key log: a
#       markdown section on stdout
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
out=${3:-}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
lua=$build/wireshark/hj212.lua

# A station against the platform simulator for six seconds: NAME.pcap and NAME.keys in $work.
#   session NAME STANDARD EXAMPLE [host -D options...]
session() {
  local name=$1 standard=$2 example=$3 addr fd platform host
  shift 3
  rm -f "$work/ready"
  mkfifo "$work/ready"
  exec {fd}<>"$work/ready"
  "$build/bin/polmon-platform" --name platform --ready "$work/ready" --wait 20 --standard "$standard" \
    ${key:+--key "$key"} --duration 6 --periods 2051=2 >"$work/$name-platform.out" 2>&1 &
  platform=$!
  read -r -t 20 -u "$fd" addr
  exec {fd}<&-
  "$build/bin/polmon-host" --plugin "$build/lib/libpolmon.so" -D platform="$addr" -D city="$addr" "$@" \
    --capture "$work/$name.pcap" --key-log "$work/$name.keys" "$root/examples/$example" </dev/null >"$work/$name-host.out" 2>&1 &
  host=$!
  pids+=("$host")
  wait "$platform" || { cat "$work/$name-platform.out" >&2; exit 1; }
  kill -INT "$host"
  wait "$host" || true
}

key=0123456789ABCDEF
if [ "$mode" = bench ]; then
  # CPU seconds (user + system) of one tshark run
  cpu() { local t; t=$( { TIMEFORMAT='%U %S'; time tshark "$@" >/dev/null 2>&1; } 2>&1); awk -v t="$t" 'BEGIN { split(t, a, " "); printf "%.1f", a[1] + a[2] }'; }
  repeat() { python3 "$root/tests/tools/wireshark_compare.py" repeat "$@"; }
  key='' session s2017 2017 demo_station.lua -D minute=2
  session s2025 2025 periodic_uploads.lua -D standard=2025 -D key="$key" -D minute=2
  repeat "$work/s2017.pcap" "" "$work/b2017.pcap" "" 10
  repeat "$work/s2025.pcap" "$work/s2025.keys" "$work/b2025.pcap" "$work/b2025.keys" 10
  mb() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", b / 1e6 }'; }
  plain0=$(cpu -r "$work/b2017.pcap")
  plain1=$(cpu -X "lua_script:$lua" -r "$work/b2017.pcap")
  enc0=$(cpu -r "$work/b2025.pcap")
  enc1=$(cpu -X "lua_script:$lua" -o hj212.keylog: -r "$work/b2025.pcap")
  enc2=$(cpu -X "lua_script:$lua" -o "hj212.keylog:$work/b2025.keys" -r "$work/b2025.pcap")
  ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", (b > 0 ? a / b : 0) }'; }
  echo "## Wireshark dissector (tshark CPU seconds over a 10 MB capture, one run each)"
  echo
  echo "| capture | without the dissector | with it | with it and the key log | MB/s with it |"
  echo "|---|---|---|---|---|"
  echo "| 2017 station, plain ($(mb "$work/b2017.pcap") MB) | $plain0 | $plain1 ($(ratio "$plain1" "$plain0")x) | | $(awk -v m="$(mb "$work/b2017.pcap")" -v t="$plain1" 'BEGIN { printf "%.2f", m / t }') |"
  echo "| 2025 station with a key ($(mb "$work/b2025.pcap") MB) | $enc0 | $enc1 ($(ratio "$enc1" "$enc0")x) | $enc2 ($(ratio "$enc2" "$enc0")x) | $(awk -v m="$(mb "$work/b2025.pcap")" -v t="$enc2" 'BEGIN { printf "%.2f", m / t }') |"
  echo
  echo "A session of six seconds played again on new connections up to 10 MB (wireshark_compare.py repeat). Without"
  echo "the key log the 2025 capture's frames are still decrypted from the key exchange (CN 1014) seen on each"
  echo "connection; SM4 and the CRC in plain Lua take most of the time."
  exit 0
fi

[ "$mode" = screenshot ] && [ -n "$out" ] || { echo "usage: wireshark-docs.sh screenshot|bench BUILD_DIR [OUT.png]" >&2; exit 2; }
session station 2025 periodic_uploads.lua -D standard=2025 -D key="$key" -D minute=2
filter='hj212.cn == 2011'
upload=$(tshark -X "lua_script:$lua" -o tcp.try_heuristic_first:TRUE -o "hj212.keylog:$work/station.keys" -r "$work/station.pcap" \
  -Y "$filter && hj212.encryption" -T fields -e frame.number 2>/dev/null | head -n 1)
[ -n "$upload" ] || { echo "wireshark-screenshot: no decrypted upload in the capture" >&2; exit 1; }

# Wireshark on a screen of its own, with a fresh profile: the whole screen, the packet list short
mkdir -p "$work/config/wireshark"
cat >"$work/config/wireshark/recent_common" <<'RECENT'
gui.geometry_main_x: 0
gui.geometry_main_y: 0
gui.geometry_main_width: 1400
gui.geometry_main_height: 900
gui.geometry_main_maximized: FALSE
gui.geometry_main_upper_pane: 260
gui.geometry_main_lower_pane: 900
privs.warn_if_elevated: FALSE
RECENT
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1400x900x24 -fbdir "$work" -nolisten tcp >"$work/xvfb.out" 2>&1 &
pids+=($!)
sleep 1
HOME=$work XDG_CONFIG_HOME=$work/config DISPLAY=$display wireshark -X "lua_script:$lua" \
  -o "hj212.keylog:$work/station.keys" -o gui.update.enabled:FALSE -r "$work/station.pcap" -Y "$filter" -g "$upload" \
  >"$work/wireshark.out" 2>&1 &
pids+=($!)
sleep 8
# the HJ 212 tree opened (a click on its line in the details pane, then Shift+Right: its subtrees)
# and the decrypted frame's tab shown; the places are those of this screen size and fresh profile
DISPLAY=$display python3 - <<'PY'
import ctypes, time
x11, xtst = ctypes.CDLL("libX11.so.6"), ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
d = ctypes.c_void_p(x11.XOpenDisplay(None))
def key(*syms):
    codes = [x11.XKeysymToKeycode(d, s) for s in syms]
    for c in codes: xtst.XTestFakeKeyEvent(d, c, True, 0)
    for c in reversed(codes): xtst.XTestFakeKeyEvent(d, c, False, 0)
    x11.XFlush(d); time.sleep(0.5)
xtst.XTestFakeMotionEvent(d, -1, 60, 563, 0)
xtst.XTestFakeButtonEvent(d, 1, True, 0); xtst.XTestFakeButtonEvent(d, 1, False, 0)
x11.XFlush(d); time.sleep(0.5)
key(0xFFE1, 0xFF53)  # Shift_L + Right
xtst.XTestFakeMotionEvent(d, -1, 955, 862, 0)  # the bytes pane's "HJ 212 decrypted" tab, after "Frame"
xtst.XTestFakeButtonEvent(d, 1, True, 0); xtst.XTestFakeButtonEvent(d, 1, False, 0)
x11.XFlush(d); time.sleep(0.5)
PY
sleep 2

# Xvfb's screen (XWD, 32 bits a pixel) as a PNG
python3 - "$work/Xvfb_screen0" "$out" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
h = struct.unpack(">25I", data[:100])
header, width, height, bpp, line, ncolors = h[0], h[4], h[5], h[11], h[12], h[19]
if bpp != 32:
    sys.exit("wireshark-screenshot: %d bits a pixel" % bpp)
at = header + 12 * ncolors
rows = []
for y in range(height):
    px = data[at + y * line: at + y * line + width * 4]
    rgb = bytearray(width * 3)
    rgb[0::3], rgb[1::3], rgb[2::3] = px[2::4], px[1::4], px[0::4]
    rows.append(b"\0" + bytes(rgb))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
open(sys.argv[2], "wb").write(png)
PY
echo "wireshark-screenshot: $out (frame $upload of the station's capture)"
