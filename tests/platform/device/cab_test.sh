#!/usr/bin/env bash
# Each installation CAB as independent tools read it: cabextract lists
# and tests the legacy setup file first, then the XML setup file, then
# the image, and unpacks exactly those; xmllint parses the XML, whose
# every parm and characteristic holds what the build means to write, and
# the file its FileOperation extracts is the image, byte for byte; file
# knows the legacy setup file, whose every field, read at the offsets of
# the documented layout, holds what the build means to write. The signed
# CABs (SIGNED_DIR) are read the same way. Then CABs derived from the
# first kind's, each with one thing changed, and the test CABs made as
# CabWiz makes them (DEVICE_DIR/test-cabs) go through ce-run's installers
# (CE_RUN --platform ... --install).
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
text() { dd if="$1" bs=1 skip="$2" count="$3" status=none | tr '\0 ' '|_'; }
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
    [ -n "$source" ] && [ -f "$unpacked/$source" ] && cmp -s "$unpacked/$source" "$dir/$kind/stowkey.exe" ||
        fail "$where: the file _setup.xml extracts, '$source', is not the image $dir/$kind/stowkey.exe"
    [ "$(file -b "$setup")" = "Microsoft WinCE install header, StrongARM, 1 file" ] ||
        fail "$where: file says $(file -b "$setup")"
    # Every part of _setup.xml: XPath, what it must be.
    while read -r path expected; do
        actual=$(xml "$setup_xml" "$path")
        [ "$actual" = "$expected" ] || fail "$where: _setup.xml's $path is '$actual', not '$expected'"
    done <<EOF_XML
