#!/usr/bin/env bash
# ce-run as a fleet installs it: `cmake --install` puts ce-run in
# PREFIX/bin and its man page in PREFIX/share/man/man1; man renders the
# page without a warning, and it names every option --help lists; and
# scripts/package's Debian package (lintian reports no error: the script
# fails otherwise), unpacked with dpkg -x into a folder of its own, runs
# --version and a --check, depends on the libraries ce-run links, and
# holds its license in Debian's machine-readable format.
#
# usage: package_test.sh SOURCE_DIR BUILD_DIR DEVICE_DIR
set -euo pipefail
source_dir=$1 build_dir=$2 device_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$source_dir/scripts/install-packages" man-db dpkg-dev
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
version=$(sed -n 's/^project(stowkey VERSION \([0-9.]*\).*$/\1/p' "$source_dir/CMakeLists.txt")
cab=$device_dir/$(awk '$1 !~ /^#/ { print $1; exit }' "$device_dir/kinds")/stowkey.cab

# installed_ce_run ROOT: ROOT/usr/bin/ce-run and its man page, as installed
installed_ce_run() {
    local root=$1 page
    page=$(ls "$root"/share/man/man1/ce-run.1* 2>/dev/null | head -n 1)
    [ -x "$root/bin/ce-run" ] || { fail "$root: no bin/ce-run"; return; }
    [ -n "$page" ] || { fail "$root: no share/man/man1/ce-run.1"; return; }
    [ "$("$root/bin/ce-run" --version)" = "ce-run (stowkey) $version" ] ||
        fail "$root: ce-run --version says $("$root/bin/ce-run" --version)"
    MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >"$work/page" 2>"$work/warnings" ||
        fail "$root: man cannot render $page"
    [ ! -s "$work/warnings" ] || fail "$root: man warns of $page: $(cat "$work/warnings")"
    for option in $("$root/bin/ce-run" --help | grep -o -- '^  --[a-z-]*' | sort -u); do
        grep -q -- "$option" "$work/page" || fail "$root: the man page does not name $option"
    done
    "$root/bin/ce-run" --check --platform windowsmobile6 "$cab" >"$work/check" ||
        fail "$root: ce-run --check: $(cat "$work/check")"
    grep -q "on windowsmobile6: installs$" "$work/check" || fail "$root: ce-run --check says $(cat "$work/check")"
}

# --- cmake --install --------------------------------------------------------
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
installed_ce_run "$work/prefix"

# --- the Debian package ------------------------------------------------------
deb=$("$source_dir/scripts/package" "$work/package" 2>"$work/package.log") ||
    { cat "$work/package.log"; fail "scripts/package failed"; }
if [ -n "$deb" ]; then
    [[ $(basename "$deb") == ce-run_${version}_$(dpkg --print-architecture).deb ]] ||
        fail "the package is named $(basename "$deb")"
    dpkg -x "$deb" "$work/root"
    installed_ce_run "$work/root/usr"
    depends=$(dpkg-deb -f "$deb" Depends)
    for library in libunicorn libmspack libxml2 libssl libtomlplusplus; do
        [[ $depends == *"$library"* ]] || fail "the package does not depend on $library: $depends"
    done
    copyright=$work/root/usr/share/doc/ce-run/copyright
    head -n 1 "$copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
        fail "its copyright is not in the machine-readable format"
    grep -q '^License: BSD-2-Clause$' "$copyright" && grep -q '^License: GPL-2$' "$copyright" ||
        fail "its copyright does not state BSD-2-Clause and GPL-2"
fi

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: ce-run installs with cmake --install and as a Debian package"
