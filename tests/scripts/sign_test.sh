#!/usr/bin/env bash
# scripts/sign, with a throwaway CA made here (root, intermediate, signer;
# no key is ever kept): the signed images verify against the root, differ
# from the unsigned ones only by the certificate table, the security
# directory and the checksum, load and run under ce-run exactly as the
# unsigned ones do, and come out the same twice for the same key and
# SOURCE_DATE_EPOCH; the signed CABs verify and hold the signed image. Each bad input gets its own status and one "sign: "
# line, and leaves no file behind.
#
# usage: sign_test.sh SOURCE_DIR DEVICE_DIR CE_RUN SIGNED_DIR [security-only]
# (SIGNED_DIR receives the signed images, for the scenario table to run).
# With security-only, the rows that run only scripts/sign (bad input, the
# interruption, the same bytes twice) are left out: the sanitized preset
# runs the rows that run ce-run, the plain preset all.
set -euo pipefail
source_dir=$1 device_dir=$2 ce_run=$3 signed_dir=$4 only=${5:-}
sign=$source_dir/scripts/sign
kinds_list=$("$source_dir/scripts/kinds" "$device_dir")
read -r -d '' -a kinds <<<"$kinds_list" || :
# The rows below that need one kind take the first the build lists, and
# those that need two the first and the last; those that run a kind's
# files on Windows Mobile take the ARMv4 kind, wherever it stands.
first=${kinds[0]} last=${kinds[-1]}
# The ARMv4 kind from CE 3.0 that reaches the highest release, whose image
# every platform of the security rows runs, wherever the table lists it.
armv4=$(awk '$1 !~ /^#/ && $2 == "0x01C0" && $3 == "3.0" && ($4 + 0 > best || kind == "") { best = $4 + 0; kind = $1 } END { print kind }' "$device_dir/kinds")
epoch=1765152000
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$source_dir/scripts/install-packages" osslsigncode openssl
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# --- the throwaway CA -------------------------------------------------
cat >ca.cnf <<'EOF'
[ca]
default_ca = throwaway
[throwaway]
dir = .
database = index.txt
new_certs_dir = issued
serial = serial
default_md = sha256
policy = anything
copy_extensions = none
unique_subject = no
[anything]
commonName = supplied
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[signer]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[server]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
[no_signature]
basicConstraints = CA:false
keyUsage = critical, keyEncipherment
extendedKeyUsage = codeSigning
EOF
mkdir issued && touch index.txt && echo 01 >serial
quiet() { "$@" >openssl.log 2>&1 || { cat openssl.log; echo "FAIL: $*"; exit 1; }; }
new_key() { quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"; }
issue() {  # issue NAME EXTENSIONS ISSUER [START END]: NAME.key, NAME.pem
    local name=$1 extensions=$2 issuer=$3 dates=(-days 30)
    [ $# -lt 5 ] || dates=(-startdate "$4" -enddate "$5")
    new_key "$name.key"
    quiet openssl req -new -key "$name.key" -subj "/CN=stowkey test $name" -out "$name.csr"
    quiet openssl ca -batch -config ca.cnf -cert "$issuer.pem" -keyfile "$issuer.key" \
        -extensions "$extensions" "${dates[@]}" -in "$name.csr" -out "$name.pem" -notext
}
new_key root.key
quiet openssl req -new -x509 -key root.key -subj "/CN=stowkey test root" -days 30 \
    -config ca.cnf -extensions root -out root.pem
issue intermediate intermediate root
issue signer signer intermediate
cat signer.pem intermediate.pem >signer-chain.pem
issue expired signer intermediate 20200101000000Z 20210101000000Z
issue future signer intermediate 20990101000000Z 20991231000000Z
issue server server intermediate
issue no-signature no_signature intermediate
printf 'correct horse\n' >password
printf 'wrong horse\n' >wrong-password
quiet openssl pkey -in signer.key -aes256 -passout file:password -out signer-encrypted.key
quiet openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile intermediate.pem \
    -passout file:password -out signer.p12
printf 'correct horse\r\n' >crlf-password
printf 'correct horse\nand a second line\n' >two-line-password
: >empty-password
cp signer-encrypted.key ./-signer.key
printf 'not a certificate\n' >garbage.pem
mkdir a-folder
touch a-file
# Images in a folder whose name starts with "-", as --images may name them.
mkdir -- -images
cp -r "${kinds[@]/#/$device_dir/}" "$device_dir/kinds" -- -images/
# Images whose CABs are missing, or hold another image.
mkdir no-cab mismatched no-images
cp "$device_dir/kinds" no-cab/
cp "$device_dir/kinds" mismatched/
cp "$device_dir/kinds" no-images/
for kind in "${kinds[@]}"; do
    mkdir "no-cab/$kind" "mismatched/$kind"
    cp "$device_dir/$kind/stowkey.exe" "no-cab/$kind/"
    cp "$device_dir/$kind/stowkey.exe" "$device_dir/$kind/stowkey.cab" "mismatched/$kind/"
done
cp "$device_dir/$last/stowkey.cab" "mismatched/$first/"
cp garbage.pem "mismatched/$last/stowkey.cab"
# A PATH without osslsigncode.
mkdir no-osslsigncode
for tool in /usr/bin/* /bin/*; do
    [ "$(basename "$tool")" = osslsigncode ] || ln -sf "$tool" no-osslsigncode/
done

# --- bad input ----------------------------------------------------------
# Each row: status, text the one "sign: " line must hold, then the
# arguments (and environment) of scripts/sign. $setup, when set, prepares
# the output folder first. Neither the output folder nor any unsigned image
# may change.
setup=""
unsigned_sums() { sha256sum "$device_dir"/*/stowkey.exe -- -images/*/stowkey.exe; }
output_sums() { [ ! -e out ] || { find out -type f -exec sha256sum {} + | sort; find out -type d | sort; }; }
bad() {
    local status=$1 text=$2 actual before_images before_output
    shift 2
    rm -rf out
    eval "$setup"
    before_images=$(unsigned_sums) before_output=$(output_sums)
    env "$@" >stdout 2>stderr </dev/null && actual=0 || actual=$?
    local row="[$*]"
    [ "$actual" = "$status" ] || fail "$row: status $actual, not $status: $(cat stderr)"
    [ "$(wc -l <stderr)" = 1 ] && grep -q "^sign: " stderr ||
        fail "$row: not one 'sign: ' line: $(cat stderr)"
    grep -qF -- "$text" stderr || fail "$row: '$text' is not in: $(cat stderr)"
    [ "$(output_sums)" = "$before_output" ] || fail "$row: changed the output folder: $(output_sums)"
    [ "$(unsigned_sums)" = "$before_images" ] || fail "$row: changed an unsigned image"
    setup=""
}
good=(--cert signer-chain.pem --key signer.key --images "$device_dir")
if [ "$only" != security-only ]; then
"$sign" --help >stdout 2>stderr && [ ! -s stderr ] && head -n 1 stdout | grep -q "^usage: scripts/sign " ||
    fail "scripts/sign --help does not print its usage and exit 0"
bad 2 "no output folder" "$sign" "${good[@]}"
bad 2 "unknown option --verbose" "$sign" --verbose "${good[@]}" out
bad 2 "give --cert and --key, or --pkcs12" "$sign" --cert signer.pem --images "$device_dir" out
bad 2 "not both" "$sign" "${good[@]}" --pkcs12 signer.p12 out
bad 2 "a password is not taken on the command line" "$sign" "${good[@]}" --password secret out
bad 2 "--digest is 'md5'" "$sign" "${good[@]}" --digest md5 out
bad 2 "SOURCE_DATE_EPOCH is 'yesterday'" SOURCE_DATE_EPOCH=yesterday "$sign" "${good[@]}" out
bad 2 "the unsigned images would be overwritten" "$sign" "${good[@]}" "$device_dir"
bad 3 "cannot read the certificate missing.pem: no such file" \
    "$sign" --cert missing.pem --key signer.key --images "$device_dir" out
bad 3 "cannot read the key missing.key: no such file" \
    "$sign" --cert signer.pem --key missing.key --images "$device_dir" out
bad 3 "cannot read the certificate a-folder: not a readable file" \
    "$sign" --cert a-folder --key signer.key --images "$device_dir" out
bad 3 "cannot read the certificate garbage.pem: not a PEM certificate" \
    "$sign" --cert garbage.pem --key signer.key --images "$device_dir" out
bad 3 "cannot read the key garbage.pem: not a PEM private key" \
    "$sign" --cert signer.pem --key garbage.pem --images "$device_dir" out
bad 3 "cannot read the PKCS#12 bundle garbage.pem: not a PKCS#12 file" \
    "$sign" --pkcs12 garbage.pem --images "$device_dir" out
bad 3 "cannot read the list of kinds $work/kinds: no such file" "$sign" --cert signer.pem --key signer.key --images "$work" out
bad 3 "cannot read the image no-images/$first/stowkey.exe: no such file" "$sign" --cert signer.pem --key signer.key --images no-images out
bad 3 "cannot read the password file missing: no such file" "$sign" "${good[@]}" --password-file missing out
bad 4 "wrong password for the key signer-encrypted.key" \
    "$sign" --cert signer.pem --key signer-encrypted.key --password-file wrong-password --images "$device_dir" out
bad 4 "the key signer-encrypted.key is encrypted" \
    "$sign" --cert signer.pem --key signer-encrypted.key --images "$device_dir" out
bad 4 "wrong password for the PKCS#12 bundle signer.p12" \
    PASSWORD="wrong horse" "$sign" --pkcs12 signer.p12 --password-env PASSWORD --images "$device_dir" out
bad 4 "the environment variable UNSET_PASSWORD, which should hold the password, is not set" \
    "$sign" --pkcs12 signer.p12 --password-env UNSET_PASSWORD --images "$device_dir" out
bad 5 "the key does not match the certificate in server.pem" \
    "$sign" --cert server.pem --key signer.key --images "$device_dir" out
bad 6 "the certificate 'CN = stowkey test expired' expired on Jan  1 00:00:00 2021 GMT" \
    "$sign" --cert expired.pem --key expired.key --images "$device_dir" out
bad 6 "the certificate 'CN = stowkey test future' is not valid before Jan  1 00:00:00 2099 GMT" \
    "$sign" --cert future.pem --key future.key --images "$device_dir" out
bad 7 "'CN = stowkey test server' is not for code signing: it has no extended key usage Code Signing" \
    "$sign" --cert server.pem --key server.key --images "$device_dir" out
bad 7 "'CN = stowkey test no-signature' is not for code signing: its key usage lacks Digital Signature" \
    "$sign" --cert no-signature.pem --key no-signature.key --images "$device_dir" out
bad 8 "cannot write to the output folder a-file/out" "$sign" "${good[@]}" a-file/out
bad 9 "osslsigncode could not sign $device_dir/$first/stowkey.exe: " \
    "$sign" "${good[@]}" --timestamp http://127.0.0.1:9 out
grep -q "failure: .*http://127.0.0.1:9" stderr || fail "the refusal does not say why: $(cat stderr)"
# Paths that start with "-", and destinations that lead into the images.
bad 2 "the unsigned images would be overwritten" \
    "$sign" --cert signer-chain.pem --key signer.key --images -images ./-images
setup='mkdir out && ln -s "$work/-images/$last" out/$last'
bad 2 "out/$last is, or resolves into, the images' own folder" \
    "$sign" --cert signer-chain.pem --key signer.key --images -images out
bad 4 "wrong password for the key ./-signer.key" \
    "$sign" --cert signer.pem --key -signer.key --password-file wrong-password --images "$device_dir" out
# Destinations that cannot take their file: nothing lands, what was there stays.
setup='mkdir out && touch out/$last'
bad 8 "cannot write to out/$last: it is not a folder" "$sign" "${good[@]}" out
setup='mkdir -p out/$first out/$last/stowkey.exe && echo previous >out/$first/stowkey.exe'
bad 8 "cannot write out/$last/stowkey.exe: it is a folder" "$sign" "${good[@]}" out
# Passwords: a missing one is 4 whatever the file holds.
bad 4 "the first line of the password file empty-password is empty" \
    "$sign" --cert signer.pem --key signer-encrypted.key --password-file empty-password --images "$device_dir" out
bad 2 "--password-env is given twice" \
    PASSWORD=x "$sign" "${good[@]}" --password-env PASSWORD --password-env PASSWORD out
bad 2 "SOURCE_DATE_EPOCH is 2524608000, in 2050 or later" \
    SOURCE_DATE_EPOCH=2524608000 "$sign" "${good[@]}" out
bad 3 "cannot read the CAB no-cab/$first/stowkey.cab: no such file" \
    "$sign" --cert signer-chain.pem --key signer.key --images no-cab out
bad 3 "the CAB mismatched/$first/stowkey.cab does not hold the image mismatched/$first/stowkey.exe" \
    "$sign" --cert signer-chain.pem --key signer.key --images mismatched out
rm mismatched/$first/stowkey.cab && cp "$device_dir/$first/stowkey.cab" mismatched/$first/
bad 3 "cannot read the CAB mismatched/$last/stowkey.cab: not a cabinet of the two setup files" \
    "$sign" --cert signer-chain.pem --key signer.key --images mismatched out
# A CAB of the legacy setup file and the image alone, as stowkey 1.0.0 packed it.
(cabextract -q -d legacy "$device_dir/$last/stowkey.cab" && rm legacy/_setup.xml &&
    gcab --create --nopath mismatched/$last/stowkey.cab legacy/stowkey.000 legacy/stowkey.001)
bad 3 "cannot read the CAB mismatched/$last/stowkey.cab: not a cabinet of the two setup files" \
    "$sign" --cert signer-chain.pem --key signer.key --images mismatched out
setup='mkdir -p out/$last/stowkey.cab'
bad 8 "cannot write out/$last/stowkey.cab: it is a folder" "$sign" "${good[@]}" out
# A kind folder of the images that is a link into the output.
setup='rm -rf linked && mkdir -p linked out/$last && cp -r "$device_dir/$first" "$device_dir/kinds" linked/ &&
       cp "$device_dir"/$last/stowkey.* out/$last/ && ln -s "$work/out/$last" linked/$last'
bad 2 "linked/$last resolves into the output folder out: the unsigned images would be overwritten" \
    "$sign" --cert signer-chain.pem --key signer.key --images linked out
# A move that fails (a file that may not be replaced): the kind folder the
# run made goes again.
if touch immutable && chattr +i immutable 2>/dev/null; then
    chattr -i immutable
    setup='mkdir -p out/$last && echo previous >out/$last/stowkey.exe && chattr +i out/$last/stowkey.exe'
    bad 8 "cannot write out/$last/stowkey.exe: " "$sign" "${good[@]}" out
    grep -q "nothing was changed" stderr || fail "a failed move does not say that nothing was changed"
    chattr -i out/$last/stowkey.exe
else
    echo "skipped: a failed move (this file system has no immutable files)"
fi
bad 10 "osslsigncode, openssl or gcab is installed but not on PATH" \
    PATH="$work/no-osslsigncode" "$sign" "${good[@]}" out
echo "checked: bad input"
fi

# --- signing ------------------------------------------------------------
# The signed images differ from the unsigned ones in the checksum, the
# security directory (entry 4, a file offset and size) and the certificate
# table appended after the last section, and in nothing else.
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }
u16() { od -An -tu2 -j"$2" -N2 "$1" | tr -d ' '; }
layout() { "$source_dir/scripts/pe-layout" "$1" | awk -v name="$2" '$1 == name { print; exit }'; }
pe_checksum() {  # the PE checksum of a file, its own field counted as 0
    local checksum_at
    read -r _ checksum_at _ _ <<<"$(layout "$1" checksum)"
    od -An -v -tu2 "$1" | tr -s ' ' '\n' | grep -v '^$' |
        awk -v skip=$((checksum_at / 2)) -v size="$(wc -c <"$1")" '
            NR - 1 != skip && NR - 1 != skip + 1 { sum += $1; sum = sum % 65536 + int(sum / 65536) }
            END { print sum + size }'
}
check_signed() {  # check_signed UNSIGNED SIGNED
    local unsigned=$1 signed=$2 size signed_size checksum_at checksum security offset length
    size=$(wc -c <"$unsigned") signed_size=$(wc -c <"$signed")
    read -r _ checksum_at _ checksum <<<"$(layout "$signed" checksum)"
    read -r _ security _ offset length <<<"$(layout "$signed" security)"
    [ "$(layout "$unsigned" security | cut -d' ' -f4,5)" = "0 0" ] ||
        fail "$unsigned: already has a security directory"
    [ "$offset" = $(((size + 7) / 8 * 8)) ] ||
        fail "$signed: the certificate table is at $offset, not right after the sections' data ($size)"
    [ $((offset % 8)) = 0 ] && [ $((length % 8)) = 0 ] && [ $((offset + length)) = "$signed_size" ] ||
        fail "$signed: the certificate table ($offset, $length) is not 8-byte aligned at the file's end ($signed_size)"
    [ "$(u32 "$signed" "$offset")" = "$length" ] && [ "$(u16 "$signed" $((offset + 4)))" = 512 ] &&
        [ "$(u16 "$signed" $((offset + 6)))" = 2 ] ||
        fail "$signed: the certificate table's header is not a revision 2 PKCS#7 WIN_CERTIFICATE of $length bytes"
    [ "$checksum" = "$(pe_checksum "$signed")" ] ||
        fail "$signed: the checksum $checksum is not the file's, $(pe_checksum "$signed")"
    local changed
    changed=$({ cmp -l "$unsigned" "$signed" 2>/dev/null || true; } | awk -v c="$checksum_at" -v d="$security" '
        { at = $1 - 1 } !(at >= c && at < c + 4) && !(at >= d && at < d + 8) { print at }' | head -n 5)
    [ -z "$changed" ] || fail "$signed: bytes at $changed differ from the unsigned image"
}

rm -rf "$signed_dir"
SOURCE_DATE_EPOCH=$epoch "$sign" "${good[@]}" "$signed_dir" >stdout 2>stderr ||
    { cat stderr; echo "FAIL: signing failed"; exit 1; }
[ "$(cat stdout)" = "$(printf '%s\n' "${kinds[@]/#/$signed_dir/}" | sed 's|$|/stowkey.exe|'
                        printf '%s\n' "${kinds[@]/#/$signed_dir/}" | sed 's|$|/stowkey.cab|')" ] ||
    fail "scripts/sign printed $(cat stdout)"
for kind in "${kinds[@]}"; do
    cmp -s "$device_dir/$kind/stowkey.exe" "$signed_dir/$kind/stowkey.exe" && fail "$kind: not signed"
    check_signed "$device_dir/$kind/stowkey.exe" "$signed_dir/$kind/stowkey.exe"
    osslsigncode verify -CAfile root.pem -in "$signed_dir/$kind/stowkey.exe" >verify.log 2>&1 ||
        { cat verify.log; fail "$kind: osslsigncode verify refused the signature"; }
    grep -q "Message digest algorithm  : SHA1" verify.log || fail "$kind: the digest is not SHA-1 by default"
    grep -q "Signing time: Dec  8 00:00:00 2025 GMT" verify.log ||
        fail "$kind: the signing time is not SOURCE_DATE_EPOCH: $(grep 'Signing time' verify.log)"
    osslsigncode verify -CAfile intermediate.pem -in "$signed_dir/$kind/stowkey.exe" >/dev/null 2>&1 &&
        fail "$kind: verified against a CA that is not the root"
done
echo "checked: signed images verify and differ only where a signature goes"

# A signed CAB verifies, and cabextract, which knows nothing of the
# signature, still takes from it the setup files and the signed image.
for kind in "${kinds[@]}"; do
    cab=$signed_dir/$kind/stowkey.cab
    osslsigncode verify -CAfile root.pem -in "$cab" >verify.log 2>&1 ||
        { cat verify.log; fail "$kind: osslsigncode verify refused the CAB's signature"; }
    rm -rf unpacked unpacked-unsigned && mkdir unpacked unpacked-unsigned
    # It warns of the signature after the cabinet's data as "extra bytes".
    cabextract -q -d unpacked "$cab" 2>cabextract.log &&
        cabextract -q -d unpacked-unsigned "$device_dir/$kind/stowkey.cab" ||
        fail "$kind: cabextract cannot extract the signed CAB"
    [ "$(LC_ALL=C ls unpacked | tr '\n' ' ')" = "_setup.xml stowkey.000 stowkey.001 " ] ||
        fail "$kind: the signed CAB holds $(ls unpacked)"
    cmp -s unpacked/stowkey.001 "$signed_dir/$kind/stowkey.exe" || fail "$kind: the signed CAB does not hold the signed image"
    for setup in stowkey.000 _setup.xml; do
        cmp -s "unpacked/$setup" "unpacked-unsigned/$setup" || fail "$kind: the signed CAB's $setup is another"
    done
done
echo "checked: signed CABs verify and hold the signed image"

# Loading and running: the same statuses and messages as unsigned, under
# every release, on every processor, with a failing flush too.
for kind in "${kinds[@]}"; do
    for run in "--os 3.0" "--os 4.2" "--os 5.0" "--os 6.0" "--os 7.0" "--os 7.0 --strict-nx" \
               "--os 8.0" "--cpu pxa270" "--cpu sa1110 --missing c.dll" \
               "--flush HKEY_CURRENT_USER=5" "--os 8.0 --flush HKEY_LOCAL_MACHINE=1"; do
        # shellcheck disable=SC2086
        for image in "$device_dir/$kind/stowkey.exe" "$signed_dir/$kind/stowkey.exe"; do
            "$ce_run" $run "$image" >"run.out" 2>&1 && echo "status 0" >>run.out || echo "status $?" >>run.out
            sed "s|$image|IMAGE|g" run.out >"run.$([ "$image" = "$device_dir/$kind/stowkey.exe" ] && echo unsigned || echo signed)"
        done
        cmp -s run.unsigned run.signed ||
            fail "$kind, ce-run $run: signed '$(tr '\n' ' ' <run.signed)', unsigned '$(tr '\n' ' ' <run.unsigned)'"
    done
done
echo "checked: signed images load and run as the unsigned ones"

if [ "$only" != security-only ]; then
# An interruption (Ctrl-C) just after the first signed file has replaced
# its previous copy: the previous set is there again, as it was.
mkdir interrupting
cat >interrupting/mv <<'EOF_MV'
#!/bin/bash
/bin/mv "$@" || exit
if [[ ${*: -1} == *out/*/stowkey.exe ]] && [ ! -e "$INTERRUPTED" ]; then
    touch "$INTERRUPTED"
    kill -INT "$PPID"
