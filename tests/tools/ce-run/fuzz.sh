#!/usr/bin/env bash
# A bounded fuzz run of the image loader, the cabinet reader and the
# setup-file readers from a seed corpus holding the real images, CABs and
# setup files, those of every kind the device build made; any crash,
# sanitizer report or trap fails it.
# usage: fuzz.sh FUZZER SECONDS DEVICE_DIR
set -euo pipefail
fuzzer=$1 seconds=$2 device_dir=$3
images=("$device_dir"/*/stowkey.exe)
[ -f "${images[0]}" ] || { echo "fuzz.sh: no image in $device_dir"; exit 1; }
set -- "${images[@]}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
n=0
for image in "$@"; do
    n=$((n + 1))
    cp "$image" "$work/corpus/image$n.exe"
    head -c 512 "$image" >"$work/corpus/headers-only$n"
    # The CAB's setup files, built beside the image.
    cp "$(dirname "$image")/cab/stowkey.000" "$work/corpus/setup$n.000"
    cp "$(dirname "$image")/cab/_setup.xml" "$work/corpus/setup$n.xml"
    cp "$(dirname "$image")/stowkey.cab" "$work/corpus/cabinet$n.cab"
done
cd "$work"
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/corpus" || status=$?
# The temporary directory goes; the input that failed must not go with it.
for artifact in "$work"/artifacts/*; do
    [ -e "$artifact" ] || continue
    echo "fuzz.sh: $(basename "$artifact"), base64:"
    base64 "$artifact"
done
exit "$status"
