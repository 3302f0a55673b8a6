#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Runs apt-get as root, or through sudo otherwise.
set -euo pipefail

native=(cmake make g++ clang clang-format-14 libclang-rt-14-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
        liblua5.4-dev libssl-dev pkg-config g++-arm-linux-gnueabi g++-arm-linux-gnueabihf qemu-user binutils python3 valgrind
        openssl
        libcpp-httplib-dev libjs-chart.js chromium chromium-driver python3-selenium fonts-wqy-microhei
        libpcap-dev tshark wireshark xvfb libxtst6
        g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev bison flex
        qemu-system-arm cpio time)
# openssl: the soak encrypts its keyed stream with the openssl command (SM4).
# libcpp-httplib-dev to fonts-wqy-microhei: polmon-platform's web view (HTTP server and chart libraries) and its browser test
# (headless Chromium driven by Selenium; a font with Chinese characters for its screenshot).
# libpcap-dev: the simulators' --capture and polmon-frame --file on it; tshark: a test reads a
# capture as Wireshark does (installed non-interactively, dumpcap not made set-uid), and with the
# dissector (tools/wireshark) compares it with polmon-frame. wireshark, xvfb, libxtst6: make
# docs-screenshot's picture of Wireshark's window (keys and clicks sent through XTest).
# g++-mingw-w64-x86-64-posix, wine, wine64: the Windows build (POSIX threads for std::thread) and its tests.
# dpkg-dev, bison, flex: the Windows tools' libraries built from Debian's source packages
# (scripts/windows-deps.sh; libpcap's filter grammar needs bison and flex).
# qemu-system-arm, cpio: the ARM builds' tests on one emulated core (tests/armvm), booted from an
# initramfs that cpio packs; its kernel and busybox are fetched below. time: GNU time, a test's
# measure of polmon-frame's peak memory.
foreign=(libc6:armel libc6:armhf libstdc++6:armel libstdc++6:armhf)

# Answers are read whole, then compared: under pipefail a "| grep -q" that stops early can kill
# the writer with SIGPIPE and turn a match into a failure.
missing() {
  local pkg status
  for pkg in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null) || status=
    [[ $status == *"install ok installed"* ]] || echo "$pkg"
  done
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Debian's source archive beside each Debian archive apt already uses, for `apt-get source`.
source_archive() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && grep -q '^URIs:.*debian' "$f" && sed -n '/^Types: deb$/,/^$/p' "$f" | sed 's/^Types: deb$/Types: deb-src/'
  done
}

# The test VM's kernel (Debian's ARMv7 multiplatform one) and a static busybox for its shell, which
# also runs on ARMv5: downloaded, never installed (they are not for this machine), and kept.
armvm_debs=${POLMON_ARMVM_DEBS:-/var/cache/polmon/armvm}
armvm_have() {
  compgen -G "$armvm_debs/linux-image-*-armmp_*_armhf.deb" >/dev/null &&
    compgen -G "$armvm_debs/busybox-static_*_armel.deb" >/dev/null
}

need_native=$(missing "${native[@]}")
need_foreign=$(missing "${foreign[@]}")
need_sources=
[ -n "$(apt-cache showsrc lua5.4 2>/dev/null)" ] || need_sources=yes
need_armvm=
armvm_have || need_armvm=yes
[ -z "$need_native$need_foreign$need_sources$need_armvm" ] && exit 0

if [ -n "$need_sources" ]; then
  src=$(source_archive)
  if [ -z "$src" ] && [ -f /etc/apt/sources.list ]; then
    src=$(sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' /etc/apt/sources.list)
    [ -n "$src" ] && printf '%s\n' "$src" | as_root tee /etc/apt/sources.list.d/polmon-debian-src.list >/dev/null
  elif [ -n "$src" ]; then
    printf '%s\n' "$src" | as_root tee /etc/apt/sources.list.d/polmon-debian-src.sources >/dev/null
  fi
fi

export DEBIAN_FRONTEND=noninteractive
# The ARM runtimes come from Debian's multiarch archive: qemu-arm -L / finds them, GB18030 included.
for arch in armel armhf; do
  grep -qx "$arch" <<<"$(dpkg --print-foreign-architectures)" || as_root dpkg --add-architecture "$arch"
done
# A mirror caught mid-sync fails one index; retry, then install from what was fetched.
for try in 1 2 3; do
  as_root apt-get update -q && break
  echo "install-deps: apt-get update failed (try $try of 3)" >&2
  sleep 5
done
# A foreign runtime must be the very version of this machine's own (they share files): an archive
# whose security updates leave one architecture out (armel) would otherwise ask for a native
# upgrade that the other cannot follow. Each is pinned to the installed native version when the
# archive has it there.
foreign_pinned=()
for pkg in $need_foreign; do
  version=$(dpkg-query -W -f='${Version}' "${pkg%%:*}" 2>/dev/null) || version=
  offered=$(apt-cache madison "$pkg" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}') || offered=
  if [ -n "$version" ] && grep -qxF "$version" <<<"$offered"; then foreign_pinned+=("$pkg=$version"); else foreign_pinned+=("$pkg"); fi
done
# shellcheck disable=SC2086
as_root apt-get install -y -q --no-install-recommends $need_native "${foreign_pinned[@]}"

if [ -n "$need_armvm" ]; then
  # The versioned package the kernel's metapackage names today.
  kernel=$(apt-cache depends linux-image-armmp:armhf | sed -n 's/^ *Depends: \(linux-image-[0-9][^ :]*-armmp\)\(:armhf\)\{0,1\}$/\1/p;T;q')
  [ -n "$kernel" ] || { echo "install-deps: Debian's archive names no linux-image-armmp:armhf kernel" >&2; exit 1; }
  as_root mkdir -p "$armvm_debs"
  (cd "$armvm_debs" && as_root apt-get download -q -o APT::Sandbox::User=root "$kernel:armhf" busybox-static:armel)
  armvm_have
fi
