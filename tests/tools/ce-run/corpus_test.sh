#!/usr/bin/env bash
# Real CABs, made by Microsoft's CabWiz for devices of their day and taken
# from public repositories, through ce-run's installers: every row of
# CORPUS_DIR/expected.tsv (a CAB, a platform, options, the statuses a
# correct answer may have). A refusal or an open question is one line on
# standard error; an install traces each file it wrote, each of a size
# that cabextract lists in the cabinet. On Windows Mobile 6, each CAB that
# holds both setup files installs the same from either
# (--compare-setup-files). Microsoft's signatures verify against its root,
# at the time of their timestamps; its SDK certificates go into their
# stores. The CABs are never copied into the repository:
# where CORPUS_DIR is absent the test says so and is skipped (77).
#
# usage: corpus_test.sh CE_RUN CORPUS_DIR
set -euo pipefail
ce_run=$1 corpus=$2
[ -f "$corpus/expected.tsv" ] || { echo "skipped: no corpus of real CABs at $corpus"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0 rows=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

while IFS=$'\t' read -r cab platform options allowed label; do
    [[ $cab == \#* ]] && continue
    rows=$((rows + 1))
    read -ra extra <<<"${options//ROOT\//$corpus/}"
    [ "$options" = - ] && extra=()
    where="$cab on $platform${extra[*]:+ (${extra[*]})}"
    status=0
    "$ce_run" --platform "$platform" --install-only "${extra[@]}" --trace "$work/trace" \
        --install "$corpus/$cab.cab" >"$work/out" 2>"$work/err" || status=$?
    [[ ",$allowed," == *",$status,"* ]] ||
        fail "$where: status $status, not one of $allowed ($label): $(cat "$work/err")"
    [ ! -s "$work/out" ] || fail "$where: standard output holds $(cat "$work/out")"
    if [ "$status" -ne 0 ]; then
        [ "$(wc -l <"$work/err")" = 1 ] && grep -q "^ce-run: $corpus/$cab.cab: " "$work/err" ||
            fail "$where: standard error is not one ce-run line: $(cat "$work/err")"
        continue
    fi
    [ ! -s "$work/err" ] || fail "$where: installs, and says $(cat "$work/err")"
    sizes=" $(cabextract -l "$corpus/$cab.cab" 2>/dev/null | awk '$2 == "|" { print $1 }' | tr '\n' ' ') "
    written=$(sed -n 's/^install: wrote .* (\([0-9]*\) bytes).*$/\1/p' "$work/trace")
    [ -n "$written" ] || grep -q "^install: add certificate" "$work/trace" ||
        fail "$where: installs, and the trace names no file it wrote and no certificate it added"
    for size in $written; do
        [[ $sizes == *" $size "* ]] || fail "$where: the trace writes a file of $size bytes, which the cabinet does not hold"
    done
done <"$corpus/expected.tsv"
[ "$rows" -gt 0 ] || fail "$corpus/expected.tsv has no rows"
echo "checked: $rows rows of expected.tsv"

for cab in "$corpus"/*.cab; do
    listing=$(cabextract -l "$cab" 2>/dev/null)
    grep -q '\.000$' <<<"$listing" && grep -q '_setup\.xml$' <<<"$listing" || continue
    "$ce_run" --platform windowsmobile6 --install-only --setup-dll continue --compare-setup-files \
        --install "$cab" 2>"$work/err" || fail "$(basename "$cab"): its setup files differ: $(cat "$work/err")"
done
echo "checked: the setup files of each CAB that holds both"

# Microsoft's signed CABs: their signers expired after they signed, as
# their verified timestamps say; on a device of 2015 they install.
for row in netcf35-wm-armv4i:2007-10-11 sqlce35-dev-es-wm:2007-10-02; do
    cab=${row%%:*} stamped=${row#*:}
    "$ce_run" --platform windowsmobile6 --install-only --setup-dll continue --security locked \
        --store "spc=$corpus/microsoft-root-authority.pem" --device-date 2015-01-01 \
        --trace "$work/trace" --install "$corpus/$cab.cab" 2>"$work/err" &&
        grep -q "^security: the CAB: signed by \"CN=Microsoft Mobile Device Privileged.*\", timestamped $stamped, chained to the SPC store: it installs with no role given to its SPC root (locked)\$" "$work/trace" ||
        fail "$cab on a device of 2015: $(cat "$work/err") $(grep '^security' "$work/trace")"
done
echo "checked: Microsoft's signatures, judged at their timestamps"

# Microsoft's SDK certificates, accepted on a one-tier-prompt Windows
# Mobile 5 Pocket PC (whose policy 4119 gives USER_AUTH Manager's rights),
# leave each certificate of its _setup.xml in its store: the trace's
# hashes are those openssl computes from the document's certificates.
cabextract -q -d "$work/sdkcerts" "$corpus/sdkcerts-wm5sdk.cab"
xml=$work/sdkcerts/_setup.xml
expected=""
for store in "Privileged Execution Trust Authorities" "Unprivileged Execution Trust Authorities" SPC; do
    while read -r value; do
        [ -n "$value" ] || continue
        hash=$(base64 -d <<<"$value" | openssl x509 -inform DER -noout -fingerprint -sha1 |
               cut -d= -f2 | tr -d : | tr A-F a-f)
        expected+="$hash $store"$'\n'
    done < <(xmllint --xpath "//characteristic[@type='$store']/characteristic/parm[@name='EncodedCertificate']/@value" "$xml" |
             sed -n 's/^ *value="\(.*\)"$/\1/p')
done
"$ce_run" --platform windowsmobile5 --install-only --security one-tier-prompt --answer yes \
    --trace "$work/trace" --install "$corpus/sdkcerts-wm5sdk.cab" 2>"$work/err" ||
    fail "sdkcerts-wm5sdk on a one-tier-prompt Windows Mobile 5: $(cat "$work/err")"
added=$(sed -n 's/^install: add certificate \([0-9a-f]*\) to the \(.*\) store.*$/\1 \2/p' "$work/trace")
[ "$(sort <<<"$added")" = "$(sort <<<"${expected%$'\n'}")" ] && [ "$(wc -l <<<"$added")" = 8 ] ||
    fail "sdkcerts-wm5sdk leaves other certificates than its document's 8: $added"
echo "checked: Microsoft's SDK certificates in their three stores"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: the real CABs answer as their devices do"
