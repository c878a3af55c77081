#!/usr/bin/env bash
# The LLVM lookup (cmake/llvm.cmake) takes every tool from one version,
# the one chosen by a given compiler, STOWKEY_LLVM_VERSION or PATH, and
# stops with a message naming the tool when one is missing or of another
# version. Driven in script mode against fake LLVMs, so that no real one
# is needed and the system's cannot interfere.
#
# usage: llvm_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
cmake=$(command -v cmake)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tools=(clang clang++ ld.lld llvm-objcopy llvm-objdump llvm-readelf)

fake_tool() {  # fake_tool PATH VERSION: a program that reports LLVM VERSION
    local what="LLVM version"
    [[ $(basename "$1") == clang* ]] && what="clang version"
    mkdir -p "$(dirname "$1")"
    printf '#!/bin/sh\necho "Debian %s %s.1.7"\n' "$what" "$2" >"$1"
    chmod +x "$1"
}
# Debian's layout: llvm-N/bin with plain names, bin/ with links named -N.
mkdir -p "$work/bin"
for version in 23 24; do
    for tool in "${tools[@]}"; do
        fake_tool "$work/llvm-$version/bin/$tool" $version
        ln -s "../llvm-$version/bin/$tool" "$work/bin/$tool-$version"
    done
done
for tool in "${tools[@]}"; do fake_tool "$work/versioned/$tool-25" 25; done
fake_tool "$work/llvm-18/bin/clang++" 18
fake_tool "$work/llvm-18/bin/clang" 18
mkdir -p "$work/empty" "$work/gcc"
printf '#!/bin/sh\necho "g++ (Debian 12.2.0-14) 12.2.0"\n' >"$work/gcc/g++"
chmod +x "$work/gcc/g++"

cat >"$work/driver.cmake" <<EOF
cmake_minimum_required(VERSION 3.25)
include("$source_dir/cmake/llvm.cmake")
stowkey_find_llvm(CXX "\${CXX}" ASM "\${ASM}")
foreach(name LLVM_MAJOR CLANG CLANGXX LLD OBJCOPY OBJDUMP READELF)
  message("\${name}=\${STOWKEY_\${name}}")
endforeach()
EOF

failures=0
# check NAME PATH "CMAKE -D ARGS" EXPECTED...: each EXPECTED is a line the
# lookup must print; "error: TEXT" expects a failed configure whose
# message holds TEXT.
check() {
    local name=$1 path=$2 args=$3 output status
    shift 3
    # shellcheck disable=SC2086
    output=$(PATH=$path "$cmake" $args -P "$work/driver.cmake" 2>&1 | tr -s ' \n' ' ') && status=0 || status=$?
    for expected in "$@"; do
        if [[ $expected == error:* ]]; then
            expected=${expected#error: }
            if ! grep -q "CMake Error" <<<"$output" || ! grep -qF -- "$expected" <<<"$output"; then
                echo "FAIL: $name: expected an error with '$expected', got: $output"
                failures=$((failures + 1))
            fi
        elif grep -q "CMake Error" <<<"$output" || ! grep -qF -- "$expected" <<<"$output"; then
            echo "FAIL: $name: expected '$expected', got: $output"
            failures=$((failures + 1))
        fi
    done
    echo "checked: $name"
}

all_of() {  # the lines a lookup prints when it found every tool of DIR
    local dir=$1 version=$2
    echo "LLVM_MAJOR=$version" "CLANG=$dir/clang" "CLANGXX=$dir/clang++" "LLD=$dir/ld.lld" \
         "OBJCOPY=$dir/llvm-objcopy" "OBJDUMP=$dir/llvm-objdump" "READELF=$dir/llvm-readelf"
}

# shellcheck disable=SC2046
{
check "the clang++ on PATH brings its own version's tools" \
    "$work/llvm-23/bin:$work/llvm-24/bin" "" $(all_of "$work/llvm-23/bin" 23)
check "a versioned clang++ leads to the directory it links to" \
    "$work/bin" "-DSTOWKEY_LLVM_VERSION=24" "LLVM_MAJOR=24" "CLANGXX=$work/bin/clang++-24" \
    "LLD=$work/llvm-24/bin/ld.lld" "READELF=$work/llvm-24/bin/llvm-readelf"
check "a given compiler wins over PATH" \
    "$work/llvm-24/bin" "-DCXX=$work/llvm-23/bin/clang++" $(all_of "$work/llvm-23/bin" 23)
check "a given compiler is looked up by name" \
    "$work/bin:$work/llvm-24/bin" "-DCXX=clang++-23" "LLVM_MAJOR=23" "CLANG=$work/llvm-23/bin/clang" \
    "OBJDUMP=$work/llvm-23/bin/llvm-objdump"
check "versioned names alone are enough" \
    "$work/versioned" "-DSTOWKEY_LLVM_VERSION=25" "LLVM_MAJOR=25" "LLD=$work/versioned/ld.lld-25" \
    "OBJCOPY=$work/versioned/llvm-objcopy-25"
check "a versioned tool beside the compiler wins over a plain one on PATH" \
    "$work/llvm-24/bin" "-DCXX=$work/versioned/clang++-25" "LLVM_MAJOR=25" \
    "LLD=$work/versioned/ld.lld-25" "READELF=$work/versioned/llvm-readelf-25"
check "a compiler of another version than STOWKEY_LLVM_VERSION" \
    "$work/bin" "-DCXX=clang++-23 -DSTOWKEY_LLVM_VERSION=24" \
    "error: is LLVM 23, but STOWKEY_LLVM_VERSION is 24"
check "an assembler of another version than the compiler" \
    "$work/bin" "-DCXX=clang++-23 -DASM=$work/llvm-24/bin/clang" \
    "error: clang: $work/llvm-24/bin/clang is LLVM 24, but the chosen LLVM is 23"
check "a tool of another version on PATH is not taken silently" \
    "$work/llvm-18/bin:$work/llvm-24/bin" "" \
    "error: ld.lld: $work/llvm-24/bin/ld.lld is LLVM 24, but the chosen LLVM is 18" \
    "error: apt-get install lld-18"
check "a missing tool is named with its package" \
    "$work/llvm-18/bin" "" "error: ld.lld of LLVM 18 is not found" "error: apt-get install lld-18"
check "a version that is not installed" \
    "$work/bin" "-DSTOWKEY_LLVM_VERSION=99" "error: clang++ of LLVM 99 is not in /usr/lib/llvm-99/bin" \
    "error: apt-get install clang-99"
check "no clang++ at all" \
    "$work/empty" "" "error: clang++ is not on PATH" "error: apt-get install clang"
check "a version that is not a number" \
    "$work/bin" "-DSTOWKEY_LLVM_VERSION=nineteen" "error: STOWKEY_LLVM_VERSION is 'nineteen'"
check "a given compiler that is not there" \
    "$work/bin" "-DCXX=$work/nowhere/clang++" "error: the C++ compiler given, $work/nowhere/clang++, is not found"
check "a given compiler that is not clang" \
    "$work/empty" "-DCXX=$work/gcc/g++" "error: $work/gcc/g++ (the C++ compiler given, $work/gcc/g++) is not clang"
check "a tool that is not LLVM's" \
    "$work/llvm-23/bin:$work/gcc" "-DCXX=$work/llvm-23/bin/clang++ -DASM=$work/gcc/g++" \
    "error: clang: $work/gcc/g++ reports no version of LLVM's clang"
}

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: every tool comes from the chosen LLVM, or the configure step says which does not"
