#!/usr/bin/env bash
# Builds the plug-in again from a copy of the sources in other folders and compares it with this
# build's, byte for byte: no path, date or build ID may differ.
#   check_reproducible.sh SOURCE_DIR BUILD_DIR TOOLCHAIN_FILE BUILD_TYPE PLUGIN
set -euo pipefail
src=$1
build=$2
toolchain=$3
type=$4
plugin=$5
# the second build names the same commit, though its copy has no history
commit=$(sed -n 's/^#define POLMON_COMMIT "\(.*\)"$/\1/p' "$build/generated/polmon_version.h")
[ -n "$commit" ] || { echo "no commit in $build/generated/polmon_version.h"; exit 1; }
work=$(mktemp -d /tmp/polmon-again.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/source"
tar -C "$src" --exclude=./build --exclude=./out --exclude=./dist --exclude=./.git -cf - . | tar -C "$work/source" -xf -
toolchain_args=()
[ -z "$toolchain" ] || toolchain_args=(-DCMAKE_TOOLCHAIN_FILE="$work/source/cmake/$(basename "$toolchain")")
cmake -S "$work/source" -B "$work/elsewhere" "${toolchain_args[@]}" -DCMAKE_BUILD_TYPE="$type" \
  -DPOLMON_BUILD_TESTS=OFF -DPOLMON_COMMIT="$commit" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
cmake --build "$work/elsewhere" --target polmon -j 2 >>"$work/log" 2>&1 || { tail -n 40 "$work/log"; exit 1; }
again="$work/elsewhere/$(realpath --relative-to="$build" "$plugin")" # lib/, or bin/ for a DLL
sha256sum "$plugin" "$again"
cmp "$plugin" "$again" || { echo "the two builds differ"; exit 1; }
echo "identical"