fi
EOF_MV
chmod +x interrupting/mv
setup='cp -r "$signed_dir" out; rm -f interrupted'
bad 11 "interrupted: out holds what it held before" INTERRUPTED="$work/interrupted" \
    PATH="$work/interrupting:$PATH" SOURCE_DATE_EPOCH=$((epoch + 86400)) "$sign" "${good[@]}" out
[ -e interrupted ] || fail "the interruption never came: the row tested nothing"
echo "checked: an interruption puts the previous signed set back"
fi

# --- other ways in, and the same bytes twice -----------------------------
again() {  # again NAME [VAR=VALUE]... -- SIGN ARGUMENTS: signs into NAME
    local name=$1; shift
    local environment=()
    while [ "$1" != -- ]; do environment+=("$1"); shift; done
    shift
    env "${environment[@]}" "$sign" --images "$device_dir" "$@" "$name" >/dev/null 2>stderr ||
        { cat stderr; fail "signing into $name failed"; }
}
if [ "$only" != security-only ]; then
again twice SOURCE_DATE_EPOCH=$epoch -- --cert signer-chain.pem --key signer.key
again later SOURCE_DATE_EPOCH=$((epoch + 86400)) -- --cert signer-chain.pem --key signer.key
again encrypted SOURCE_DATE_EPOCH=$epoch -- --cert signer-chain.pem --key signer-encrypted.key --password-file password
again bundle SOURCE_DATE_EPOCH=$epoch PASSWORD="correct horse" -- --pkcs12 signer.p12 --password-env PASSWORD
again sha256 SOURCE_DATE_EPOCH=$epoch -- --cert signer-chain.pem --key signer.key --digest sha256
# Both tools get the first line of a password, without CR; any variable
# name may hold it, the script's own too.
again crlf SOURCE_DATE_EPOCH=$epoch -- --cert signer-chain.pem --key signer-encrypted.key --password-file crlf-password
again two-lines SOURCE_DATE_EPOCH=$epoch -- --cert signer-chain.pem --key signer-encrypted.key \
    --password-file two-line-password
