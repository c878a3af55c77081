#!/usr/bin/env bash
# A bounded run of one of ce-run's fuzz targets (image, install, run) from
# seeds the device build made: the images, the test images, the CABs and
# the test CABs (each CAB behind the two bytes of the install target's
# choices, for several platforms). Any crash, sanitizer report, trap or
# input slower than the time limit fails it, and the input is printed,
# with the command that reproduces it. It ends with a line of figures:
# coverage (edges) and executions a second.
#
# usage: fuzz.sh ROOM FUZZER SECONDS DEVICE_DIR [CORPUS_DIR [FAILURES_DIR]]
# (a CORPUS_DIR and FAILURES_DIR of scripts/fuzz's keep what they gather;
# else a temporary one is used)
set -euo pipefail
room=$1 fuzzer=$2 seconds=$3 device_dir=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpus=${5:-$work/corpus} failures=${6:-$work/failures}
mkdir -p "$corpus" "$failures" "$work/seeds"
# Each input within a second or two, whatever it holds: the work is bounded.
time_limit=2
images=("$device_dir"/*/stowkey.exe "$device_dir"/test-images/*.exe)
cabs=("$device_dir"/*/stowkey.cab "$device_dir"/test-cabs/*.cab)
[ -f "${images[0]}" ] && [ -f "${cabs[0]}" ] || { echo "fuzz.sh: no image or CAB in $device_dir"; exit 1; }
n=0
case $room in
    image|run)
        max_len=8192
        for image in "${images[@]}"; do
            n=$((n + 1))
            cp "$image" "$work/seeds/image$n.exe"
            head -c 512 "$image" >"$work/seeds/headers$n"
        done ;;
    install)
        max_len=16384
        for cab in "${cabs[@]}"; do
            # Pocket PC 2003; Windows Mobile 6 with the setup DLL
            # continuing, one-tier-prompt and the answer yes; CE 6.0 with a
            # file and a value there; CE 5.0 comparing the setup files;
            # Windows Mobile 6, one-tier-prompt, yes, USER_AUTH with the
            # Manager's rights (provisioning).
            for choice in '\x03\x07' '\x2a\x09' '\x15\x07' '\x08\x87' '\x06\x51'; do
                n=$((n + 1))
                { printf "$choice"; cat "$cab"; } >"$work/seeds/cab$n"
            done
        done ;;
    *) echo "fuzz.sh: no target $room"; exit 64 ;;
esac
cd "$work"
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=$time_limit -rss_limit_mb=2048 -max_len=$max_len \
    -artifact_prefix="$failures/" -print_final_stats=1 "$corpus" "$work/seeds" >"$work/log" 2>&1 ||
    status=$?
tail -n 40 "$work/log"
for failure in "$failures"/*; do
    [ -e "$failure" ] || continue
    echo "fuzz.sh: $room failed on $failure; base64:"
    base64 "$failure"
    echo "fuzz.sh: to reproduce it: $fuzzer $failure"
done
edges=$(grep -o 'cov: [0-9]*' "$work/log" | tail -n 1 | cut -d' ' -f2)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -n 1)
echo "fuzz.sh: $room: coverage ${edges:-?} edges, ${rate:-?} executions a second, $seconds seconds"
exit "$status"
