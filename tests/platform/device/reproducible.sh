#!/usr/bin/env bash
# Same source, same bytes: a fresh device build in another directory
# gives the images and CABs under test exactly; SOURCE_DATE_EPOCH changes the
# timestamp and nothing else; unset, the timestamp is the last commit's
# time, or 1980-01-01 in a tree that is no git checkout; a value that is
# not a timestamp stops the
# configure step, before any compiler is tried, with a message that
# names it.
#
# usage: reproducible.sh SOURCE_DIR DEVICE_DIR IMAGE_TIMESTAMP CLANGXX
# (DEVICE_DIR holds the images under test, one folder for each kind, built
# with the LLVM of CLANGXX)
set -euo pipefail
source_dir=$1 device_dir=$2 image_timestamp=$3 clangxx=$4
kinds_list=$("$source_dir/scripts/kinds" "$device_dir")
read -r -d '' -a kinds <<<"$kinds_list" || :
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {  # build DIR [VAR=VALUE]...: builds the device images in DIR
    local dir=$1; shift
    env -u SOURCE_DATE_EPOCH "$@" cmake -S "$source_dir" -B "$dir" \
        --toolchain "$source_dir/cmake/ce-arm.cmake" -DCMAKE_CXX_COMPILER="$clangxx" >"$work/log" 2>&1 &&
        cmake --build "$dir" >>"$work/log" 2>&1 ||
        { cat "$work/log"; echo "FAIL: the build in $dir failed"; exit 1; }
}

timestamp_of() {  # the file header's TimeDateStamp
    "$source_dir/scripts/pe-layout" "$1" | awk '$1 == "timestamp" { print $4 }'
}

# The build under test is in another directory, at another depth: one
# fresh build is the second of two.
build "$work/one/more/level/a" "SOURCE_DATE_EPOCH=$image_timestamp"
for kind in "${kinds[@]}"; do
    for file in stowkey.exe stowkey.cab; do
        cmp "$work/one/more/level/a/$kind/$file" "$device_dir/$kind/$file" ||
            { echo "FAIL: a fresh build in another directory differs from the one under test ($kind/$file)"; exit 1; }
    done
done
echo "ok: a fresh build in another directory equals the images and CABs under test"

build "$work/unset"
build "$work/dated" SOURCE_DATE_EPOCH=1765152000
build "$work/leading-zero" SOURCE_DATE_EPOCH=0100000000
commit_time=$(git -C "$source_dir" log -1 --format=%ct)
mkdir "$work/export"
git -C "$source_dir" archive HEAD | tar -x -C "$work/export"
source_dir=$work/export build "$work/exported"
for kind in "${kinds[@]}"; do
    [ "$(timestamp_of "$work/unset/$kind/stowkey.exe")" = "$commit_time" ] ||
        { echo "FAIL: without SOURCE_DATE_EPOCH the timestamp is not the last commit's time ($kind)"; exit 1; }
    [ "$(timestamp_of "$work/exported/$kind/stowkey.exe")" = 315532800 ] ||
        { echo "FAIL: outside a git checkout the timestamp is not 1980-01-01 ($kind)"; exit 1; }
    [ "$(timestamp_of "$work/dated/$kind/stowkey.exe")" = 1765152000 ] ||
        { echo "FAIL: the timestamp is not SOURCE_DATE_EPOCH ($kind)"; exit 1; }
    [ "$(timestamp_of "$work/leading-zero/$kind/stowkey.exe")" = 100000000 ] ||
        { echo "FAIL: SOURCE_DATE_EPOCH 0100000000 is not read as decimal ($kind)"; exit 1; }
    differing=$({ cmp -l "$work/unset/$kind/stowkey.exe" "$work/dated/$kind/stowkey.exe" || true; } | wc -l)
    [ "$differing" -le 4 ] ||
        { echo "FAIL: SOURCE_DATE_EPOCH changed $differing bytes of $kind, more than the timestamp"; exit 1; }
done
echo "ok: SOURCE_DATE_EPOCH sets the timestamp and nothing else; unset, the source's date"

# A checkout another user owns, built as root (sudo scripts/build): git
# would refuse to read it, and the date must be its last commit's all the same.
git clone -q "$source_dir" "$work/foreign"
cp "$source_dir/scripts/source-date" "$source_dir/scripts/cab-facts.sh" "$work/foreign/scripts/"
if [ "$(id -u)" = 0 ] && chown -R 65534:65534 "$work/foreign"; then
    [ "$(env -u SOURCE_DATE_EPOCH "$work/foreign/scripts/source-date")" = "$commit_time" ] ||
        { echo "FAIL: a checkout owned by another user is not dated by its last commit"; exit 1; }
    echo "ok: a checkout another user owns is dated by its last commit"
else
    echo "skipped: a checkout another user owns (needs root)"
fi

for bad in yesterday -1 4294967296 99999999999; do
    if SOURCE_DATE_EPOCH=$bad cmake -S "$source_dir" -B "$work/bad" \
        --toolchain "$source_dir/cmake/ce-arm.cmake" -DCMAKE_CXX_COMPILER="$clangxx" >"$work/log" 2>&1; then
        echo "FAIL: SOURCE_DATE_EPOCH=$bad was accepted"; exit 1
    fi
    grep -q "SOURCE_DATE_EPOCH is '$bad'" "$work/log" ||
        { cat "$work/log"; echo "FAIL: no message names SOURCE_DATE_EPOCH=$bad"; exit 1; }
    ! grep -q "compiler identification" "$work/log" ||
        { cat "$work/log"; echo "FAIL: a compiler was tried before SOURCE_DATE_EPOCH=$bad was checked"; exit 1; }
    rm -rf "$work/bad"
done
echo "ok: a SOURCE_DATE_EPOCH that is not a timestamp is refused"