again digest-variable SOURCE_DATE_EPOCH=$epoch digest="correct horse" -- --cert signer-chain.pem \
    --key signer-encrypted.key --password-env digest
# A leading zero is read as decimal, not as octal.
again leading-zero SOURCE_DATE_EPOCH=0$epoch -- --cert signer-chain.pem --key signer.key
for kind in "${kinds[@]}"; do
    for file in stowkey.exe stowkey.cab; do
        cmp -s "$signed_dir/$kind/$file" "twice/$kind/$file" ||
            fail "$kind: two signings with the same key and SOURCE_DATE_EPOCH differ ($file)"
    done
    for file in stowkey.exe stowkey.cab; do
        cmp -s "$signed_dir/$kind/$file" "leading-zero/$kind/$file" ||
            fail "$kind: SOURCE_DATE_EPOCH=0$epoch signed otherwise than $epoch ($file)"
    done
    cmp -s "$signed_dir/$kind/stowkey.exe" "later/$kind/stowkey.exe" &&
        fail "$kind: another SOURCE_DATE_EPOCH gave the same signature"
    for way in encrypted crlf two-lines digest-variable; do
        cmp -s "$signed_dir/$kind/stowkey.exe" "$way/$kind/stowkey.exe" ||
            fail "$kind: the encrypted key ($way) signed otherwise than the plain one"
    done
    for way in bundle sha256; do
        check_signed "$device_dir/$kind/stowkey.exe" "$way/$kind/stowkey.exe"
        osslsigncode verify -CAfile root.pem -in "$way/$kind/stowkey.exe" >verify.log 2>&1 ||
            { cat verify.log; fail "$kind: the $way signature does not verify"; }
    done
    grep -q "Message digest algorithm  : SHA256" verify.log || fail "$kind: --digest sha256 is not SHA-256"
