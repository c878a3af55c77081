#!/usr/bin/env bash
# Each installation CAB as independent tools read it: cabextract lists
# and tests the legacy setup file first, then the XML setup file, then
# the image, and unpacks exactly those; xmllint parses the XML, and the
# file its FileOperation extracts is the image, byte for byte; file knows
# the legacy setup file, whose fields that wceload acts on hold what each
# kind needs; and the two setup files give the same version range. The
# signed CABs (SIGNED_DIR) are read the same way.
#
# usage: cab_test.sh DEVICE_DIR SIGNED_DIR
set -euo pipefail
device_dir=$1 signed_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

u16() { od -An -tu2 -j"$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }
text() { dd if="$1" bs=1 skip="$2" count="$3" status=none | tr '\0' '|'; }
# xml FILE XPATH: the string value xmllint finds there
xml() { xmllint --xpath "string($2)" "$1"; }
install='//characteristic[@type="Install"]/parm'
target='//characteristic[@type="FileOperation"]/characteristic[@type="%CE2%"]/characteristic[@translation="install"]'

# Each kind the build lists, with the lowest and highest CE version of
# its table row (major.minor, 0.0: no limit).
mapfile -t rows < <(grep -v '^#' "$device_dir/kinds")
[ ${#rows[@]} -gt 0 ] || fail "$device_dir/kinds lists no kind"
for row in "${rows[@]}"; do
  read -r kind _ lowest highest _ <<<"$row"
  for dir in "$device_dir" "$signed_dir"; do
    tried=$((${tried:-0} + 1))
    cab=$dir/$kind/stowkey.cab
    where="$kind ($cab)"
    listing=$(cabextract -l "$cab" 2>/dev/null | awk '$NF ~ /^(stowkey\.|_setup)/ { print $NF }' | tr '\n' ' ')
    [ "$listing" = "stowkey.000 _setup.xml stowkey.001 " ] || fail "$where: cabextract lists '$listing'"
    cabextract -q -t "$cab" >/dev/null 2>&1 || fail "$where: cabextract -t finds the CAB damaged"
    unpacked=$work/$tried
    mkdir "$unpacked"
    cabextract -q -d "$unpacked" "$cab" 2>/dev/null || fail "$where: cabextract cannot unpack it"
    [ "$(LC_ALL=C ls -A "$unpacked" | tr '\n' ' ')" = "_setup.xml stowkey.000 stowkey.001 " ] ||
        fail "$where: the CAB unpacks to $(ls -A "$unpacked")"
    setup=$unpacked/stowkey.000 setup_xml=$unpacked/_setup.xml

    xmllint --noout "$setup_xml" || fail "$where: xmllint cannot parse _setup.xml"
    LC_ALL=C grep -q '[^ -~]' "$setup_xml" && fail "$where: _setup.xml is not plain ASCII"
    source=$(xml "$setup_xml" "$target/characteristic[@type=\"Extract\"]/parm[@name=\"Source\"]/@value")
    [ "$(xml "$setup_xml" "$target/@type")" = stowkey.exe ] ||
        fail "$where: _setup.xml installs '$(xml "$setup_xml" "$target/@type")' into %CE2%, not stowkey.exe"
    [ -n "$source" ] && [ -f "$unpacked/$source" ] && cmp -s "$unpacked/$source" "$dir/$kind/stowkey.exe" ||
        fail "$where: the file _setup.xml extracts, '$source', is not the image $dir/$kind/stowkey.exe"

    [ "$(file -b "$setup")" = "Microsoft WinCE install header, StrongARM, 1 file" ] ||
        fail "$where: file says $(file -b "$setup")"
    # The two setup files agree on the version range and on the name.
    while read -r field expected; do
        actual=$(xml "$setup_xml" "$install[@name=\"$field\"]/@value")
        [ "$actual" = "$expected" ] || fail "$where: _setup.xml's $field is '$actual', stowkey.000's $expected"
    done <<EOF_XML
OSVersionMin $(u32 "$setup" 24).$(u32 "$setup" 28)
OSVersionMax $(u32 "$setup" 32).$(u32 "$setup" 36)
InstallDir %CE2%
AppName $(text "$setup" "$(u16 "$setup" 84)" $(($(u16 "$setup" 86) - 1)))
NumFiles $(u16 "$setup" 52)
NumDirs $(u16 "$setup" 50)
EOF_XML

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
        [ "$actual" = "$expected" ] || fail "$where: $field is $actual, not $expected"
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
done

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: the CABs hold both setup files and the image, and the setup files say alike what each kind needs"
