#!/usr/bin/env bash
# ce-run --check: each cell says what the single run says (its status, and
# its message holds the cell's reason or question), for stowkey's CABs on
# every platform and configuration and, where they are beside the clone,
# for the real CABs; the JSON is read by python3's json module, the JUnit
# XML by its xml module against the rules below; a fleet file's devices,
# and each error in one, naming the file, the line and the key, with
# nothing checked.
#
# usage: check_test.sh CE_RUN DEVICE_DIR CORPUS_DIR
set -euo pipefail
ce_run=$1 device_dir=$2 corpus=$3
source_dir=$(cd "$(dirname "$0")/../../.." && pwd)
"$source_dir/scripts/install-packages" python3 openssl gcab
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
kinds=$(awk '$1 !~ /^#/ { print $1 }' "$device_dir/kinds")
cabs=()
for kind in $kinds; do cabs+=("$device_dir/$kind/stowkey.cab"); done

# same_as_single_runs JSON: every cell of the report, run again alone.
same_as_single_runs() {
    python3 - "$1" <<'EOF' >cells.tsv
import json, sys
for cell in json.load(open(sys.argv[1]))["cells"]:
    text = cell.get("reason") or cell.get("question") or cell.get("error") or ""
    print("\t".join([cell["platform"], cell["security"] or "-", cell["cab"], str(cell["status"]), text]))
EOF
    while IFS=$'\t' read -r platform security cab status text; do
        options=(--platform "$platform")
        [ "$security" = - ] || options+=(--security "${security%%,*}")
        actual=0
        "$ce_run" "${options[@]}" --install-only --setup-dll continue --install "$cab" 2>err >/dev/null || actual=$?
        [ "$actual" = "$status" ] || fail "$cab on $platform ($security): --check says $status, the single run $actual"
        if [ -z "$text" ]; then
            [ ! -s err ] || fail "$cab on $platform ($security): installs, and the single run says $(cat err)"
        else
            grep -qF -- "$text" err || fail "$cab on $platform ($security): the single run does not say '$text': $(cat err)"
        fi
    done <cells.tsv
}

# --- the cells are the single runs ---------------------------------------
for configuration in - locked one-tier-prompt; do
    options=(--setup-dll continue)
    [ "$configuration" = - ] || options+=(--security "$configuration")
    status=0
    "$ce_run" --check "${options[@]}" --format json "${cabs[@]}" >report.json || status=$?
    python3 -c 'import json,sys; s=json.load(open("report.json"))["summary"]; sys.exit(s["status"] != int(sys.argv[1]))' "$status" ||
        fail "--check ${options[*]}: status $status, not the summary's"
    same_as_single_runs report.json
