#!/usr/bin/env bash
# Each installation CAB as independent tools read it: cabextract lists
# and tests the legacy setup file first, then the XML setup file, then
# the image, and unpacks exactly those; xmllint parses the XML, and the
# file its FileOperation extracts is the image, byte for byte; file knows
# the legacy setup file, whose fields that wceload acts on hold what each
# kind needs; and the two setup files give the same version range. The
# signed CABs (SIGNED_DIR) are read the same way. Then CABs derived from
# the first kind's, each with one thing changed, go through ce-run's
# installers (CE_RUN --platform ... --install).
#
# usage: cab_test.sh DEVICE_DIR SIGNED_DIR CE_RUN SOURCE_DIR
set -euo pipefail
device_dir=$1 signed_dir=$2 ce_run=$3 source_dir=$4
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

echo "checked: the built and signed CABs"

# --- derived CABs under ce-run's installers ----------------------------
read -r kind _ <<<"${rows[0]}"
base=$work/base
mkdir "$base"
cabextract -q -d "$base" "$device_dir/$kind/stowkey.cab"
files_at=$(u32 "$base/stowkey.000" 68)
put16() {  # put16 FILE OFFSET VALUE: a little-endian 16-bit value
    printf "$(printf '\\x%02x\\x%02x' $(($3 & 255)) $(($3 >> 8 & 255)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
put32() {  # put32 FILE OFFSET VALUE: a little-endian 32-bit value
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 & 255)) $(($3 >> 8 & 255)) \
                $(($3 >> 16 & 255)) $(($3 >> 24 & 255)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# derive NAME COMMAND: the first kind's setup files and image in
# $work/NAME, COMMAND run there, then packed into $work/NAME.cab: by gcab
# when COMMAND removed _setup.xml or made a file "compress", else by
# scripts/pack-cab as the build packs.
derive() {
    local name=$1 command=$2 compress=()
    cp -r "$base" "$work/$name"
    (cd "$work/$name" && eval "$command")
    if [ -e "$work/$name/compress" ] || [ ! -e "$work/$name/_setup.xml" ]; then
        [ ! -e "$work/$name/compress" ] || compress=(--zip)
        (cd "$work/$name" && rm -f compress &&
            TZ=UTC0 gcab --create --nopath "${compress[@]}" "../$name.cab" \
                $(ls stowkey.000 _setup.xml 2>/dev/null) stowkey.001)
    else
        "$source_dir/scripts/pack-cab" "$work/$name/stowkey.000" "$work/$name/_setup.xml" \
            "$work/$name/stowkey.001" "$work/$name.cab"
    fi
}
# installs PLATFORM CAB STATUS TEXT [OPTION]...: ce-run's installer for
# PLATFORM ends with STATUS, and its standard error holds TEXT (is empty
# when TEXT is).
installs() {
    local platform=$1 cab=$2 status=$3 text=$4 actual
    shift 4
    "$ce_run" --platform "$platform" "$@" --trace "$work/trace" --install "$cab" \
        >/dev/null 2>"$work/err" && actual=0 || actual=$?
    if [ -z "$text" ]; then
        [ ! -s "$work/err" ] || actual="$actual, with standard error"
    else
        grep -qF -- "$text" "$work/err" || actual="$actual, without the text"
    fi
    [ "$actual" = "$status" ] ||
        fail "$platform, $(basename "$cab"): status $actual, not $status '$text': $(cat "$work/err")"
}
old_copy=$work/old.exe  # an earlier program at the same path, which exits 7
cp "$device_dir/test-images/ldr_pc_call.exe" "$old_copy"
device_file="\\Windows\\stowkey.exe=$old_copy"
derive processor 'put32 stowkey.000 20 4660'
derive any-processor 'put32 stowkey.000 20 0'
derive up-to-4.20 'put32 stowkey.000 32 4; put32 stowkey.000 36 20'
derive legacy-up-to-4.20 'put32 stowkey.000 32 4; put32 stowkey.000 36 20; rm _setup.xml'
derive xml-up-to-4.20 'sed -i "s/\"OSVersionMax\" value=\"[0-9.]*\"/\"OSVersionMax\" value=\"4.20\"/" _setup.xml'
derive keep "put32 stowkey.000 $((files_at + 6)) 16"
derive keep-newer "put32 stowkey.000 $((files_at + 6)) 536870912"
derive unknown-macro 'sed -i "s/%CE2%/%CE9%/" stowkey.000'
derive compressed 'touch compress'
derive long-header 'put32 stowkey.000 8 $(($(wc -c <stowkey.000) + 1))'
derive broken-xml 'head -c 100 _setup.xml >x && mv x _setup.xml'
derive no-xml 'rm _setup.xml'
derive program-files 'sed -i "s/%CE2%/%CE1%/" stowkey.000'
derive registry 'put16 stowkey.000 56 1; put32 stowkey.000 76 100'
derive doctype 'sed -i "1i <!DOCTYPE wap-provisioningdoc>" _setup.xml'
derive registry-xml 'sed -i "s|</wap-provisioningdoc>|<characteristic type=\"Registry\"/></wap-provisioningdoc>|" _setup.xml'
derive two-files-xml 'sed -i "s/\"NumFiles\" value=\"1\"/\"NumFiles\" value=\"2\"/" _setup.xml'
derive bad-version-xml 'sed -i "s/\"OSVersionMin\" value=\"[0-9.]*\"/\"OSVersionMin\" value=\"three\"/" _setup.xml'
derive no-program 'sed -i "s/stowkey\.exe/stowkey.dll/" _setup.xml'
derive empty-name "printf '\\001\\000\\000' | dd of=stowkey.000 bs=1 seek=$((files_at + 10)) conv=notrunc status=none"
installs pocketpc2003 "$work/processor.cab" 65 "the setup file is for processor 4660, and ARM devices take 2577 or 0"
installs pocketpc2003 "$work/any-processor.cab" 0 ""
installs pocketpc2003 "$work/up-to-4.20.cab" 0 ""
installs ce5.0 "$work/up-to-4.20.cab" 65 "the Windows CE 5.0 installer refuses it: it is for CE 3.0 to 4.20, and the device runs CE 5.0"
installs windowsmobile6 "$work/legacy-up-to-4.20.cab" 0 ""  # Windows Mobile checks no highest version
installs windowsmobile6 "$work/xml-up-to-4.20.cab" 0 ""
installs ce6.0 "$work/xml-up-to-4.20.cab" 65 "it is for CE 3.0 to 4.20, and the device runs CE 6.0"
installs pocketpc2003 "$work/keep.cab" 7 "" --device-file "$device_file"
grep -qxF 'install: kept \Windows\stowkey.exe' "$work/trace" || fail "the kept copy is not traced: $(cat "$work/trace")"
installs pocketpc2003 "$device_dir/$kind/stowkey.cab" 0 "" --device-file "$device_file"
touch -d 2100-01-01 "$old_copy"
installs pocketpc2003 "$work/keep-newer.cab" 7 "" --device-file "$device_file"
touch -d 1979-12-31 "$old_copy"  # older than the derived CABs' 1980-01-01
installs pocketpc2003 "$work/keep-newer.cab" 0 "" --device-file "$device_file"
installs pocketpc2003 "$work/unknown-macro.cab" 65 "the directory %CE9% holds %CE9%, a macro the installer does not know"
installs pocketpc2003 "$work/compressed.cab" 65 "the cabinet is compressed, and it installs only uncompressed ones"
installs windowsmobile6 "$work/compressed.cab" 0 ""
installs pocketpc2003 "$work/long-header.cab" 65 "its setup file stowkey.000 is malformed: its header says it is"
installs ce6.0 "$work/broken-xml.cab" 65 "its setup file _setup.xml is malformed: not well-formed XML"
installs ce6.0 "$work/no-xml.cab" 65 "the cabinet holds no _setup.xml, the only setup file it reads"
installs pocketpc2003 "$work/program-files.cab" 0 ""
grep -qxF 'install: wrote \Program Files\stowkey.exe (1536 bytes)' "$work/trace" ||
    fail "%CE1% is not \Program Files: $(cat "$work/trace")"
installs pocketpc2003 "$work/registry.cab" 65 "it has registry entries or shortcuts, which ce-run does not model"
installs ce6.0 "$work/doctype.cab" 65 "it has a DOCTYPE, which no setup file has"
installs ce6.0 "$work/registry-xml.cab" 65 "it has a characteristic ce-run does not model: 'Registry'"
installs ce6.0 "$work/two-files-xml.cab" 65 "its NumFiles is 2, and its FileOperation extracts 1"
installs ce6.0 "$work/bad-version-xml.cab" 65 "OSVersionMin 'three' is not a version"
installs ce6.0 "$work/no-program.cab" 65 "it installs 0 executables, and ce-run runs what a CAB installs only when it is one"
installs pocketpc2003 "$work/empty-name.cab" 65 "is malformed: file 1 has the name '', which is no file's name"
echo "checked: derived CABs under ce-run's installers"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: the CABs hold both setup files and the image, and the setup files say alike what each kind needs"
