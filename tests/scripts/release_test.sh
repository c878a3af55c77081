#!/usr/bin/env bash
# scripts/release, in a fresh clone of the source as its working tree
# stands: the bundle holds exactly the expected files, its checksums
# verify once unpacked, two releases of the same tree are the same bytes,
# and each refusal is one "release: " line with its own status that
# leaves the bundle as it was.
#
# usage: release_test.sh SOURCE_DIR SIGNED_DIR
# (SIGNED_DIR holds what scripts/sign made of the images of a build of
# SOURCE_DIR's working tree with nothing set: the documented build, sign,
# release flow)
set -euo pipefail
source_dir=$1 signed_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A release is of a commit; the suite tests the working tree. So the clone
# takes the working tree's files, changes and untracked ones too, as one
# more commit with the last commit's dates: the date the build under test
# carries (scripts/source-date).
git clone -q "$source_dir" "$work/tree"
cd "$work/tree"
git ls-files -z | xargs -0 rm -f --
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [ ! -e "$file" ] || printf '%s\0' "$file"; done |
    tar --null -T - -cf -) | tar -xf -
git add -A
if ! git diff --cached --quiet; then
    GIT_COMMITTER_DATE=$(git log -1 --format=%cI) GIT_AUTHOR_DATE=$(git log -1 --format=%aI) \
        git -c user.name="release test" -c user.email=release-test@invalid commit -q -m "the working tree"
fi
# With nothing set, unless a row sets release_date.
release_date=""
release() {
    if [ -n "$release_date" ]; then
        SOURCE_DATE_EPOCH=$release_date "$work/tree/scripts/release" "$@"
    else
        env -u SOURCE_DATE_EPOCH "$work/tree/scripts/release" "$@"
    fi >"$work/stdout" 2>"$work/stderr"
}
release --signed "$signed_dir" || { cat "$work/stderr"; echo "FAIL: the release failed"; exit 1; }
bundle=$(cat "$work/stdout")
[ "$bundle" = "$PWD/dist/stowkey-$(sed -n 's/^project(stowkey VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt).zip" ] ||
    fail "the release printed '$bundle'"

# Every kind the build lists, unsigned and signed; the rows below that
# need one kind take the first, and those that need two the first and the last.
kinds_list=$(scripts/kinds build/device)
read -r -d '' -a kinds <<<"$kinds_list" || :
first=${kinds[0]} last=${kinds[-1]}
expected=$(for kind in "${kinds[@]}"; do
               printf '%s\n' {,signed/}"$kind"/stowkey.{cab,exe}
           done | cat - <(printf '%s\n' CHANGELOG.md LICENSE SHA256SUMS devices.md sources.md) | LC_ALL=C sort | tr '\n' ' ')
listed=$(unzip -Z1 "$bundle" | tr '\n' ' ')
[ "$listed" = "$expected" ] || fail "the bundle holds $listed"
# docs/building.md names each file at the bundle's top.
release_paragraph=$(sed -n '/^`scripts\/release` refuses a tree/,/^$/p' "$source_dir/docs/building.md" | tr '\n' ' ')
for file in $(unzip -Z1 "$bundle" | grep -v /); do
    [[ $release_paragraph == *"\`$file\`"* ]] || fail "docs/building.md's release paragraph does not name $file"
done
mkdir "$work/unpacked"
unzip -q "$bundle" -d "$work/unpacked"
(cd "$work/unpacked" && sha256sum --quiet -c SHA256SUMS) || fail "sha256sum -c fails in the unpacked bundle"
[ "$(cut -c67- "$work/unpacked/SHA256SUMS" | tr '\n' ' ')" = "${expected/SHA256SUMS /}" ] ||
    fail "SHA256SUMS covers $(cut -c67- "$work/unpacked/SHA256SUMS" | tr '\n' ' ')"
# The devices page in the bundle holds the README's table it links to in
# the source, and no link that leads out of the bundle.
grep -qF '| all three keys flushed | 0 | nothing | nothing |' "$work/unpacked/devices.md" ||
    fail "the bundled devices page lacks the README's table of how stowkey ends"