done
echo "checked: the same key and SOURCE_DATE_EPOCH give the same bytes; PKCS#12, passwords, SHA-256"
else
    again sha256 SOURCE_DATE_EPOCH=$epoch -- --cert signer-chain.pem --key signer.key --digest sha256
fi

# --- the signed files under Windows Mobile's security model -------------
# Another root and a signer of it; copies of the signed CAB and image with
# one byte changed that the signature covers (in the CAB, a file's time,
# so that the cabinet still reads).
new_key other-root.key
quiet openssl req -new -x509 -key other-root.key -subj "/CN=stowkey test other root" -days 30 \
    -config ca.cnf -extensions root -out other-root.pem
issue other-signer signer other-root
again other SOURCE_DATE_EPOCH=$epoch -- --cert other-signer.pem --key other-signer.key
cp "$signed_dir/$armv4/stowkey.cab" tampered.cab
cp "$signed_dir/$armv4/stowkey.exe" tampered.exe
printf '\001' | dd of=tampered.cab bs=1 seek=$(($(u32 tampered.cab 16) + 12)) conv=notrunc status=none
printf '\001' | dd of=tampered.exe bs=1 seek=600 conv=notrunc status=none
# secure CONFIGURATION OUTCOME FILE [OPTION]...: ce-run on a Windows Mobile
# device of the configuration installs the CAB FILE (--install-only) or
# runs the image FILE; OUTCOME: installs, runs-privileged, runs-normal,
# covered (runs normal, without a prompt of its own), open:TEXT (refused
# only by the strict reading of what no source settles: status 75 and
# TEXT), or the text of the refusal (status 65).
secure() {
    local configuration=$1 outcome=$2 file=$3 actual
    shift 3
    local input=("$file") platform=windowsmobile5
    if [[ $file == *.cab ]]; then
        input=(--install-only --install "$file") platform=windowsmobile6
    fi
    "$ce_run" --platform $platform --security "$configuration" "$@" --trace trace "${input[@]}" \
        >/dev/null 2>stderr && actual=0 || actual=$?
    local row="$configuration, $file, $*"
    case $outcome in
        installs) [ "$actual" = 0 ] && grep -q '^security: the CAB: .*: it installs' trace ;;
        runs-privileged|runs-normal)
            [ "$actual" = 0 ] && grep -q "^security: .*: it runs ${outcome#runs-} ($configuration)\$" trace ;;
        covered) [ "$actual" = 0 ] && grep -q "the prompt its CAB's user accepted covers it: it runs normal" trace ;;
        open:*) [ "$actual" = 75 ] && [ "$(wc -l <stderr)" = 1 ] && grep -qF -- "${outcome#open:}" stderr ;;
        *) [ "$actual" = 65 ] && [ "$(wc -l <stderr)" = 1 ] && grep -qF -- "$outcome" stderr ;;
    esac || fail "$row: status $actual, not $outcome: $(cat stderr) $(grep '^security' trace)"
}
# What counts as unsigned, where the configuration asks: the answer decides.
answers() {  # answers CONFIGURATION ALLOWED FILE [OPTION]...
    local configuration=$1 allowed=$2 file=$3
    shift 3
    secure "$configuration" "$allowed" "$file" "$@" --answer yes
    secure "$configuration" "the user answers no to the prompt" "$file" "$@" --answer no
    secure "$configuration" "nobody answers, which counts as no" "$file" "$@"
}
spc=(--store spc=root.pem) privileged=(--store privileged=root.pem)
unprivileged=(--store unprivileged=root.pem)
cab_unsigned=$device_dir/$armv4/stowkey.cab cab_signed=$signed_dir/$armv4/stowkey.cab
image_unsigned=$device_dir/$armv4/stowkey.exe image_signed=$signed_dir/$armv4/stowkey.exe
# Each configuration (docs/sources.md): what it does with a CAB that counts
# as unsigned, with a program that counts as unsigned, and with programs
# chained to the privileged and to the unprivileged store.
while read -r configuration cab program privileged_store unprivileged_store; do
    refused_cab="refuses unsigned CABs (policy 4101 = 0)"
    refused_program="refuses unsigned programs (policy 4102 = 0)"
    case $cab in
        asks) answers "$configuration" installs "$cab_unsigned" "${spc[@]}"; cab="nobody answers" ;;
        refused) secure "$configuration" "it carries no signature, and this configuration ($configuration) $refused_cab" \
                     "$cab_unsigned" "${spc[@]}"; cab=$refused_cab ;;
        *) secure "$configuration" "$cab" "$cab_unsigned" "${spc[@]}" ;;
    esac
    secure "$configuration" installs "$cab_signed" "${spc[@]}"
    # The root in the execution stores alone: the CAB counts as unsigned.
    secure "$configuration" "$cab" "$cab_signed" "${privileged[@]}"
    secure "$configuration" "$cab" "other/$armv4/stowkey.cab" "${spc[@]}"
    secure "$configuration" "$cab" tampered.cab "${spc[@]}"
    case $program in
        asks-*) answers "$configuration" "runs-${program#asks-}" "$image_unsigned" "${privileged[@]}"
                program="nobody answers" ;;
        refused) program=$refused_program; secure "$configuration" "$program" "$image_unsigned" "${privileged[@]}" ;;
        *) secure "$configuration" "$program" "$image_unsigned" "${privileged[@]}" ;;
    esac
    secure "$configuration" runs-privileged "$image_signed" "${privileged[@]}"
    [ "$unprivileged_store" != refused ] ||
        unprivileged_store="and this configuration ($configuration) runs only what chains to the privileged store"
    secure "$configuration" "$unprivileged_store" "$image_signed" "${unprivileged[@]}"
    secure "$configuration" "$program" "$image_signed" "${spc[@]}"
    secure "$configuration" "$program" "other/$armv4/stowkey.exe" "${privileged[@]}"
    secure "$configuration" "$program" tampered.exe "${privileged[@]}"
