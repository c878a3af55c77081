#!/usr/bin/env bash
# scripts/provision, with a throwaway fleet CA made here (no key is kept):
# each bad root gets its own status and one "provision: " line and leaves
# no CAB; the CAB holds _setup.xml alone (cabextract), well-formed
# (xmllint), naming the root by its SHA-1 (openssl), the same bytes twice.
# Then, end to end under ce-run on Windows Mobile, the fleet's flow:
# provision, then stowkey's CAB signed with the fleet's certificate.
#
# usage: provision_test.sh SOURCE_DIR DEVICE_DIR CE_RUN
set -euo pipefail
source_dir=$1 device_dir=$2 ce_run=$3
provision=$source_dir/scripts/provision
# The ARMv4 kind from CE 3.0 that reaches the highest release, whose image
# Windows Mobile runs, wherever the table lists it.
armv4=$(awk '$1 !~ /^#/ && $2 == "0x01C0" && $3 == "3.0" && ($4 + 0 > best || kind == "") { best = $4 + 0; kind = $1 } END { print kind }' "$device_dir/kinds")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$source_dir/scripts/install-packages" openssl osslsigncode gcab cabextract libxml2-utils
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# --- the throwaway fleet CA -----------------------------------------------
quiet() { "$@" >openssl.log 2>&1 || { cat openssl.log; echo "FAIL: $*"; exit 1; }; }
key() { quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"; }
key root.key
quiet openssl req -new -x509 -key root.key -subj "/CN=fleet root" -days 30 \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign" -out root.pem
key signer.key
quiet openssl req -new -key signer.key -subj "/CN=fleet signer" -out signer.csr
printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
quiet openssl x509 -req -in signer.csr -CA root.pem -CAkey root.key -CAcreateserial -days 30 \
    -extfile signer.ext -out signer.pem
# A root that expired: openssl ca alone sets dates in the past.
key old.key
printf '[ca]\ndefault_ca = old\n[old]\ndir = .\ndatabase = index.txt\nnew_certs_dir = .\nserial = serial\ndefault_md = sha256\npolicy = any\n[any]\ncommonName = supplied\n[root]\nbasicConstraints = critical, CA:true\n' >ca.cnf
touch index.txt && echo 01 >serial
quiet openssl req -new -key old.key -subj "/CN=old root" -out old.csr
quiet openssl ca -batch -selfsign -config ca.cnf -keyfile old.key -extensions root \
    -startdate 20200101000000Z -enddate 20210101000000Z -in old.csr -out expired.pem -notext
cat root.pem signer.pem >two.pem
cat root.pem root.key >with-key.pem
printf 'no certificate\n' >empty.pem

# --- bad input ----------------------------------------------------------
# Each row: status, text the one "provision: " line holds, the arguments.
while IFS='|' read -r status text arguments; do
    read -ra args <<<"$arguments"
    rm -f out.cab
    actual=0
    "$provision" "${args[@]}" >stdout 2>stderr || actual=$?
    [ "$actual" = "$status" ] || fail "provision $arguments: status $actual, not $status: $(cat stderr)"
    [ "$(wc -l <stderr)" = 1 ] && grep -q "^provision: .*$text" stderr ||
        fail "provision $arguments: standard error is not one line with '$text': $(cat stderr)"
    [ ! -e out.cab ] || fail "provision $arguments: left out.cab behind"
done <<'EOF'
2|usage|--root root.pem
2|--lock: 'open' is not|--root root.pem --lock open out.cab
2|--spc-role needs|--root root.pem --spc-role x out.cab
3|cannot read missing.pem: no such file|--root missing.pem out.cab
4|holds no PEM certificate|--root empty.pem out.cab
5|holds 2 certificates|--root two.pem out.cab
6|holds a private key|--root with-key.pem out.cab
7|is not a CA certificate|--root signer.pem out.cab
8|expired|--root expired.pem out.cab
9|cannot write no-such-folder/out.cab|--root root.pem no-such-folder/out.cab
EOF

# --- the CAB, read by other tools -----------------------------------------
"$provision" --root root.pem --spc-role 222 --privileged --lock third-party-two-tier fleet.cab
"$provision" --root root.pem --spc-role 222 --privileged --lock third-party-two-tier again.cab
cmp -s fleet.cab again.cab || fail "the same root and options give other bytes"
[ "$(cabextract -l fleet.cab | awk '$2 == "|" { print $NF }')" = _setup.xml ] ||
    fail "the CAB holds other than _setup.xml: $(cabextract -l fleet.cab)"
cabextract -q -d extracted fleet.cab
xmllint --noout extracted/_setup.xml || fail "its _setup.xml is not well-formed"
fingerprint=$(openssl x509 -in root.pem -noout -fingerprint -sha1 | cut -d= -f2 | tr -d : | tr A-F a-f)
[ "$(grep -c "<characteristic type=\"$fingerprint\">" extracted/_setup.xml)" = 2 ] ||
    fail "_setup.xml does not name the root by its SHA-1 $fingerprint in two stores"

# --- end to end under ce-run ------------------------------------------------
"$source_dir/scripts/sign" --cert signer.pem --key signer.key --images "$device_dir" signed >/dev/null
unsigned_cab=$device_dir/$armv4/stowkey.cab signed_cab=signed/$armv4/stowkey.cab
"$provision" --root root.pem --privileged --lock third-party-two-tier fleet-16.cab
"$provision" --root root.pem spc-only.cab
# variant NAME SED: spc-only.cab's _setup.xml edited by SED, packed as NAME.cab
variant() {
    rm -rf v && mkdir v && cabextract -q -d v spc-only.cab && sed -i "$2" v/_setup.xml &&
        (cd v && TZ=UTC0 gcab --create --nopath "../$1.cab" _setup.xml)
}
upper=$(tr a-f A-F <<<"$fingerprint")
variant upper-hash "s/$fingerprint/$upper/"
variant wrong-hash "s/$fingerprint/$(printf '0%.0s' $(seq 40))/"
variant role-alone '/EncodedCertificate/d'
variant not-base64 's/name="EncodedCertificate" value="[^"]*"/name="EncodedCertificate" value="!!!!"/'
variant my-store 's/type="SPC"/type="MY"/'
variant root-store 's/type="SPC"/type="ROOT"/'
variant delete-absent "s|<characteristic type=\"$fingerprint\">|<nocharacteristic type=\"$fingerprint\"/><characteristic type=\"$fingerprint\">|"
osslsigncode sign -certs signer.pem -key signer.key -h sha1 -in spc-only.cab -out spc-only-signed.cab >/dev/null
# Each row: status, what the trace or the one ce-run line holds ("!" and
# the text: what the trace does not hold), ce-run's options. PROMPT is a
# one-tier-prompt Windows Mobile 6 device whose user answers yes; GRANT
# gives USER_AUTH the Manager's rights there (policy 4119, Windows Mobile
# 5 Pocket PC's default); the CABs are named by their files here.
while IFS='|' read -r status text arguments; do
    arguments=${arguments//PROMPT/--platform windowsmobile6 --answer yes --security one-tier-prompt}
    arguments=${arguments//GRANT/--policy 4119=16}
    read -ra args <<<"${arguments//UNSIGNED/$unsigned_cab}"
    args=("${args[@]//SIGNED/$signed_cab}")
    actual=0
    "$ce_run" --trace trace "${args[@]}" >stdout 2>stderr || actual=$?
    [ "$actual" = "$status" ] || fail "ce-run $arguments: status $actual, not $status: $(cat stderr)"
    if [[ $text == !* ]]; then
        ! grep -qF -- "${text#!}" trace || fail "ce-run $arguments: the trace holds '${text#!}'"
    else
        grep -qF -- "$text" trace stderr || fail "ce-run $arguments: neither trace nor error holds '$text': $(cat stderr trace)"
    fi
done <<'EOF'
0|security: \Windows\stowkey.exe: signed by "CN=fleet signer", chained to the privileged store: it runs privileged (one-tier-prompt, policies now 4101 = 0, 4102 = 0, 4119 = 16, 4122 = 1, 4123 = 0)|PROMPT GRANT --install fleet.cab --install SIGNED
0|install: add certificate|PROMPT GRANT --install-only --install fleet.cab
0|install: CAB fleet.cab|PROMPT GRANT --install fleet.cab --install SIGNED
0|it installs with role 222 (OEM |PROMPT GRANT --install fleet.cab --install SIGNED
0|to the SPC store, role 16 (USER_AUTH)|PROMPT GRANT --install-only --install fleet-16.cab
65|refuses unsigned CABs (policy 4101 = 0)|PROMPT GRANT --install fleet.cab --install UNSIGNED
65|to the Privileged Execution Trust Authorities store, which needs the Manager role's rights, and the CAB installs with role 16 (USER_AUTH); the whole document is rolled back|PROMPT --install fleet.cab --install SIGNED
65|!install: add certificate|PROMPT --install fleet.cab
65|refuses unsigned CABs (policy 4101 = 0)|--platform windowsmobile6 --security locked --install fleet.cab
65|refuses unsigned CABs (policy 4101 = 0)|--platform windowsmobile6 --security locked --install-only --install SIGNED
0|to the SPC store, role 16|PROMPT GRANT --install-only --install upper-hash.cab
75|no source says what the CertificateStore provider does with a certificate whose characteristic is not its SHA-1|PROMPT GRANT --install-only --install wrong-hash.cab
65|with no EncodedCertificate (a Role alone cannot be added)|PROMPT GRANT --install-only --install role-alone.cab
65|its EncodedCertificate is not base64|PROMPT GRANT --install-only --install not-base64.cab
75|changes the certificate store 'MY', which ce-run does not model|PROMPT GRANT --install-only --install my-store.cab
75|sources disagree on who may change the ROOT and CA stores|PROMPT --install-only --install root-store.cab
75|no source gives the SPC store's own permissions|PROMPT --install-only --install spc-only.cab
75|when told to delete a certificate its store does not hold|PROMPT GRANT --install-only --install delete-absent.cab
75|no source says what role an SPC root added without a Role parm carries|--platform windowsmobile6 --security locked --store spc=root.pem --install-only --install spc-only-signed.cab
0|it installs with role 8 (MANAGER)|--platform windowsmobile6 --security locked --store spc=root.pem,role=8 --install-only --install spc-only-signed.cab
75|which ce-run models only on a device with a security model (give --security)|--platform windowsmobile6 --install-only --install spc-only.cab
75|the Windows Embedded CE 6.0 platform has none in ce-run|--platform ce6.0 --install-only --install spc-only.cab
EOF

# Each --lock sets the policies ce-run's configuration of that name holds:
# a signed provisioning CAB, whose SPC root has the Manager role, locks a
# device in that configuration, and the next CAB finds its policies unchanged.
for configuration in one-tier-prompt two-tier-prompt third-party-one-tier third-party-two-tier locked; do
    "$provision" --root root.pem --spc-role 8 --lock "$configuration" lock.cab
    osslsigncode sign -certs signer.pem -key signer.key -h sha1 -in lock.cab -out lock-signed.cab >/dev/null
    "$ce_run" --platform windowsmobile6 --security "$configuration" --store spc=root.pem,role=8 \
        --install-only --trace trace --install lock-signed.cab --install lock-signed.cab 2>stderr ||
        fail "--lock $configuration: $(cat stderr)"
    [ "$(grep -c "it installs with role 8 (MANAGER) ($configuration)\$" trace)" = 2 ] ||
        fail "--lock $configuration sets other policies than ce-run's $configuration: $(grep security: trace)"
    rm -f lock.cab lock-signed.cab
done

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: scripts/provision's CABs provision a fleet's devices as ce-run models them"
