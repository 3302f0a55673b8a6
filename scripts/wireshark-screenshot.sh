#!/usr/bin/env bash
# The guide's picture of Wireshark with the dissector: a 2025 station with a key uploads to the
# platform simulator for a few seconds, its capture opens in Wireshark under Xvfb with the key
# log, filtered to its decrypted uploads, and the screen is saved as a PNG.
#   scripts/wireshark-screenshot.sh BUILD_DIR OUT.png   (make docs-screenshot)
set -euo pipefail
build=$(cd "$1" && pwd)
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# the session: the station's capture and key log
mkfifo "$work/ready"
exec {fd}<>"$work/ready"
"$build/bin/polmon-platform" --name platform --ready "$work/ready" --wait 20 --standard 2025 --key 0123456789ABCDEF \
  --duration 6 --periods 2051=2 >"$work/platform.out" 2>&1 &
platform=$!
read -r -t 20 -u "$fd" addr
"$build/bin/polmon-host" --plugin "$build/lib/libpolmon.so" -D platform="$addr" -D standard=2025 -D key=0123456789ABCDEF \
  -D minute=2 --capture "$work/station.pcap" --key-log "$work/station.keys" "$root/examples/periodic_uploads.lua" \
  </dev/null >"$work/host.out" 2>&1 &
host=$!
pids+=("$host")
wait "$platform" || { cat "$work/platform.out"; exit 1; }
kill -INT "$host"
wait "$host" || true

lua=$build/wireshark/hj212.lua
filter='hj212.cn == 2011'
upload=$(tshark -X "lua_script:$lua" -o "hj212.keylog:$work/station.keys" -r "$work/station.pcap" \
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
xtst.XTestFakeMotionEvent(d, -1, 1140, 862, 0)  # the bytes pane's "HJ 212 decrypted" tab
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