done <<'EOF_RULES'
off                  installs runs-privileged runs-privileged runs-privileged
one-tier-prompt      asks     asks-privileged runs-privileged runs-privileged
two-tier-prompt      asks     asks-normal     runs-privileged runs-normal
third-party-one-tier refused  refused         runs-privileged runs-privileged
third-party-two-tier refused  refused         runs-privileged runs-normal
locked               refused  refused         runs-privileged refused
EOF_RULES
# A signature whose frame leaves the file counts as unsigned: the size in
# the image's security directory, and in the CAB's header reserve.
cp "$signed_dir/$armv4/stowkey.exe" bad-frame.exe
cp "$signed_dir/$armv4/stowkey.cab" bad-frame.cab
read -r _ security _ _ _ <<<"$(layout bad-frame.exe security)"
printf '\377\377' | dd of=bad-frame.exe bs=1 seek=$((security + 6)) conv=notrunc status=none
printf '\377' | dd of=bad-frame.cab bs=1 seek=51 conv=notrunc status=none
secure locked "its signature's frame is malformed: its certificate table at" bad-frame.exe "${privileged[@]}"
secure locked "its signature's frame is malformed: the signature at" bad-frame.cab "${spc[@]}"
# An accepted prompt for an unsigned CAB covers the unsigned program in it.
"$ce_run" --platform windowsmobile6 --security two-tier-prompt --answer yes --trace trace \
    --install "$cab_unsigned" >/dev/null 2>stderr || fail "an accepted unsigned CAB does not run: $(cat stderr)"
