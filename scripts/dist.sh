#!/usr/bin/env bash
# Builds the bundle an integrator copies to a panel and a PC beside it:
#   dist/polmon-<version>.tar.gz   the ARM plug-ins, the host tools, the examples, the guide, SHA256SUMS,
#                                  and windows/: the tools and the plug-in for a Windows laptop
# Release builds in build/dist/<target>, from the commit checked out; the same commit gives the
# same ARM libraries in any folder (see cmake/PolmonReproducible.cmake).
#   scripts/dist.sh --from-builds   (make test) the same bundle and the same checks, from the test
#                                   builds in build/<preset>, into build/dist-check; dist/ untouched
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

from_builds=
case "${1:-}" in
  "") ;;
  --from-builds) from_builds=1 ;;
  *) echo "usage: scripts/dist.sh [--from-builds]" >&2; exit 2 ;;
esac

version=$(sed -n 's/^project(polmon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "dist: no project version in CMakeLists.txt" >&2; exit 1; }
# Dates in the bundle are the commit's, so two runs of one commit give the same bytes.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
export SOURCE_DATE_EPOCH
name=polmon-$version
jobs=${DIST_JOBS:-2}
if [ -n "$from_builds" ]; then
  work=build/dist-check
  out=$work
else
  work=build/dist
  out=dist
fi
stage=$work/$name

# The folder a preset's files come from: its release build here, or its test build.
from() { if [ -n "$from_builds" ]; then echo "build/$1"; else echo "$work/$1"; fi; }

build() { # preset, targets...
  local preset=$1
  shift
  local t args=()
  for t in "$@"; do args+=(--target "$t"); done
  if [ -n "$from_builds" ]; then
    # the test build brought up to date: nothing to do when make test has just built it (a
    # configured folder reconfigures itself when a CMake file changed)
    echo "dist: from the $preset test build"
    { [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset"; cmake --build --preset "$preset" "${args[@]}"; } \
      >"$work/$preset.log" 2>&1 || { tail -n 40 "$work/$preset.log"; exit 1; }
    return
  fi
  echo "dist: building $preset"
  cmake --preset "$preset" -B "$work/$preset" -DCMAKE_BUILD_TYPE=Release -DPOLMON_BUILD_TESTS=OFF \
    -DPOLMON_BUILD_BENCH=OFF >"$work/$preset.log" 2>&1 || { cat "$work/$preset.log"; exit 1; }
  cmake --build "$work/$preset" -j "$jobs" "${args[@]}" >>"$work/$preset.log" 2>&1 || { tail -n 40 "$work/$preset.log"; exit 1; }
}

tools=(polmon-config polmon-host polmon-platform polmon-frame)

# windows/ holds all a Windows laptop needs, on its own: each program one .exe (runtimes and
# libraries linked in), the plug-in with the stand-in panel libraries beside it, the examples, the
# guides, the dissector, the notices, and checksums of its own (certutil -hashfile F SHA256).
stage_windows() {
  local win=$stage/windows built tool
  built=$(from windows)
  mkdir -p "$win"
  for tool in "${tools[@]}"; do cp "$built/bin/$tool.exe" "$win/"; done
  cp "$built"/bin/libpolmon.dll "$built"/bin/libhostshim.dll "$built"/bin/libhosttools.dll "$win/"
  x86_64-w64-mingw32-strip --strip-unneeded "$win"/*.exe "$win"/*.dll
  cp -r "$stage/examples" "$stage/docs" "$stage/wireshark" "$stage/README.md" "$stage/tools" "$win/"
  {
    printf 'Third-party parts of polmon'"'"'s Windows programs, linked into them, with their licence notices.\n'
    local notice
    # Lua, libpcap and cpp-httplib from their source packages; the chart library built into the
    # page; the compiler's runtimes (C runtime, threads) linked into every program
    for notice in "$built"/third-party/licences/*.copyright /usr/share/doc/libjs-chart.js/copyright \
      /usr/share/doc/mingw-w64-x86-64-dev/copyright /usr/share/doc/gcc-mingw-w64-base/copyright; do
      printf '\n==== %s\n\n' "${notice##*/licences/}"
      cat "$notice"
    done
  } >"$win/THIRD-PARTY-LICENCES.txt"
  (cd "$win" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
}
mkdir -p "$work" "$out"
rm -rf "$stage"
build armv5 polmon
build armv7 polmon
build armv7-softfp polmon
build host polmon hostshim hosttools "${tools[@]}" polmon_wireshark
build windows polmon hostshim hosttools "${tools[@]}"

mkdir -p "$stage"/{armv5,armv7,armv7-softfp,host/bin,host/lib,examples,docs,wireshark}
cp "$(from armv5)/lib/libpolmon_armv5.so" "$stage/armv5/"
cp "$(from armv7)/lib/libpolmon_armv7.so" "$stage/armv7/"
cp "$(from armv7-softfp)/lib/libpolmon_armv7.so" "$stage/armv7-softfp/"
# Host tools, with the host plug-in and the stand-in panel libraries polmon-host loads it with.
host=$(from host)
for tool in "${tools[@]}"; do cp "$host/bin/$tool" "$stage/host/bin/"; done
cp "$host/lib/libpolmon.so" "$host/lib/libhostshim.so" "$host/lib/libhosttools.so" "$stage/host/lib/"
strip --strip-unneeded "$stage"/host/bin/* "$stage"/host/lib/*
# polmon-platform's HTTP server library goes along (Debian's build, not stripped again); the web
# page's files and the chart library are built into polmon-platform. Their licence notices:
httplib=$(ldd "$host/bin/polmon-platform" | awk '/libcpp-httplib/ { print $3 }')
[ -f "$httplib" ] || { echo "dist: polmon-platform does not link libcpp-httplib" >&2; exit 1; }
cp "$httplib" "$stage/host/lib/"
cp "$host/tools/platform/licences.txt" "$stage/THIRD-PARTY-LICENCES.txt"
# so does the capture library every tool links (--capture, polmon-frame --file), with its notice
pcap=$(ldd "$host/bin/polmon-frame" | awk '/libpcap/ { print $3 }')
[ -f "$pcap" ] || { echo "dist: polmon-frame does not link libpcap" >&2; exit 1; }
cp "$pcap" "$stage/host/lib/"
{ printf '\n== libpcap (host/lib, Debian'"'"'s build) ==\n\n'; cat /usr/share/doc/libpcap0.8/copyright; } >>"$stage/THIRD-PARTY-LICENCES.txt"
cp examples/*.lua "$stage/examples/"
# The Wireshark dissector and its code tables: copied into Wireshark's plugins folder, no build.
cp "$host/wireshark/hj212.lua" "$host/wireshark/hj212_codes.lua" "$stage/wireshark/"
# The documents keep the repository's layout, so their links work in the bundle too.
cp README.md "$stage/"
cp docs/*.md docs/*.png "$stage/docs/" # the guide in English and Chinese
for doc in tools/README.md tools/*/README.md; do
  mkdir -p "$stage/$(dirname "$doc")"
  cp "$doc" "$stage/$doc"
done

stage_windows

(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner --mode=u+rwX,go+rX,go-w \
  -C "$work" -cf - "$name" | gzip -n -9 >"$out/$name.tar.gz"

# The bundle as an integrator unpacks it: every checksum holds, every ARM library names its version.
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
tar -C "$check" -xzf "$out/$name.tar.gz"
(cd "$check/$name" && sha256sum --quiet -c SHA256SUMS) || { echo "dist: checksums do not hold" >&2; exit 1; }
if grep -rlF "$root" "$check/$name"; then echo "dist: the files above name the build folder $root" >&2; exit 1; fi
# Outputs are read whole before they are searched: under pipefail, a grep that stops at its first
# match can kill the writer with SIGPIPE and fail the check at random.
for tool in "${tools[@]}"; do
  answer=$("$check/$name/host/bin/$tool" --version) && [[ $answer == "$tool from polmon $version ("* ]] ||
    { echo "dist: $tool --version fails" >&2; exit 1; }
  # the HTTP library it brings is found in host/lib, also on a PC that lacks it
  runpath=$(readelf -d "$check/$name/host/bin/$tool")
  [[ $runpath == *"(RUNPATH)"*"Library runpath: [\$ORIGIN/../lib]"* ]] || { echo "dist: $tool does not look in ../lib" >&2; exit 1; }
done
# The commissioning page from the unpacked bundle alone: page, script and chart library served.
web_check() {
  local dir=$check/$name/host/bin ready=$check/web.ready pid url
  "$dir/polmon-platform" --web 127.0.0.1:0 --web-csv "$check/values.csv" --wait 10 --ready "$ready" >"$check/web.out" 2>&1 &
  pid=$!
  for _ in $(seq 100); do [ -s "$ready" ] && break; sleep 0.1; done
  url=$(awk '{ print $2 }' "$ready" 2>/dev/null)
  python3 - "$url" <<'PY'
import sys, urllib.request
for path, piece in (("", b"app.js"), ("app.js", b"EventSource"), ("chart.min.js", b"Chart.js v"), ("licences.txt", b"cpp-httplib")):
    with urllib.request.urlopen(sys.argv[1] + path, timeout=5) as r:
        assert piece in r.read(), path
PY
  local rc=$?
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return $rc
}
web_check || { echo "dist: the bundle's polmon-platform does not serve its page" >&2; cat "$check/web.out" >&2; exit 1; }
echo "dist: polmon-platform serves its page from the bundle (chart library built in, HTTP library in host/lib)"
# The bundle's dissector in tshark: a capture of one upload shows its CN and the factor's name
# from the code tables beside it.
dissector_check() {
  python3 - "$check/one.pcap" <<'PY'
import struct, sys
data = b"QN=20260101000000000;ST=22;CN=2011;PW=123456;MN=POLMON;Flag=4;CP=&&DataTime=20260101000000;a21026-Rtd=1.0&&"
reg = 0xFFFF
for b in data:
    reg = (reg >> 8) ^ b
    for _ in range(8):
        reg = (reg >> 1) ^ 0xA001 if reg & 1 else reg >> 1
payload = b"##%04d" % len(data) + data + b"%04X\r\n" % reg
tcp = struct.pack("!HHIIBBHHH", 40000, 5000, 1, 0, 0x50, 0x18, 65535, 0, 0) + payload
ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), 0, 0x4000, 64, 6, 0, bytes([10, 0, 0, 2]), bytes([10, 0, 0, 1]))
with open(sys.argv[1], "wb") as f:
    f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
    f.write(struct.pack("<IIII", 0, 0, len(ip + tcp), len(ip + tcp)) + ip + tcp)
PY
  local shown
  shown=$(tshark -X "lua_script:$check/$name/wireshark/hj212.lua" -r "$check/one.pcap" -T fields -e hj212.cn -e hj212.item.name 2>&1)
  [[ $shown == *"2011"*"sulphur dioxide"* ]] || { echo "dist: the bundle's dissector shows: $shown" >&2; return 1; }
}
if command -v tshark >/dev/null; then
  dissector_check || exit 1
  echo "dist: the bundle's Wireshark dissector reads an upload in tshark"
fi
# windows/ on its own: its checksums hold, each program needs no library beyond Windows' own and
# answers --version under wine, the plug-in names its version.
windows_check() {
  local win=$check/$name/windows tool imports answer
  (cd "$win" && sha256sum --quiet -c SHA256SUMS) || { echo "dist: windows/SHA256SUMS does not hold" >&2; return 1; }
  for tool in "${tools[@]}"; do
    imports=$(x86_64-w64-mingw32-objdump -p "$win/$tool.exe" | awk '/DLL Name:/ { print $3 }')
    if grep -iv '^\(kernel32\|msvcrt\|ws2_32\|advapi32\|shell32\|user32\|iphlpapi\)\.dll$' <<<"$imports"; then
      echo "dist: windows/$tool.exe needs the libraries above" >&2
      return 1
    fi
    answer=$("$root/scripts/wine-run.sh" "$win/$tool.exe" --version | tr -d '\r') && [[ $answer == "$tool from polmon $version ("* ]] ||
      { echo "dist: windows/$tool.exe --version answers: $answer" >&2; return 1; }
  done
  grep -aq "polmon $version (" "$win/libpolmon.dll" || { echo "dist: windows/libpolmon.dll carries no version text" >&2; return 1; }
}
windows_check || exit 1
echo "dist: windows/ holds its programs, each standing alone and answering under wine"
for lib in armv5/libpolmon_armv5.so armv7/libpolmon_armv7.so armv7-softfp/libpolmon_armv7.so host/lib/libpolmon.so; do
  strings "$check/$name/$lib" >"$check/strings.txt"
  text=$(grep -m1 "^polmon $version (" "$check/strings.txt") || { echo "dist: $lib carries no version text" >&2; exit 1; }
  echo "dist: $lib: $text"
done
echo "dist: $out/$name.tar.gz ($(wc -c <"$out/$name.tar.gz") bytes, $(wc -l <"$check/$name/SHA256SUMS") files)"
