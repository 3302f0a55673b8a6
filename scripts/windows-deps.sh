#!/usr/bin/env bash
# The Windows tools' third-party libraries, from Debian's own source packages at pinned versions:
# Lua 5.4 (polmon-host's station scripts), libpcap (captures: file reading and writing only) and
# cpp-httplib's single header (polmon-platform's web view).
#   windows-deps.sh OUT TOOLCHAIN
# OUT/src/<package>  the unpacked sources, Debian's patches applied (Lua is compiled by the build)
# OUT/prefix         libpcap.a and the headers the tools include
# OUT/licences       each package's copyright file, for the bundle's notices
# Runs once per OUT and version set; Debian's source archive must be in apt's sources
# (scripts/install-deps.sh adds it).
set -euo pipefail

out=$(realpath -m "$1")
toolchain=$(realpath "$2")
pins=(lua5.4=5.4.4-3+deb12u1 libpcap=1.10.3-1 cpp-httplib=0.11.4+ds-1+deb12u1)
stamp="$out/done-$(printf '%s\n' "${pins[@]}" | sha256sum | cut -c1-16)"
[ -e "$stamp" ] && exit 0

rm -rf "$out"
mkdir -p "$out/download" "$out/src" "$out/prefix/include" "$out/prefix/lib" "$out/licences"
# Whatever a build step writes to its working folder stays in OUT (libpcap's configure, built for
# Windows, sends flex's header to a file named "NUL:" there).
cd "$out"
# apt checks every file against the signed archive index before it keeps it.
(cd "$out/download" && apt-get source --download-only -q "${pins[@]}" >/dev/null 2>"$out/download/apt.log") || {
  cat "$out/download/apt.log" >&2
  echo "windows-deps: could not fetch the source packages (is Debian's source archive in apt's sources? scripts/install-deps.sh adds it)" >&2
  exit 1
}
for pin in "${pins[@]}"; do
  pkg=${pin%%=*}
  dsc=$(ls "$out/download/${pkg}_"*.dsc)
  dpkg-source --no-check -x "$dsc" "$out/src/$pkg" >/dev/null
  cp "$out/src/$pkg/debian/copyright" "$out/licences/$pkg.copyright"
done

cp "$out/src/cpp-httplib/httplib.h" "$out/prefix/include/"

# libpcap with no capture mechanism: its file reading and writing is all the tools use. Its build
# sets properties on the shared library too, so that is configured, but only the static one built;
# pkg-config is kept from offering the build machine's own libraries.
PKG_CONFIG_LIBDIR=/nonexistent cmake -S "$out/src/libpcap" -B "$out/build-libpcap" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DPCAP_TYPE=null -DBUILD_SHARED_LIBS=ON -DENABLE_REMOTE=OFF \
  -DDISABLE_DBUS=ON -DDISABLE_DPDK=ON -DDISABLE_RDMA=ON -DDISABLE_BLUETOOTH=ON -DDISABLE_NETMAP=ON \
  -DDISABLE_DAG=ON -DDISABLE_SEPTEL=ON -DDISABLE_SNF=ON -DDISABLE_TC=ON >"$out/build-libpcap.log" 2>&1 &&
  cmake --build "$out/build-libpcap" --target pcap_static -j2 >>"$out/build-libpcap.log" 2>&1 || {
  tail -30 "$out/build-libpcap.log" >&2
  echo "windows-deps: libpcap did not build (log: $out/build-libpcap.log)" >&2
  exit 1
}
cp "$out/build-libpcap/libpcap.a" "$out/prefix/lib/"
cp "$out/src/libpcap/pcap.h" "$out/prefix/include/"
cp -r "$out/src/libpcap/pcap" "$out/prefix/include/"
rm -rf "$out/build-libpcap" "$out/download"
touch "$stamp"