grep -q "the prompt its CAB's user accepted covers it: it runs normal" trace ||
    fail "the accepted prompt does not cover the CAB's program: $(grep '^security' trace)"
grep -qF 'the Windows Mobile 6 installer refuses it: its signature chains to no root in the SPC store, and this configuration (locked) refuses unsigned CABs' <(
    "$ce_run" --platform windowsmobile6 --security locked "${privileged[@]}" --install "$cab_signed" 2>&1) ||
    fail "a CAB whose root is only in the execution stores is not refused as unsigned on a locked device"
# What no source settles: the digest (SHA-1 is what Microsoft's signed
# CABs of the era use), the signer's key usages, its validity dates on the
# device's date (never the host's clock). The strict reading refuses, the
# lenient one takes it: 75, naming the question.
sign_with() {  # sign_with NAME CERTIFICATE DIGEST: NAME.cab and NAME.exe, signed so
    local name=$1 certificate=$2 digest=$3 file
    cat "$certificate.pem" intermediate.pem >"$name-chain.pem"
    for file in "$cab_unsigned" "$image_unsigned"; do
        quiet osslsigncode sign -certs "$name-chain.pem" -key "$certificate.key" -h "$digest" \
            -in "$file" -out "$name.${file##*.}"
    done
}
sign_with md5 signer md5
sign_with server-auth server sha1
sign_with key-encipherment no-signature sha1
sign_with expired expired sha1
secure locked "open:no source says whether Windows Mobile verifies SHA256 digests" "sha256/$armv4/stowkey.cab" "${spc[@]}"
secure locked "open:its digest is MD5, and SHA-1 is what Microsoft's signed CABs of the era use, and no source says whether Windows Mobile verifies MD5 digests" md5.cab "${spc[@]}"
secure locked "open:no source says whether Windows Mobile verifies MD5 digests" md5.exe "${privileged[@]}"
secure locked "open:the signer's certificate does not allow code signing (its key usages), and no source says whether Windows Mobile checks the signer's key usages" server-auth.cab "${spc[@]}"
secure locked "open:the signer's certificate does not allow code signing" key-encipherment.cab "${spc[@]}"
secure locked "open:the signer's certificate does not allow code signing" key-encipherment.exe "${privileged[@]}"
secure locked installs expired.cab "${spc[@]}"  # no device date: not judged
secure locked installs expired.cab "${spc[@]}" --device-date 2020-06-01
secure locked "open:the signer's certificate expired on 2021-01-01, and no source says whether Windows Mobile checks the signer's validity dates" \
    expired.cab "${spc[@]}" --device-date 2021-06-01