count(/*/*) 2
/*/*[1]/@type Install
count($install) 12
$install[@name="InstallPhase"]/@value install
$install[@name="OSVersionMin"]/@value $lowest
$install[@name="OSVersionMax"]/@value $highest
$install[@name="BuildNumberMin"]/@value 0
$install[@name="BuildNumberMax"]/@value -536870912
$install[@name="AppName"]/@value stowkey project stowkey
$install[@name="InstallDir"]/@value %CE2%
$install[@name="InstallDir"]/@translation install
$install[@name="NumDirs"]/@value 1
$install[@name="NumFiles"]/@value 1
$install[@name="NumRegKeys"]/@value 0
$install[@name="NumRegVals"]/@value 0
$install[@name="NumShortcuts"]/@value 0
/*/*[2]/@type FileOperation
count(/*/*[2]/*) 1
count(/*/*[2]//characteristic) 4
/*/*[2]/*/@type %CE2%
/*/*[2]/*/@translation install
/*/*[2]/*/*[1]/@type MakeDir
$target/@type stowkey.exe
count($target/*) 1
$target/characteristic/@type Extract
count($target/characteristic/parm) 2
$target/characteristic/parm[1]/@name Source
$target/characteristic/parm[1]/@value stowkey.001
$target/characteristic/parm[2]/@name NoDateCheck
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
$(u16 "$setup" 88)+16 text stowkey_project| provider name
90 2 16 provider name length
92 2 0 unsupported platforms offset
94 2 0 unsupported platforms length
72 4 $(wc -c <"$setup") registry hives offset (none: the file's end)
76 4 $(wc -c <"$setup") registry values offset (none: the file's end)
80 4 $(wc -c <"$setup") shortcuts offset (none: the file's end)
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
# The ARMv4 kind from CE 3.0 that reaches the highest release: every
# platform of the rows runs its image, wherever the table lists it.
kind=$(awk '$1 !~ /^#/ && $2 == "0x01C0" && $3 == "3.0" && ($4 + 0 > best || kind == "") { best = $4 + 0; kind = $1 } END { print kind }' "$device_dir/kinds")
[ -n "$kind" ] || { echo "FAIL: $device_dir/kinds lists no ARMv4 (0x01C0) kind from CE 3.0"; exit 1; }
test_cabs=$device_dir/test-cabs
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
# xml_set FILE PARM VALUE: an Install parm's value in an XML setup file
xml_set() { sed -i "s|\"$2\" value=\"[^\"]*\"|\"$2\" value=\"$3\"|" "$1"; }
# derive NAME COMMAND [FROM]: the files of that kind's CAB (or those
# of the test CAB FROM) in $work/NAME, COMMAND run there, then packed by
# gcab into $work/NAME.cab: the .000 first, then _setup.xml, then the
# rest, every entry dated 1980-01-01; compressed when COMMAND made a file
# "compress".
derive() {
    local name=$1 command=$2 from=${3:-} compress=()
    if [ -n "$from" ]; then
        mkdir "$work/$name"
        cabextract -q -d "$work/$name" "$test_cabs/$from.cab"
    else
        cp -r "$base" "$work/$name"
    fi
    (cd "$work/$name" && eval "$command")
    [ ! -e "$work/$name/compress" ] || compress=(--zip)
    (cd "$work/$name" && rm -f compress && touch -d @315532800 -- * &&
        TZ=UTC0 gcab --create --nopath "${compress[@]}" "../$name.cab" \
            $(ls -- *.000 _setup.xml 2>/dev/null) $(ls | grep -v -e '\.000$' -e '^_setup\.xml$'))
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
# traced LINE...: the installer's lines of the last trace are these
traced() {
    local expected actual
    expected=$(printf 'install: %s\n' "$@")
    actual=$(grep '^install: ' "$work/trace" || :)
    [ "$actual" = "$expected" ] || fail "the trace holds: $actual"$'\n'"  not: $expected"
}
old_copy=$work/old.exe  # an earlier program at the same path, which exits 7
cp "$device_dir/test-images/ldr_pc_call.exe" "$old_copy"
device_file="\\Windows\\stowkey.exe=$old_copy"
long_name=$(printf 'x%.0s' $(seq 250))
derive processor 'put32 stowkey.000 20 4660'
derive any-processor 'put32 stowkey.000 20 0'
derive up-to-4.20 'put32 stowkey.000 32 4; put32 stowkey.000 36 20'
derive legacy-up-to-4.20 'put32 stowkey.000 32 4; put32 stowkey.000 36 20; rm _setup.xml'
derive xml-up-to-4.20 'xml_set _setup.xml OSVersionMax 4.20'
derive keep "put32 stowkey.000 $((files_at + 6)) 16"
derive keep-newer "put32 stowkey.000 $((files_at + 6)) 536870912"
derive no-flags "put32 stowkey.000 $((files_at + 6)) 0"
derive unknown-macro 'sed -i "s/%CE2%/%CE9%/" stowkey.000'
derive compressed 'touch compress'
derive long-header 'put32 stowkey.000 8 $(($(wc -c <stowkey.000) + 1))'
derive broken-xml 'head -c 100 _setup.xml >x && mv x _setup.xml'
derive no-xml 'rm _setup.xml'
derive program-files 'sed -i "s/%CE2%/%CE1%/" stowkey.000'
derive games 'sed -i "s/%CE2%/%CE8%/" stowkey.000'
derive start-menu 'sed -i "s/%CE2%/%CE11%/" _setup.xml'
derive doctype 'sed -i "1i <!DOCTYPE wap-provisioningdoc>" _setup.xml'
derive registry-xml 'sed -i "s|</wap-provisioningdoc>|<characteristic type=\"Registry\"/></wap-provisioningdoc>|" _setup.xml'
derive two-files-xml 'xml_set _setup.xml NumFiles 2'
derive bad-version-xml 'xml_set _setup.xml OSVersionMin three'
derive no-program 'sed -i "s/stowkey\.exe/stowkey.dll/" _setup.xml'
derive empty-name "printf '\\001\\000\\000' | dd of=stowkey.000 bs=1 seek=$((files_at + 10)) conv=notrunc status=none"
# What no source reads as no limit, and a build no device is known to meet.
derive lowest-build 'put32 stowkey.000 40 1'
derive xml-highest-build-5 'xml_set _setup.xml BuildNumberMax 5'
derive xml-highest-build-0 'xml_set _setup.xml BuildNumberMax 0'
derive xml-highest-build-any 'xml_set _setup.xml BuildNumberMax -1'
derive xml-no-highest 'sed -i "/OSVersionMax/d" _setup.xml'
derive xml-highest-0.0 'xml_set _setup.xml OSVersionMax 0.0'
# Paths, names and sources the installer does not take.
derive dot-dot 'sed -i "s|type=\"%CE2%\" translation|type=\"%CE2%\\\\..\" translation|" _setup.xml'
derive long-path "sed -i 's|type=\"%CE2%\" translation|type=\"%CE2%\\\\$long_name\" translation|' _setup.xml"
derive setup-source 'sed -i "s|value=\"stowkey.001\"|value=\"_setup.xml\"|" _setup.xml'
derive file-zero "put16 stowkey.000 $files_at 0; put16 stowkey.000 $((files_at + 4)) 0"
derive missing-source 'sed -i "s|value=\"stowkey.001\"|value=\"stowkey.002\"|" _setup.xml'
derive high-byte "printf '\\233' | dd of=stowkey.000 bs=1 seek=$((files_at + 14)) conv=notrunc status=none"
derive delete-byte "printf '\\177' | dd of=stowkey.000 bs=1 seek=$((files_at + 14)) conv=notrunc status=none"
derive long-name "xml_set _setup.xml AppName $(printf 'a%.0s' $(seq 71))"
# What ce-run does not model is answered so, never as a refusal.
derive two-extracts 'sed -i "/NoDateCheck/{n;s|</characteristic>|</characteristic><characteristic type=\"Extract\"><parm name=\"Source\" value=\"stowkey.001\"/></characteristic>|}" _setup.xml'
derive extract-and-delete 'sed -i "s|<characteristic type=\"Extract\">|<characteristic type=\"Delete\"/><characteristic type=\"Extract\">|" _setup.xml'
derive unknown-parm 'sed -i "s|<parm name=\"AppName\"|<parm name=\"Frobnicate\" value=\"1\"/><parm name=\"AppName\"|" _setup.xml'
derive miscased-parm 'sed -i "s|name=\"AppName\"|name=\"appname\"|" _setup.xml'
derive unsupported 'size=$(wc -c <stowkey.000); printf "HPC\\000\\000" >>stowkey.000;
                    put32 stowkey.000 8 $((size + 5)); put16 stowkey.000 92 $size; put16 stowkey.000 94 5'
derive unsupported-palm-pc 'size=$(wc -c <stowkey.000); printf "HPC\\000Palm PC\\000\\000" >>stowkey.000;
                    put32 stowkey.000 8 $((size + 13)); put16 stowkey.000 92 $size; put16 stowkey.000 94 13'
derive unsupported-xml 'sed -i "s|<parm name=\"AppName\"|<parm name=\"UnsupportedPlatforms\" value=\"HPCJUPITER\"/><parm name=\"AppName\"|" _setup.xml'
# Two setup files that disagree: the XML installs into \Program Files.
derive disagreeing 'sed -i "s/%CE2%/%CE1%/" _setup.xml'
derive other-app-name 'xml_set _setup.xml AppName stowkey'
derive two-programs 'sed -i "s|<characteristic type=\"MakeDir\"/>|<characteristic type=\"MakeDir\"/><characteristic type=\"copy.exe\"><characteristic type=\"Extract\"><parm name=\"Source\" value=\"stowkey.001\"/><parm name=\"NoDateCheck\"/></characteristic></characteristic>|; s/\"NumFiles\" value=\"1\"/\"NumFiles\" value=\"2\"/" _setup.xml'
derive integer-out-of-range 'sed -i "s/value=\"-42\"/value=\"2147483648\"/" _setup.xml' registry
# One path is one thing on the device, across characteristics, spellings
# and case (as CE folds it, non-ASCII letters too); a file's path is no
# directory's.
extract_into() {  # extract_into DIRECTORY NAME: a FileOperation directory extracting stowkey.001 as NAME
    printf '<characteristic type="%s" translation="install"><characteristic type="%s" translation="install"><characteristic type="Extract"><parm name="Source" value="stowkey.001"/><parm name="NoDateCheck"/></characteristic></characteristic></characteristic>' "$1" "$2"
}
with_operation() {  # with_operation XML: _setup.xml's FileOperation gains XML; no counts are given
    sed -i "s|<parm name=\"Num[A-Za-z]*\" value=\"[0-9]*\"/>||" _setup.xml
    awk -v add="$1" '/<characteristic type="FileOperation">/ { print; print add; next } { print }' _setup.xml >x && mv x _setup.xml
}
derive same-path-two-spellings "with_operation '$(extract_into '\WINDOWS' stowkey.exe)'"
derive same-path-folded-case "with_operation '$(extract_into '%CE2%' STOWKEY.EXE)'"
derive non-ascii-case "sed -i 's/stowkey.exe/\xc3\x84pp.exe/' _setup.xml; with_operation '$(extract_into '%CE2%' $'\xc3\xa4pp.exe')'"
derive file-under-file "with_operation '$(extract_into '%CE2%\stowkey.exe' inner.exe)'"
derive shortcut-on-file "with_operation '<characteristic type=\"%CE2%\" translation=\"install\"><characteristic type=\"stowkey.exe\" translation=\"install\"><characteristic type=\"Shortcut\"><parm name=\"Source\" value=\"%CE2%\\x.exe\" translation=\"install\"/></characteristic></characteristic></characteristic>'"
after_operations() {  # after_operations XML: _setup.xml's FileOperation ends with XML
    with_operation ''
    awk -v add="$1" '{ line[NR] = $0 } END { for (i = 1; i < NR - 1; i++) print line[i]; print add; print line[NR - 1]; print line[NR] }' \
        _setup.xml >x && mv x _setup.xml
}
# A moved program runs from where it went; a Delete of what the device
# does not hold, and a RemoveDir of a standard folder, are not modelled.
derive moved-program "after_operations '<characteristic type=\"%CE2%\" translation=\"install\"><characteristic type=\"moved.exe\" translation=\"install\"><characteristic type=\"Move\"><parm name=\"Source\" value=\"%CE2%\\stowkey.exe\" translation=\"install\"/></characteristic></characteristic></characteristic>'"
derive delete-coredll "after_operations '<characteristic type=\"%CE2%\" translation=\"install\"><characteristic type=\"coredll.dll\" translation=\"install\"><characteristic type=\"Delete\"/></characteristic></characteristic>'"
derive remove-fonts "after_operations '<characteristic type=\"%CE15%\" translation=\"install\"><characteristic type=\"RemoveDir\"/></characteristic>'"
derive untranslated 'sed -i "s|type=\"%CE2%\" translation=\"install\"|type=\"%CE2%\"|" _setup.xml'

installs pocketpc2003 "$work/processor.cab" 65 "the setup file is for processor 4660, and ARM devices take 2577 or 0"
installs pocketpc2003 "$work/any-processor.cab" 0 ""
installs pocketpc2003 "$work/up-to-4.20.cab" 0 ""
installs ce5.0 "$work/up-to-4.20.cab" 65 "the Windows CE 5.0 installer refuses it: it is for CE 3.0 to 4.20, and the device runs CE 5.0"
installs windowsmobile6 "$work/legacy-up-to-4.20.cab" 0 ""  # Windows Mobile checks no highest version
installs windowsmobile6 "$work/xml-up-to-4.20.cab" 0 ""
installs ce6.0 "$work/xml-up-to-4.20.cab" 65 "it is for CE 3.0 to 4.20, and the device runs CE 6.0"
installs pocketpc2003 "$work/keep.cab" 7 "" --device-file "$device_file"
traced 'kept \Windows\stowkey.exe' 'unload "stowkey project stowkey"'
installs pocketpc2003 "$work/no-flags.cab" 75 "\\Windows\\stowkey.exe is on the device, and the setup file gives no flag that says whether to replace it" --device-file "$device_file"
installs pocketpc2003 "$work/no-flags.cab" 0 ""  # nothing there to replace
installs pocketpc2003 "$device_dir/$kind/stowkey.cab" 0 "" --device-file "$device_file"
installs windowsmobile6 "$device_dir/$kind/stowkey.cab" 0 "" --device-file "$device_file"  # NoDateCheck
touch -d 2100-01-01 "$old_copy"
installs pocketpc2003 "$work/keep-newer.cab" 7 "" --device-file "$device_file"
touch -d 1979-12-31 "$old_copy"  # older than the derived CABs' 1980-01-01
installs pocketpc2003 "$work/keep-newer.cab" 0 "" --device-file "$device_file"
installs pocketpc2003 "$work/unknown-macro.cab" 65 "the path %CE9% holds %CE9%, a macro the installer does not know"
installs pocketpc2003 "$work/compressed.cab" 65 "the cabinet is compressed, and it installs only uncompressed ones"
installs ce4.2 "$work/compressed.cab" 75 "no source says whether the Windows CE 4.2 installer reads compressed cabinets"
installs windowsmobile6 "$work/compressed.cab" 0 ""
installs pocketpc2003 "$work/long-header.cab" 65 "its setup file stowkey.000 is malformed: its header says it is"
installs ce6.0 "$work/broken-xml.cab" 65 "its setup file _setup.xml is malformed: not well-formed XML"
installs ce5.0 "$work/broken-xml.cab" 65 "its setup file _setup.xml is malformed: not well-formed XML"  # it reads both
installs ce6.0 "$work/no-xml.cab" 75 "no source says whether the Windows Embedded CE 6.0 installer reads a .000 setup file"
installs ce5.0 "$work/no-xml.cab" 75 "no source says whether the Windows CE 5.0 installer needs both setup files, or reads one"
installs smartphone2003 "$work/no-xml.cab" 65 "the cabinet holds no _setup.xml, the only setup file it reads"
installs ce6.0 "$work/legacy-up-to-4.20.cab" 65 "it is for CE 3.0 to 4.20, and the device runs CE 6.0"  # read leniently, still refused
installs pocketpc2003 "$work/program-files.cab" 0 ""
traced 'wrote \Program Files\stowkey.exe (1536 bytes)' 'unload "stowkey project stowkey"'
# Each platform's macros: %CE8% is Pocket PC's, not Pocket PC 2000's;
# %CE11% is Pocket PC's and CE 6.0's, and no source gives it for Compact 7.
installs pocketpc2003 "$work/games.cab" 0 ""
traced 'wrote \Program Files\Games\stowkey.exe (1536 bytes)' 'unload "stowkey project stowkey"'
installs pocketpc2000 "$work/games.cab" 65 "the path %CE8% holds %CE8%, a macro the installer does not know"
installs ce6.0 "$work/start-menu.cab" 0 ""
traced 'wrote \Windows\Start Menu\Programs\stowkey.exe (1536 bytes)' 'unload "stowkey project stowkey"'
installs compact7 "$work/start-menu.cab" 75 "no source says which directory macros the Windows Embedded Compact 7 installer defines (%CE11% among them)"
installs ce6.0 "$work/doctype.cab" 75 "it has a DOCTYPE, which no setup file has and ce-run does not read"
installs ce6.0 "$work/registry-xml.cab" 0 ""
installs ce6.0 "$work/two-files-xml.cab" 75 "its NumFiles is 2, and it holds 1"
installs ce6.0 "$work/bad-version-xml.cab" 65 "OSVersionMin 'three' is not a version"
installs ce6.0 "$work/no-program.cab" 64 "the CAB installs no program: give --run PATH for the one to run, or --install-only"
installs ce6.0 "$work/no-program.cab" 0 "" --install-only
installs pocketpc2003 "$work/empty-name.cab" 65 "is malformed: file 1 has the name '', which is no file's name"
installs pocketpc2003 "$work/lowest-build.cab" 75 "no source says what build number the device has"
installs ce6.0 "$work/xml-highest-build-5.cab" 75 "no source says what build number the device has"
installs ce6.0 "$work/xml-highest-build-0.cab" 75 "no source says what build number the device has"
installs ce6.0 "$work/xml-highest-build-any.cab" 0 ""
installs ce6.0 "$work/xml-no-highest.cab" 75 "no source says whether an OSVersionMax of 0.0, or none, is no limit"
installs windowsmobile6 "$work/xml-no-highest.cab" 0 ""  # Windows Mobile checks no highest version
installs compact2013 "$work/xml-highest-0.0.cab" 75 "no source says whether an OSVersionMax of 0.0, or none, is no limit"
installs ce6.0 "$work/dot-dot.cab" 65 "the setup file names \\Windows\\..: it holds a . or .. component" \
    --device-file "\\stowkey.exe=$old_copy"
installs ce6.0 "$work/long-path.cab" 65 "characters long, and a device path is at most 259"
installs ce6.0 "$work/setup-source.cab" 65 "installs \\Windows\\stowkey.exe from the setup file _setup.xml"
installs pocketpc2003 "$work/file-zero.cab" 65 "installs \\Windows\\stowkey.exe from the setup file stowkey.000"
installs ce6.0 "$work/missing-source.cab" 65 "installs \\Windows\\stowkey.exe from *stowkey.002, which the cabinet does not hold"
installs pocketpc2003 "$work/high-byte.cab" 71 "high-byte.cab: \\Windows\\st\\x9bwkey.exe: instruction limit of 1 reached" --max-instructions 1
installs pocketpc2003 "$work/delete-byte.cab" 65 "the setup file names \\Windows\\st\\x7fwkey.exe: it holds a character no file name takes"
installs ce6.0 "$work/long-name.cab" 65 "its AppName is 71 characters long, more than the 70 the Install CSP takes"
installs ce6.0 "$work/two-extracts.cab" 75 "the file stowkey.exe has 2 operations; ce-run models one a file"
installs ce6.0 "$work/extract-and-delete.cab" 75 "the file stowkey.exe has 2 operations"
installs ce6.0 "$work/unknown-parm.cab" 75 "the Install parm 'Frobnicate' is not one ce-run knows"
installs ce6.0 "$work/miscased-parm.cab" 75 "the Install parm 'appname' is not one ce-run knows (names are case-sensitive)"
# The Pocket PCs' platform name is "Palm PC"; which the others answer to no source says.
installs pocketpc2003 "$work/unsupported.cab" 0 ""
installs pocketpc2003 "$work/unsupported-palm-pc.cab" 75 "no source says what the Pocket PC 2003 installer does when nobody passes its warning of an unsupported platform"
installs ce4.2 "$work/unsupported.cab" 75 "no source says which platform name the Windows CE 4.2 installer answers to"
installs windowsmobile6 "$work/unsupported-xml.cab" 0 ""
installs ce6.0 "$work/unsupported-xml.cab" 75 "no source says which platform name the Windows Embedded CE 6.0 installer answers to"
# Windows Mobile takes _setup.xml when a CAB holds both; CE 5.0 reads both.
installs windowsmobile6 "$work/disagreeing.cab" 0 ""
traced 'wrote \Program Files\stowkey.exe (1536 bytes)' 'unload "stowkey project stowkey"'
installs pocketpc2003 "$work/disagreeing.cab" 0 ""
traced 'wrote \Windows\stowkey.exe (1536 bytes)' 'unload "stowkey project stowkey"'
installs windowsmobile6 "$work/disagreeing.cab" 76 "its two setup files do not install the same on the Windows Mobile 6 platform: stowkey.000 leaves \\Windows\\stowkey.exe" --compare-setup-files
installs windowsmobile6 "$device_dir/$kind/stowkey.cab" 0 "" --compare-setup-files
installs ce5.0 "$work/disagreeing.cab" 75 "its two setup files describe different installs"
# One install under two unload names is two installs.
installs windowsmobile6 "$work/other-app-name.cab" 76 "stowkey.000 leaves the unload name \"stowkey project stowkey\", _setup.xml does not" --compare-setup-files
installs ce5.0 "$work/other-app-name.cab" 75 "its two setup files describe different installs (the .000 leaves the unload name"
installs ce6.0 "$work/two-programs.cab" 64 "the CAB installs the programs \\Windows\\copy.exe, \\Windows\\stowkey.exe: give --run PATH"
installs ce6.0 "$work/two-programs.cab" 0 "" --run '\Windows\copy.exe'
# Each macro on each family of platforms: its path where the family
# defines it (sources.md, section 7), else a macro the installer does not
# know. Pocket PC's table is Windows Mobile 6's; Compact 7 and Smartphone
# 2003 have only what every table agrees on, Smartphone 2003 behind its
# \Storage; Pocket PC 2000's, which reads only the .000, is tried on the
# macros that keep the .000's layout (%CE1% to %CE9%). Where no source
# gives the table, a macro outside the common six is an open question.
while read -r number path families; do
    derive "macro-$number" "sed -i 's/%CE2%/%CE$number%/' _setup.xml"
    [ "$number" -gt 9 ] || derive "legacy-macro-$number" "sed -i 's/%CE2%/%CE$number%/' stowkey.000"
    for platform in windowsmobile6:pocketpc: compact7:common: smartphone2003:common:\\Storage pocketpc2000:2000:; do
        IFS=: read -r name family volume <<<"$platform"
        cab=$work/macro-$number.cab
        if [ "$name" = pocketpc2000 ]; then
            [ "$number" -le 9 ] || continue
            cab=$work/legacy-macro-$number.cab
        fi
        if [[ " $families " == *" $family "* ]]; then
            installs "$name" "$cab" 0 "" --install-only
            grep -qxF "install: wrote $volume${path//_/ }\\stowkey.exe (1536 bytes)" "$work/trace" ||
                fail "%CE$number% on $name is not $volume${path//_/ }: $(grep '^install: wrote' "$work/trace")"
        elif [ "$family" = common ] && [ "$number" -le 17 ]; then  # no source gives its table
            installs "$name" "$cab" 75 "no source says which directory macros the" --install-only
        else
            installs "$name" "$cab" 65 "holds %CE$number%, a macro the installer does not know" --install-only
        fi
    done
done <<'EOF_MACROS'
1 \Program_Files 2000 pocketpc common
2 \Windows 2000 pocketpc common
3 -
4 \Windows\StartUp 2000 pocketpc common
5 \My_Documents 2000 pocketpc common
6 -
7 -
8 \Program_Files\Games pocketpc common
9 -
10 -
11 \Windows\Start_Menu\Programs 2000 pocketpc
12 -
13 -
14 \Windows\Start_Menu\Programs\Games 2000 pocketpc
15 \Windows\Fonts 2000 pocketpc common
16 -
17 \Windows\Start_Menu 2000 pocketpc
EOF_MACROS
echo "checked: derived CABs under ce-run's installers"

# --- CABs as CabWiz makes them ------------------------------------------
# app.cab: files in %CE1%\App and a folder in it, a shortcut in %CE11%, a
# registry value with a macro, a setup DLL, in both setup files.
app=$test_cabs/app.cab
installs pocketpc2003 "$app" 75 "ce-run cannot tell what the Pocket PC 2003 installer does with it: it has the setup DLL app.999, which ce-run does not run"
installs pocketpc2003 "$app" 65 "the Pocket PC 2003 installer does not install it: its setup DLL app.999 cancels the install in Install_Init" --setup-dll cancel
traced 'setup DLL app.999: Install_Init(first call, not installed before, "\Program Files\App") = 1, cancel'
installs pocketpc2003 "$app" 0 "" --setup-dll continue
traced 'setup DLL app.999: Install_Init(first call, not installed before, "\Program Files\App") = 0, continue' \
    'made \Program Files\App' 'made \Program Files\App\Data' \
    'wrote \Program Files\App\App.exe (1536 bytes)' 'wrote \Program Files\App\Readme.txt (9 bytes), shared: 1 reference' \
    'wrote \Program Files\App\Data\Data.bin (5 bytes)' \
    'shortcut \Windows\Start Menu\Programs\App.lnk to \Program Files\App\App.exe' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Vendor\App: ProgramFilesDir = string "\\Program Files"' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Vendor\App: Version = dword 5' \
    'setup DLL app.999: Install_Exit("\Program Files\App", no failures) = 0, done' 'unload "Vendor App"'
installs windowsmobile6 "$app" 0 "" --setup-dll continue
traced 'setup DLL app.999: Install_Init(first call, not installed before, "\Program Files\App") = 0, continue' \
    'made \Program Files\App' 'wrote \Program Files\App\App.exe (1536 bytes)' \
    'wrote \Program Files\App\Readme.txt (9 bytes), shared: 1 reference' 'made \Program Files\App\Data' \
    'wrote \Program Files\App\Data\Data.bin (5 bytes)' \
    'shortcut \Windows\Start Menu\Programs\App.lnk to \Program Files\App\App.exe' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Vendor\App: ProgramFilesDir = string "\\Program Files"' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Vendor\App: Version = dword 5' \
    'setup DLL app.999: Install_Exit("\Program Files\App", no failures) = 0, done' 'unload "Vendor App"'
installs pocketpc2000 "$app" 0 "" --setup-dll continue
installs ce4.2 "$app" 75 "no source says which directory macros the Windows CE 4.2 installer defines (%CE11% among them)"
installs compact7 "$app" 65 "it is for CE 3.0 to 5.99, and the device runs CE 7.0"
installs windowsmobile6 "$app" 0 "" --setup-dll continue --compare-setup-files
installs pocketpc2003 "$app" 0 "" --setup-dll continue --compare-setup-files
installs windowsmobile6 "$app" 0 "" --setup-dll continue --install-only
grep -q '^RegFlushKey' "$work/trace" && fail "--install-only ran the program"
installs windowsmobile6 "$app" 65 "\\Program Files\\App\\Readme.txt: not a PE image" --setup-dll continue --run '\Program Files\App\Readme.txt'
installs windowsmobile6 "$app" 64 "--run: \\Windows\\App.exe is not on the device after the install" --setup-dll continue --run '\Windows\App.exe'
# registry.cab: a value of each type of each setup file.
installs pocketpc2003 "$test_cabs/registry.cab" 0 "" --install-only --device-value 'HKCU\Test\Kept=old'
traced 'wrote \Windows\stowkey.exe (1536 bytes)' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Test: Text = string "plain"' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Test: Place = string "\\Windows\\stowkey.exe"' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Test: List = multi_string "one", "two"' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Test: Blob = binary 01 02 ff' \
    'registry HKEY_CURRENT_USER\Test: Count = dword 42' \
    'kept registry HKEY_CURRENT_USER\Test: Kept' \
    'registry HKEY_CURRENT_USER\Test: (default) = string "default"' 'unload "Test Registry"'
installs pocketpc2003 "$test_cabs/registry.cab" 0 "" --install-only
grep -qF 'registry HKEY_CURRENT_USER\Test: Kept = string "new"' "$work/trace" || fail "no value is there to keep, and Kept is not written"
installs windowsmobile6 "$test_cabs/registry.cab" 0 "" --install-only
traced 'wrote \Windows\stowkey.exe (1536 bytes)' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Test: Text = string "plain"' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Test: Place = string "\\Windows\\stowkey.exe"' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Test: List = multi_string "one", "two"' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Test: Blob = binary "AQL/"' \
    'registry HKEY_LOCAL_MACHINE\SOFTWARE\Test: Ratio = float 1.5' \
    'registry HKEY_CURRENT_USER\Test: Count = dword -42' \
    'registry HKEY_CURRENT_USER\Test: Flag = boolean 1' 'unload "Test Registry"'
# Each table of the .000 read with its checks, and the XML's parts.
derive bad-root 'put16 registry.000 $(($(u32 registry.000 72) + 2)) 5' registry
derive missing-hive 'put16 registry.000 $(($(u32 registry.000 76) + 2)) 9' registry
derive short-dword 'put32 registry.000 $(($(u32 registry.000 76) + 6)) 65537' registry
derive single-zero-strings 'put32 registry.000 $(($(u32 registry.000 76) + 6)) 65536' registry
derive missing-target 'put16 app.000 $(($(u32 app.000 80) + 6)) 9' app
derive install-dir-link 'put16 app.000 $(($(u32 app.000 80) + 2)) 0; put16 app.000 $(($(u32 app.000 80) + 4)) 0' app
derive missing-link-directory 'put16 app.000 $(($(u32 app.000 80) + 2)) 9' app
derive folder-link 'put16 app.000 $(($(u32 app.000 80) + 6)) 0; put16 app.000 $(($(u32 app.000 80) + 8)) 0' app
derive self-register 'put32 app.000 $(($(u32 app.000 68) + 6)) $((0x50000000))' app
derive unknown-flag 'put32 app.000 $(($(u32 app.000 68) + 6)) $((0x40000100))' app
derive padded-zero 'printf A | dd of=app.000 bs=1 seek=$(($(u32 app.000 60) + 14)) conv=notrunc status=none' app
derive other-root 'sed -i "s|HKCU\\\\Test|XYZ\\\\Test|" _setup.xml' registry
derive unknown-datatype 'sed -i "s/datatype=\"float\"/datatype=\"double\"/" _setup.xml' registry
derive boolean-2 'sed -i "s/value=\"1\" datatype=\"boolean\"/value=\"2\" datatype=\"boolean\"/" _setup.xml' registry
derive unended-strings 'sed -i "s/value=\"one&#xF000;two&#xF000;&#xF000;\"/value=\"one\"/" _setup.xml' registry
derive setup-dll-parm 'sed -i "s|<parm name=\"AppName\"|<parm name=\"SetupDLL\" value=\"1\" /><parm name=\"AppName\"|" _setup.xml' registry
derive unnamed-setup-dll 'sed -i "/SetupDLL/d" _setup.xml' app
derive shortcut-without-source 'sed -i "/%InstallDir%\\\\App.exe/d" _setup.xml' app
derive file-without-operation 'sed -i "/Readme.txt/{n;N;N;N;N;d}" _setup.xml' app
derive no-characteristic 'sed -i "s|<characteristic type=\"MakeDir\" />|<nocharacteristic type=\"MakeDir\" />|" _setup.xml' app
installs pocketpc2003 "$work/bad-root.cab" 65 "registry hive 1 has the root 5, not 1 to 4" --install-only
installs pocketpc2003 "$work/missing-hive.cab" 65 "registry value 1 is in hive 9, which is not there" --install-only
installs pocketpc2003 "$work/short-dword.cab" 65 "registry value Text is a DWORD of 6 bytes" --install-only
installs pocketpc2003 "$work/single-zero-strings.cab" 65 "registry value Text is not strings ended by two 0s" --install-only
installs pocketpc2003 "$work/missing-target.cab" 65 "shortcut 1 leads to file 9, which is not there" --setup-dll continue
# A .000 link: its folder by directory id, else by base (0: %InstallDir%,
# the .000's string 1); its target a file, or a directory (0: %InstallDir%).
installs pocketpc2003 "$work/install-dir-link.cab" 0 "" --setup-dll continue --install-only
grep -qxF 'install: shortcut \Program Files\App\App.lnk to \Program Files\App\App.exe' "$work/trace" ||
    fail "a link of base 0 is not in %InstallDir%: $(grep shortcut "$work/trace")"
installs pocketpc2003 "$work/folder-link.cab" 0 "" --setup-dll continue --install-only
grep -qxF 'install: shortcut \Windows\Start Menu\Programs\App.lnk to \Program Files\App' "$work/trace" ||
    fail "a folder link to 0 does not lead to %InstallDir%: $(grep shortcut "$work/trace")"
installs pocketpc2003 "$work/missing-link-directory.cab" 65 "shortcut 1 goes into directory 9, which is not there" --setup-dll continue
installs pocketpc2003 "$work/self-register.cab" 0 "" --setup-dll continue --install-only
grep -qxF 'install: wrote \Program Files\App\App.exe (1536 bytes), self-registering: ce-run does not run its registration' "$work/trace" ||
    fail "a self-registering file is not traced so: $(grep App.exe "$work/trace")"
installs pocketpc2003 "$work/unknown-flag.cab" 75 "file 1 has the flags 0x40000100, which ce-run does not model" --setup-dll continue
installs pocketpc2003 "$work/padded-zero.cab" 65 "string 1 at 116 holds a 0 before its end" --setup-dll continue
installs windowsmobile6 "$work/other-root.cab" 65 "the registry key 'XYZ\Test' is not under HKCR, HKCU, HKLM or HKU" --install-only
installs windowsmobile6 "$work/unknown-datatype.cab" 75 "the registry value HKLM\SOFTWARE\Test\Ratio has the datatype 'double', which ce-run does not model" --install-only
installs windowsmobile6 "$work/boolean-2.cab" 65 "the registry value HKCU\Test\Flag '2' is not a boolean (0 or 1)" --install-only
installs windowsmobile6 "$work/unended-strings.cab" 65 "the registry value HKLM\SOFTWARE\Test\List is not strings ended by two U+F000" --install-only
installs windowsmobile6 "$work/setup-dll-parm.cab" 75 "its _setup.xml names a setup DLL, and the cabinet holds no .999" --install-only
installs windowsmobile6 "$work/unnamed-setup-dll.cab" 75 "the cabinet holds the setup DLL app.999, which its _setup.xml does not name" --setup-dll continue
installs windowsmobile6 "$work/shortcut-without-source.cab" 65 "the file App.lnk's Shortcut has no Source" --setup-dll continue
installs windowsmobile6 "$work/file-without-operation.cab" 65 "the file Readme.txt has no operation" --setup-dll continue
installs windowsmobile6 "$work/no-characteristic.cab" 75 "holds a nocharacteristic element, which ce-run does not model there" --setup-dll continue
installs ce6.0 "$work/same-path-two-spellings.cab" 75 "the setup file extracts \\WINDOWS\\stowkey.exe and extracts \\Windows\\stowkey.exe, and which wins on the device no source says"
installs ce6.0 "$work/same-path-folded-case.cab" 75 "the setup file extracts \\Windows\\STOWKEY.EXE and extracts \\Windows\\stowkey.exe"
installs ce6.0 "$work/non-ascii-case.cab" 75 "the setup file extracts \\Windows\\\xc3\xa4pp.exe and extracts \\Windows\\\xc3\x84pp.exe"
installs ce6.0 "$work/file-under-file.cab" 75 "the setup file extracts \\Windows\\stowkey.exe\\inner.exe and extracts \\Windows\\stowkey.exe"
installs ce6.0 "$work/shortcut-on-file.cab" 75 "the setup file makes a shortcut at \\Windows\\stowkey.exe and extracts \\Windows\\stowkey.exe"
installs ce6.0 "$work/moved-program.cab" 0 ""
grep -qxF 'install: moved \Windows\stowkey.exe to \Windows\moved.exe' "$work/trace" ||
    fail "the Move is not traced: $(grep '^install:' "$work/trace")"
installs ce6.0 "$work/delete-coredll.cab" 75 "\\Windows\\coredll.dll, which the setup file deletes, is not on the device ce-run models"
installs ce6.0 "$work/remove-fonts.cab" 75 "the setup file removes \\Windows\\Fonts, a standard folder of the device"
# Macros are expanded only where translation="install" asks.
installs ce6.0 "$work/untranslated.cab" 65 "the setup file names %CE2%: it is not a full device path"
installs windowsmobile6 "$work/integer-out-of-range.cab" 65 "the registry value HKCU\\Test\\Count '2147483648' is not a signed 32-bit integer, which the Registry provider fails on"
# operations.cab: Copy, Move, Delete and RemoveDir on files already there.
echo original >"$work/original.txt"
installs ce6.0 "$test_cabs/operations.cab" 0 "" --device-file "\\My Documents\\original.txt=$work/original.txt" \
    --device-file "\\My Documents\\old.txt=$work/original.txt" \
    --device-file "\\My Documents\\Emptied\\gone.txt=$work/original.txt"
traced 'made \My Documents\Work' 'wrote \My Documents\Work\stowkey.exe (1536 bytes)' \
    'copied \My Documents\original.txt to \My Documents\Work\copy.txt' \
    'moved \My Documents\old.txt to \My Documents\Work\moved.txt' \
    'deleted \My Documents\Emptied\gone.txt' 'removed \My Documents\Emptied' 'unload "Test Operations"'
installs ce6.0 "$test_cabs/operations.cab" 75 "\\My Documents\\original.txt, which the setup file copies or moves to \\My Documents\\Work\\copy.txt, is not on the device, and what the installer does then is unsourced"
# provisioning.cab: a file, then a nested document (as /postxml writes it)
# whose certificate and policies go into the device's stores and policies
# where the CAB's role has the Manager's rights, and nowhere else.
installs windowsmobile6 "$test_cabs/provisioning.cab" 0 "" --security one-tier-prompt --answer yes \
    --policy 4119=16 --install-only
traced 'made \Program Files\Provisioned' 'wrote \Program Files\Provisioned\tool.exe (1536 bytes)' \
    "add certificate d138b10a187faac642b56433e62fc23702e7fc83 to the SPC store, role 222 (OEM | OPERATOR | MANAGER | USER_AUTH | USER_UNAUTH | OPERATOR_TPS)" \
    "add certificate d138b10a187faac642b56433e62fc23702e7fc83 to the Privileged Execution Trust Authorities store" \
    "set policy 4102 = 0" "set policy 4097 = 2 (a policy whose effect ce-run does not model)" \
    'unload "Test Provisioning"'
# The program it installed is refused then: the CAB set policy 4102 to 0.
installs windowsmobile6 "$test_cabs/provisioning.cab" 65 "refuses unsigned programs (policy 4102 = 0)" \
    --security one-tier-prompt --answer yes --policy 4119=16
# Without the Manager's rights the whole document is refused: nothing is made.
installs windowsmobile6 "$test_cabs/provisioning.cab" 65 "needs the Manager role's rights, and the CAB installs with role 16 (USER_AUTH); the whole document is rolled back" \
    --security one-tier-prompt --answer yes
[ -z "$(grep '^install: ' "$work/trace")" ] || fail "a refused document made: $(cat "$work/trace")"
echo "checked: CABs as CabWiz makes them"

# --- scripts/pack-cab's refusals ------------------------------------------
# Each row: status, text of the one "pack-cab: " line, the arguments.
pack_cab_refuses() {
    local status=$1 text=$2 actual
    shift 2
    "$source_dir/scripts/pack-cab" "$@" >/dev/null 2>"$work/err" && actual=0 || actual=$?
    [ "$actual" = "$status" ] && [ "$(wc -l <"$work/err")" = 1 ] && grep -q '^pack-cab: ' "$work/err" &&
        grep -qF -- "$text" "$work/err" ||
        fail "pack-cab $*: status $actual, not $status '$text': $(cat "$work/err")"
}
mkdir "$work/packed"
pack_cab_refuses 73 "cannot write $work/packed: it is a folder" \
    "$base/stowkey.000" "$base/_setup.xml" "$base/stowkey.001" "$work/packed"
pack_cab_refuses 66 "cannot read $work/missing: no such file" \
    "$work/missing" "$base/_setup.xml" "$base/stowkey.001" "$work/packed/x.cab"
pack_cab_refuses 73 "cannot write $work/no/such/x.cab: $work/no/such is not a folder that can be written" \
    "$base/stowkey.000" "$base/_setup.xml" "$base/stowkey.001" "$work/no/such/x.cab"
pack_cab_refuses 64 "the date 'soon' is not seconds since 1970" \
    "$base/stowkey.000" "$base/_setup.xml" "$base/stowkey.001" "$work/packed/x.cab" soon
[ -z "$(ls -A "$work/packed")" ] || fail "a refused pack-cab left $(ls -A "$work/packed")"
# A relative CAB path, and a folder whose name starts with "-": packed
# there, as cabextract reads it, and nothing else left.
mkdir -- "$work/packed/-folder"
(cd "$work/packed" && "$source_dir/scripts/pack-cab" "$base/stowkey.000" "$base/_setup.xml" \
    "$base/stowkey.001" -folder/relative.cab 315532800 2>"$work/err") ||
    fail "pack-cab with a relative path into -folder: $(cat "$work/err")"
[ "$(cabextract -l "$work/packed/-folder/relative.cab" 2>/dev/null | awk '$2 == "|" { print $NF }' | tr '\n' ' ')" = \
    "stowkey.000 _setup.xml stowkey.001 " ] && [ ! -s "$work/err" ] &&
    [ "$(ls -A "$work/packed/-folder")" = relative.cab ] ||
    fail "pack-cab into -folder/relative.cab: $(ls -A "$work/packed/-folder") $(cat "$work/err")"
echo "checked: pack-cab's refusals"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: the CABs hold both setup files and the image, and the setup files say what each kind needs"
