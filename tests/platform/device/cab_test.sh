#!/usr/bin/env bash
# Each installation CAB as independent tools read it: cabextract lists
# the setup file first and unpacks exactly the setup file and the image,
# byte for byte; file knows the setup file; and the setup file's fields
# that wceload acts on hold what each kind needs.
#
# usage: cab_test.sh DEVICE_DIR
set -euo pipefail
device_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

u16() { od -An -tu2 -j"$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }
text() { dd if="$1" bs=1 skip="$2" count="$3" status=none | tr '\0' '|'; }

# kind, then the lowest and highest CE version (major.minor, 0.0: no limit)
for row in "ce3-to-ce7 3.0 7.99" "ce8 8.0 0.0"; do
    read -r kind lowest highest <<<"$row"
    cab=$device_dir/$kind/stowkey.cab
    listing=$(cabextract -l "$cab" | awk '$NF ~ /^stowkey\./ { print $NF }' | tr '\n' ' ')
    [ "$listing" = "stowkey.000 stowkey.001 " ] || fail "$kind: cabextract lists '$listing'"
    mkdir "$work/$kind"
    cabextract -q -d "$work/$kind" "$cab" || fail "$kind: cabextract cannot unpack $cab"
    [ "$(ls -A "$work/$kind" | tr '\n' ' ')" = "stowkey.000 stowkey.001 " ] ||
        fail "$kind: the CAB unpacks to $(ls -A "$work/$kind")"
    cmp -s "$work/$kind/stowkey.001" "$device_dir/$kind/stowkey.exe" ||
        fail "$kind: the CAB's stowkey.001 is not the image"
    setup=$work/$kind/stowkey.000
    [ "$(file -b "$setup")" = "Microsoft WinCE install header, StrongARM, 1 file" ] ||
        fail "$kind: file says $(file -b "$setup")"

    strings_at=$(u32 "$setup" 60) directories_at=$(u32 "$setup" 64) files_at=$(u32 "$setup" 68)
    # What wceload acts on: offset, size, expected value, field.
    while read -r offset size expected field; do
        if [ "$size" = text ]; then
            actual=$(text "$setup" "${offset%+*}" "${offset#*+}")
        elif [ "$size" = 2 ]; then
            actual=$(u16 "$setup" "$offset")
        else
            actual=$(u32 "$setup" "$offset")
        fi
        [ "$actual" = "$expected" ] || fail "$kind: $field is $actual, not $expected"
    done <<EOF_FIELDS
0+4 text MSCE signature
8 4 $(wc -c <"$setup") length of the setup file
16 4 1 fixed 1
20 4 2577 processor (ARM)
24 4 ${lowest%.*} lowest CE major
28 4 ${lowest#*.} lowest CE minor
32 4 ${highest%.*} highest CE major
36 4 ${highest#*.} highest CE minor
40 4 0 lowest build
44 4 0 highest build
48 2 1 strings
50 2 1 directories
52 2 1 files
54 2 0 registry hives
56 2 0 registry keys
58 2 0 links
$(u16 "$setup" 84)+8 text stowkey| application name
86 2 8 application name length
$strings_at 2 1 string id
$((strings_at + 4))+6 text %CE2%| string
$((strings_at + 2)) 2 6 string length
$directories_at 2 1 directory id
$((directories_at + 2)) 2 4 directory length
$((directories_at + 4)) 2 1 directory path: the string %CE2%
$((directories_at + 6)) 2 0 directory path end
$files_at 2 1 file number
$((files_at + 2)) 2 1 file directory
$((files_at + 4)) 2 1 file number again
$((files_at + 6)) 4 1073741824 file flags: overwrite, and nothing else
$((files_at + 10)) 2 12 file name length
$((files_at + 12))+12 text stowkey.exe| file name
EOF_FIELDS
done

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: the CABs hold the setup file first and the image, and the setup file says what each kind needs"