secure locked "open:the signer's certificate is valid only from" "$cab_signed" "${spc[@]}" --device-date 2000-01-01
secure locked runs-privileged "$image_signed" "${privileged[@]}" --device-date "$(date -u -d tomorrow +%Y-%m-%d)"
# The store: every block, a regular file.
sed '2s/./#/' root.pem >damaged-root.pem
cat root.pem damaged-root.pem >root-and-damaged.pem
mkfifo store-fifo
stores_refused() {  # stores_refused STATUS TEXT OPTION...: ce-run ends so
    local status=$1 text=$2 actual
    shift 2
    timeout 20 "$ce_run" --platform windowsmobile6 --security locked "$@" --install-only \
        --install "$cab_signed" >/dev/null 2>stderr && actual=0 || actual=$?
    [ "$actual" = "$status" ] && [ "$(wc -l <stderr)" = 1 ] && grep -qF -- "$text" stderr ||
        fail "--store $*: status $actual, not $status '$text': $(cat stderr)"
}
stores_refused 66 "--store: damaged-root.pem: PEM block 1 is damaged" --store spc=damaged-root.pem
stores_refused 66 "--store: root-and-damaged.pem: PEM block 2 is damaged" --store spc=root-and-damaged.pem
stores_refused 66 "--store: cannot read store-fifo: not a regular file" --store spc=store-fifo
stores_refused 64 "--trace: root.pem is a --store file itself" --store spc=root.pem --trace root.pem
echo "checked: each security configuration against unsigned, signed, other-root and changed files"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: scripts/sign"