grep -n '](\.\./\|](signing\.md)' "$work/unpacked/devices.md" &&
    fail "the bundled devices page links out of the bundle"
echo "checked: the bundle's files and checksums"

cp "$bundle" "$work/first.zip"
release --signed "$signed_dir" --force || { cat "$work/stderr"; fail "the second release failed"; }
cmp -s "$bundle" "$work/first.zip" || fail "two releases of the same tree differ"
# The same date with a leading zero, read as decimal: the same bytes.
release_date=0$(git log -1 --format=%ct)
release --signed "$signed_dir" --force || { cat "$work/stderr"; fail "the release dated with a leading zero failed"; }
release_date=""
cmp -s "$bundle" "$work/first.zip" || fail "a leading zero in SOURCE_DATE_EPOCH changed the release"
echo "checked: two releases of the same tree are the same bytes"

# Each row: status, text the one "release: " line must hold, then the
# arguments; $setup prepares the tree first and $undo puts it back.
refused() {
    local status=$1 text=$2 actual
    shift 2
    eval "${setup:-}"
    release "$@" && actual=0 || actual=$?
    eval "${undo:-}"
    setup="" undo=""
    [ "$actual" = "$status" ] || fail "[$*]: status $actual, not $status: $(cat "$work/stderr")"
    [ "$(wc -l <"$work/stderr")" = 1 ] && grep -q "^release: " "$work/stderr" ||
        fail "[$*]: not one 'release: ' line: $(cat "$work/stderr")"
    grep -qF -- "$text" "$work/stderr" || fail "[$*]: '$text' is not in $(cat "$work/stderr")"
    [ "$(ls -A dist)" = "$(basename "$bundle")" ] && cmp -s "$bundle" "$work/first.zip" ||
        fail "[$*]: the bundle changed, or another file is in dist/: $(ls -A dist)"
}
cp -r "$signed_dir" "$work/altered"
cp -r "$signed_dir" "$work/swapped"
printf '\xff' | dd of="$work/altered/$last/stowkey.exe" bs=1 seek=1024 conv=notrunc status=none
cp "$signed_dir/$last/stowkey.cab" "$work/swapped/$first/stowkey.cab"
# The signed image and the setup files packed again, but never signed.
cp -r "$signed_dir" "$work/unsigned-cab"
mkdir "$work/cab"
cabextract -q -d "$work/cab" "$signed_dir/$last/stowkey.cab" 2>/dev/null
scripts/pack-cab "$work/cab/stowkey.000" "$work/cab/_setup.xml" "$work/cab/stowkey.001" \
    "$work/unsigned-cab/$last/stowkey.cab"

refused 2 "unknown argument --sign" --sign "$signed_dir"
refused 5 "dist/$(basename "$bundle") exists: give --force to replace it"
setup='echo "# changed" >>README.md' undo='git checkout -q README.md'
refused 3 "the tree has changes or untracked files, so the release would not be the commit's: README.md" --force
setup='touch stray' undo='rm stray'
refused 3 "untracked files, so the release would not be the commit's: stray" --force
refused 4 "$work/altered/$last/stowkey.exe is not this build's $last/stowkey.exe with a signature added" \
    --signed "$work/altered" --force
refused 4 "$work/swapped/$first/stowkey.cab does not hold this build's two setup files" \
    --signed "$work/swapped" --force
setup='cd "$work"' undo='cd "$work/tree"'
refused 4 "$work/altered/$last/stowkey.exe is not this build's" --signed altered --force
refused 4 "$work/unsigned-cab/$last/stowkey.cab carries no signature, or one that does not match its contents" \
    --signed "$work/unsigned-cab" --force
date=$(git log -1 --format=%ct)
setup='release_date=$((date + 86400))' undo='release_date=""'
refused 4 "$signed_dir/$first/stowkey.exe differs from this build's $first/stowkey.exe only in its timestamp: it was built dated $date, this release is dated $((date + 86400))" \
    --signed "$signed_dir" --force
echo "checked: refusals"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: scripts/release"