done
if [ -f "$corpus/expected.tsv" ]; then
    "$ce_run" --check --setup-dll continue --format json "$corpus"/*.cab >corpus.json || :
    same_as_single_runs corpus.json
    echo "checked: the real CABs' cells"
else
    echo "skipped: no corpus of real CABs at $corpus"
fi

# --- exit statuses and the text report ------------------------------------
# A provisioning CAB, which ce-run models on no platform but Windows Mobile's.
printf '<wap-provisioningdoc><characteristic type="SecurityPolicy"><parm name="4102" value="0"/></characteristic></wap-provisioningdoc>\n' >_setup.xml
gcab --create --nopath provisioning.cab _setup.xml
# Each row: status, the report's last line, the options.
while IFS='|' read -r status last arguments; do
    read -ra args <<<"${arguments//CAB/${cabs[0]}}"
    actual=0
    "$ce_run" --check "${args[@]}" >out 2>err || actual=$?
    [ "$actual" = "$status" ] || fail "--check $arguments: status $actual, not $status: $(cat err)"
    [ "$(tail -n 1 out)" = "$last" ] || fail "--check $arguments: ends '$(tail -n 1 out)', not '$last'"
done <<'EOF'
0|checked 1 CAB on 1 device: 1 install, 0 refused, 0 cannot tell|--platform windowsmobile6 CAB
65|checked 1 CAB on 1 device: 0 install, 1 refused, 0 cannot tell|--platform windowsmobile6 --security locked CAB
75|checked 2 CABs on 1 device: 1 install, 0 refused, 1 cannot tell|--platform ce6.0 CAB provisioning.cab
75|checked 1 CAB on 12 devices: 0 install, 4 refused, 8 cannot tell|provisioning.cab
EOF
# Asked to, each cell runs the installed program too: its own status.
"$ce_run" --check --platform windowsmobile6 --run '\Windows\stowkey.exe' --flush HKEY_CURRENT_USER=5 \
    "${cabs[0]}" >out 2>err || fail "--check --run: $(cat out err)"
grep -qxF "${cabs[0]} on windowsmobile6: installs, and \Windows\stowkey.exe exits 1" out ||
    fail "--check --run: $(cat out err)"

# --- JUnit XML, by the rules CI systems read ------------------------------
"$ce_run" --check --security locked --format junit "${cabs[@]}" >report.xml || :
python3 - report.xml "${#cabs[@]}" <<'EOF' || fail "the JUnit report breaks a rule"
# testsuites holds a testsuite a CAB; tests, failures, errors and skipped
# count its testcases and their failure, error and skipped elements; each
# testcase has a name and a classname and at most one of those three.
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
assert root.tag == "testsuites", root.tag
suites = root.findall("testsuite")
assert len(suites) == int(sys.argv[2]), len(suites)
total = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
for suite in suites:
    cases = suite.findall("testcase")
    counted = {"tests": len(cases),
               "failures": sum(len(c.findall("failure")) for c in cases),
               "errors": sum(len(c.findall("error")) for c in cases),
               "skipped": sum(len(c.findall("skipped")) for c in cases)}
    for name, value in counted.items():
        assert int(suite.get(name)) == value, (suite.get("name"), name)
        total[name] += value
    for case in cases:
        assert case.get("name") and case.get("classname") == suite.get("name")
        assert len(case.findall("failure")) + len(case.findall("error")) + len(case.findall("skipped")) <= 1
        for outcome in case.findall("failure") + case.findall("skipped"):
            assert outcome.get("message")
for name, value in total.items():
    assert int(root.get(name)) == value, name
assert total["failures"] > 0
EOF

# --- a fleet file ---------------------------------------------------------
cp "${cabs[0]}" stowkey.cab
mkdir certificates
openssl req -x509 -newkey rsa:2048 -nodes -keyout /dev/null -out certificates/root.pem -days 30 \
    -subj "/CN=fleet root" >/dev/null 2>&1
cat >fleet.toml <<'EOF'
[[device]]
name = "scanners"
platform = "windowsmobile6"
security = "third-party-two-tier"
store = ["spc=certificates/root.pem,role=222", "privileged=certificates/root.pem"]
policy = ["4119=16"]
installed = ["stowkey.cab"]

[[device]]
name = "old handhelds"
platform = "pocketpc2003"
cpu = "pxa270"
missing = ["c.dll"]
strict-nx = false
EOF
status=0
"$ce_run" --check --fleet fleet.toml stowkey.cab >out 2>err || status=$?
[ "$status" = 65 ] || fail "the fleet: status $status, not 65: $(cat err)"
expected="stowkey.cab on scanners (windowsmobile6, third-party-two-tier, policies now 4119 = 16): refused: it carries no signature, and this configuration (third-party-two-tier, policies now 4119 = 16) refuses unsigned CABs (policy 4101 = 0)
stowkey.cab on old handhelds (pocketpc2003): installs
checked 1 CAB on 2 devices: 1 install, 1 refused, 0 cannot tell"
[ "$(cat out)" = "$expected" ] || fail "the fleet's report: $(cat out)"
# The command line's security options are for the devices that have a
# security model.
"$ce_run" --check --security locked --fleet fleet.toml stowkey.cab >out 2>err || :
grep -qx "stowkey.cab on old handhelds (pocketpc2003): installs" out ||
    fail "--security on the command line reaches a Pocket PC 2003 of the fleet: $(cat out err)"
"$ce_run" --check --fleet fleet.toml --format json stowkey.cab >fleet.json || :
python3 -c 'import json; c=json.load(open("fleet.json"))["cells"][1]; assert c["device"] == "old handhelds" and c["trace"][0].startswith("install: wrote")' ||
    fail "the fleet's JSON: $(cat fleet.json)"

# Each error names the file, the line and the key; nothing is checked.
while IFS='|' read -r status text toml; do
    printf '%b\n' "$toml" >bad.toml
    actual=0
    "$ce_run" --check --fleet bad.toml stowkey.cab >out 2>err || actual=$?
    [ "$actual" = "$status" ] || fail "fleet '$toml': status $actual, not $status: $(cat err)"
    # toml++'s own description of a syntax error differs between releases.
    if [[ $text == *": not TOML: "* ]]; then
        [[ $(cat err) == "ce-run: $text"* ]] || fail "fleet '$toml': says '$(cat err)', not 'ce-run: $text...'"
    else
        [ "$(cat err)" = "ce-run: $text" ] || fail "fleet '$toml': says '$(cat err)', not 'ce-run: $text'"
    fi
    [ ! -s out ] || fail "fleet '$toml': checked something: $(cat out)"
done <<'EOF'
64|bad.toml:2: not TOML: |[[device]]\nname =
64|bad.toml:1: unknown key 'devices' (a fleet file holds [[device]] tables)|[devices]\nname = "x"
64|bad.toml: no [[device]] tables: a fleet file names its devices|device = 1
64|bad.toml:1: a device without the key 'platform'|[[device]]\nname = "x"
64|bad.toml:3: key 'platform': --platform: 'palm' is not one of pocketpc2000, pocketpc2002, smartphone2002, pocketpc2003, smartphone2003, windowsmobile5, windowsmobile6, ce4.2, ce5.0, ce6.0, compact7, compact2013|[[device]]\nname = "x"\nplatform = "palm"
64|bad.toml:4: unknown key 'colour'|[[device]]\nname = "x"\nplatform = "ce6.0"\ncolour = "red"
64|bad.toml:4: key 'missing': it is not an array of strings|[[device]]\nname = "x"\nplatform = "ce6.0"\nmissing = "c.dll"
64|bad.toml:1: device 'x': --security: Windows Embedded CE 6.0 has no security configurations: give --platform windowsmobile5 or windowsmobile6|[[device]]\nname = "x"\nplatform = "ce6.0"\nsecurity = "locked"
66|bad.toml:4: key 'store': --store: cannot read missing.pem: No such file or directory|[[device]]\nname = "x"\nplatform = "windowsmobile6"\nstore = ["spc=missing.pem"]\nsecurity = "off"
64|bad.toml:4: a second device named 'x'|[[device]]\nname = "x"\nplatform = "ce6.0"\n[[device]]\nname = "x"\nplatform = "ce5.0"
EOF

# --- what --check does not take ---------------------------------------------
while IFS='|' read -r text arguments; do
    read -ra args <<<"${arguments//CAB/${cabs[0]}}"
    actual=0
    "$ce_run" "${args[@]}" >out 2>err || actual=$?
    [ "$actual" = 64 ] && [ "$(cat err)" = "ce-run: $text" ] ||
        fail "$arguments: status $actual, '$(cat err)', not 64, 'ce-run: $text'"
done <<'EOF'
--check: no CAB given|--check
--check installs the CABs it is given: not with --install|--check --install CAB CAB
--check traces nothing: --format json holds each install's lines|--check --trace t CAB
--fleet and --format are --check's|--format json CAB
--format: 'xml' is not text, json or junit|--check --format xml CAB
--fleet names the devices: not with --platform|--check --platform ce6.0 --fleet f.toml CAB
EOF

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: --check answers each cell as the single run, in each format, for a fleet"
