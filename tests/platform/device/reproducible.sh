#!/usr/bin/env bash
# Same source, same bytes: fresh device builds in different directories
# give the image under test exactly; SOURCE_DATE_EPOCH changes the
# timestamp and nothing else; a value that is not a timestamp stops the
# configure step with a message that names it.
#
# usage: reproducible.sh SOURCE_DIR IMAGE IMAGE_TIMESTAMP
set -euo pipefail
source_dir=$1 image=$2 image_timestamp=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {  # build DIR [VAR=VALUE]...: builds stowkey.exe in DIR
    local dir=$1; shift
    env -u SOURCE_DATE_EPOCH "$@" cmake -S "$source_dir" -B "$dir" \
        --toolchain "$source_dir/cmake/armv4-ce.cmake" >"$work/log" 2>&1 &&
        cmake --build "$dir" >>"$work/log" 2>&1 ||
        { cat "$work/log"; echo "FAIL: the build in $dir failed"; exit 1; }
}

timestamp_of() {  # the TimeDateStamp field: 8 bytes into the PE header at e_lfanew
    local pe_offset
    pe_offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tu4 -j$((pe_offset + 8)) -N4 "$1" | tr -d ' '
}

build "$work/a" "SOURCE_DATE_EPOCH=$image_timestamp"
build "$work/one/more/level/b" "SOURCE_DATE_EPOCH=$image_timestamp"
cmp "$work/a/stowkey.exe" "$work/one/more/level/b/stowkey.exe" ||
    { echo "FAIL: two builds of the same source differ"; exit 1; }
cmp "$work/a/stowkey.exe" "$image" ||
    { echo "FAIL: a fresh build differs from the image under test"; exit 1; }
echo "ok: fresh builds in two directories equal the image under test"

build "$work/unset"
[ "$(timestamp_of "$work/unset/stowkey.exe")" = 0 ] ||
    { echo "FAIL: without SOURCE_DATE_EPOCH the timestamp is not 0"; exit 1; }

build "$work/dated" SOURCE_DATE_EPOCH=1765152000
[ "$(timestamp_of "$work/dated/stowkey.exe")" = 1765152000 ] ||
    { echo "FAIL: the timestamp is not SOURCE_DATE_EPOCH"; exit 1; }
differing=$({ cmp -l "$work/unset/stowkey.exe" "$work/dated/stowkey.exe" || true; } | wc -l)
[ "$differing" -le 4 ] ||
    { echo "FAIL: SOURCE_DATE_EPOCH changed $differing bytes, more than the timestamp"; exit 1; }
echo "ok: SOURCE_DATE_EPOCH sets the timestamp and nothing else"

for bad in yesterday -1 4294967296 99999999999; do
    if SOURCE_DATE_EPOCH=$bad cmake -S "$source_dir" -B "$work/bad" \
        --toolchain "$source_dir/cmake/armv4-ce.cmake" >"$work/log" 2>&1; then
        echo "FAIL: SOURCE_DATE_EPOCH=$bad was accepted"; exit 1
    fi
    grep -q "SOURCE_DATE_EPOCH is '$bad'" "$work/log" ||
        { cat "$work/log"; echo "FAIL: no message names SOURCE_DATE_EPOCH=$bad"; exit 1; }
    rm -rf "$work/bad"
done
echo "ok: a SOURCE_DATE_EPOCH that is not a timestamp is refused"
