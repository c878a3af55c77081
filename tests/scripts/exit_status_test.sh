#!/usr/bin/env bash
# Each tool states its exit statuses once: its --help lists them ("Exit
# status:", then "  N  meaning" a line), and its doc page's table, marked
# "<!-- statuses: TOOL -->", has a row for each of them, in order, whose
# meaning begins with --help's; neither has a status the other lacks.
#
# usage: exit_status_test.sh SOURCE_DIR CE_RUN
set -euo pipefail
source_dir=$1 ce_run=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# TOOL DOC COMMAND...: the tool as the doc's marker names it, its page,
# and the command that prints its --help.
while read -r tool doc command; do
    helped=$($command --help | sed -n '/^Exit status/,$p' | sed -n 's/^  \([0-9][0-9]*\)  \(.*\)$/\1\t\2/p')
    tabled=$(sed -n "/^<!-- statuses: ${tool//\//\\/} -->\$/,/^\$/p" "$source_dir/$doc" |
             sed -n 's/^| \([0-9][0-9]*\) | \(.*\) |$/\1\t\2/p')
    [ -n "$helped" ] || fail "$tool: --help lists no exit status"
    [ -n "$tabled" ] || fail "$tool: $doc has no table marked <!-- statuses: $tool -->"
    [ "$(cut -f1 <<<"$helped" | tr '\n' ' ')" = "$(cut -f1 <<<"$tabled" | tr '\n' ' ')" ] ||
        fail "$tool: --help lists $(cut -f1 <<<"$helped" | tr '\n' ' '), $doc $(cut -f1 <<<"$tabled" | tr '\n' ' ')"
    while IFS=$'\t' read -r status meaning; do
        row=$(awk -F'\t' -v s="$status" '$1 == s { print $2; exit }' <<<"$tabled")
        [[ $row == "$meaning"* ]] || fail "$tool: $doc's $status is '$row', which does not begin with --help's '$meaning'"
    done <<<"$helped"
done <<EOF_TOOLS
ce-run docs/ce-run.md $ce_run
scripts/sign docs/signing.md $source_dir/scripts/sign
scripts/provision docs/signing.md $source_dir/scripts/provision
scripts/package docs/building.md $source_dir/scripts/package
scripts/release docs/building.md $source_dir/scripts/release
scripts/pack-cab docs/building.md $source_dir/scripts/pack-cab
scripts/source-date docs/building.md $source_dir/scripts/source-date
EOF_TOOLS

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: each tool's --help and its doc page list the same exit statuses"
