#!/usr/bin/env bash
# Builds the bundle an integrator copies to a panel and a PC beside it:
#   dist/polmon-<version>.tar.gz   the ARM plug-ins, the host tools, the examples, the guide, SHA256SUMS
# Release builds in build/dist/<target>, from the commit checked out; the same commit gives the
# same ARM libraries in any folder (see cmake/PolmonReproducible.cmake).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

version=$(sed -n 's/^project(polmon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "dist: no project version in CMakeLists.txt" >&2; exit 1; }
# Dates in the bundle are the commit's, so two runs of one commit give the same bytes.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
export SOURCE_DATE_EPOCH
name=polmon-$version
work=build/dist
stage=$work/$name
jobs=${DIST_JOBS:-2}

build() { # preset, targets...
  local preset=$1
  shift
  echo "dist: building $preset"
  # the host tools find the bundle's host/lib, not this build folder
  cmake --preset "$preset" -B "$work/$preset" -DCMAKE_BUILD_TYPE=Release -DPOLMON_BUILD_TESTS=OFF \
    -DPOLMON_BUILD_BENCH=OFF -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON -DCMAKE_INSTALL_RPATH='$ORIGIN/../lib' \
    >"$work/$preset.log" 2>&1 || { cat "$work/$preset.log"; exit 1; }
  local t args=()
  for t in "$@"; do args+=(--target "$t"); done
  cmake --build "$work/$preset" -j "$jobs" "${args[@]}" >>"$work/$preset.log" 2>&1 || { tail -n 40 "$work/$preset.log"; exit 1; }
}

mkdir -p "$work" dist
rm -rf "$stage"
build armv5 polmon
build armv7 polmon
build armv7-softfp polmon
build host all

mkdir -p "$stage"/{armv5,armv7,armv7-softfp,host/bin,host/lib,examples,docs}
cp "$work/armv5/lib/libpolmon_armv5.so" "$stage/armv5/"
cp "$work/armv7/lib/libpolmon_armv7.so" "$stage/armv7/"
cp "$work/armv7-softfp/lib/libpolmon_armv7.so" "$stage/armv7-softfp/"
# Host tools, with the host plug-in and the stand-in panel libraries polmon-host loads it with.
for tool in polmon-config polmon-host polmon-platform polmon-frame; do
  [ -x "$work/host/bin/$tool" ] && cp "$work/host/bin/$tool" "$stage/host/bin/"
done
cp "$work/host/lib/libpolmon.so" "$work/host/lib/libhostshim.so" "$work/host/lib/libhosttools.so" "$stage/host/lib/"
strip --strip-unneeded "$stage"/host/bin/* "$stage"/host/lib/*
# polmon-platform's HTTP server library goes along (Debian's build, not stripped again); the web
# page's files and the chart library are built into polmon-platform. Their licence notices:
httplib=$(ldd "$work/host/bin/polmon-platform" | awk '/libcpp-httplib/ { print $3 }')
[ -f "$httplib" ] || { echo "dist: polmon-platform does not link libcpp-httplib" >&2; exit 1; }
cp "$httplib" "$stage/host/lib/"
cp "$work/host/tools/platform/licences.txt" "$stage/THIRD-PARTY-LICENCES.txt"
cp examples/*.lua "$stage/examples/"
# The documents keep the repository's layout, so their links work in the bundle too.
cp README.md "$stage/"
cp docs/guide.md docs/*.png "$stage/docs/"
for doc in tools/README.md tools/*/README.md; do
  mkdir -p "$stage/$(dirname "$doc")"
  cp "$doc" "$stage/$doc"
done

(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner --mode=u+rwX,go+rX,go-w \
  -C "$work" -cf - "$name" | gzip -n -9 >"dist/$name.tar.gz"

# The bundle as an integrator unpacks it: every checksum holds, every ARM library names its version.
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
tar -C "$check" -xzf "dist/$name.tar.gz"
(cd "$check/$name" && sha256sum --quiet -c SHA256SUMS) || { echo "dist: checksums do not hold" >&2; exit 1; }
if grep -rlF "$root" "$check/$name"; then echo "dist: the files above name the build folder $root" >&2; exit 1; fi
for tool in "$check/$name"/host/bin/*; do
  "$tool" --version | grep -q "from polmon $version (" || { echo "dist: $(basename "$tool") --version fails" >&2; exit 1; }
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
for lib in armv5/libpolmon_armv5.so armv7/libpolmon_armv7.so armv7-softfp/libpolmon_armv7.so; do
  text=$(strings "$check/$name/$lib" | grep -m1 "^polmon $version (") || { echo "dist: $lib carries no version text" >&2; exit 1; }
  echo "dist: $lib: $text"
done
echo "dist: dist/$name.tar.gz ($(wc -c <"dist/$name.tar.gz") bytes, $(wc -l <"$check/$name/SHA256SUMS") files)"
