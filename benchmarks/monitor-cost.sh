#!/bin/sh
# What `tallowin-cli monitor --interval 1` costs, against the floor of a bare loop that reads
# the same stat file once per millisecond: samples and batches per second, and CPU time.
#
#   benchmarks/monitor-cost.sh [BUILD_DIR] [SECONDS]      (defaults: build-release 10)
#   TALLOWIN_BENCHMARK_DEVICE=sda benchmarks/monitor-cost.sh
set -eu

build=${1:-build-release}
duration=${2:-10}
# The disk holding the temporary folder (its whole disk for a partition), unless named.
tempDisk() {
    number=$(stat -c '%Hd:%Ld' "${TMPDIR:-/tmp}" 2>/dev/null) || return 1
    object=$(readlink -f "/sys/dev/block/$number") || return 1
    [ -e "$object/partition" ] && object=$(dirname "$object")
    basename "$object"
}
device=${TALLOWIN_BENCHMARK_DEVICE:-$(tempDisk || echo vda)}
cli="$build/src/cli/tallowin-cli"
bare="$build/benchmarks/tallowin_bare_stat_loop"
for program in "$cli" "$bare"; do
    [ -x "$program" ] || { echo "missing $program; build it first" >&2; exit 1; }
done

output=$(mktemp)
timing=$(mktemp)
trap 'rm -f "$output" "$timing"' EXIT INT TERM

# Key of a one-line JSON object (flat, numbers only).
field() {
    printf '%s\n' "$1" | sed -n "s/.*\"$2\": *\([0-9.eE+-]*\).*/\1/p"
}

/usr/bin/time -f '%U %S %e' -o "$timing" "$cli" monitor --device "$device" --interval 1 --duration "$duration" --json >"$output"
summary=$(tail -n 1 "$output")
read -r user system elapsed <"$timing"
samples=$(field "$summary" samples)
batches=$(field "$summary" batches)
lines=$(($(wc -l <"$output") - 1))

/usr/bin/time -f '%U %S %e' -o "$timing" "$bare" "$device" "$duration" >"$output"
read -r bareUser bareSystem bareElapsed <"$timing"
bareReads=$(field "$(cat "$output")" reads)

awk -v samples="$samples" -v batches="$batches" -v lines="$lines" -v user="$user" -v sys="$system" \
    -v elapsed="$elapsed" -v bareReads="$bareReads" -v bareUser="$bareUser" -v bareSystem="$bareSystem" \
    -v bareElapsed="$bareElapsed" -v device="$device" -v duration="$duration" 'BEGIN {
    cpu = user + sys; bareCpu = bareUser + bareSystem
    printf "device %s, %s s at 1 ms\n", device, duration
    printf "%-28s %10s %10s %10s %10s %12s\n", "", "samples/s", "batches/s", "user s", "system s", "CPU %"
    printf "%-28s %10.1f %10.1f %10.2f %10.2f %11.2f%%\n", "tallowin-cli monitor", samples / elapsed, batches / elapsed, user, sys, 100 * cpu / elapsed
    printf "%-28s %10.1f %10s %10.2f %10.2f %11.2f%%\n", "bare pread loop", bareReads / bareElapsed, "-", bareUser, bareSystem, 100 * bareCpu / bareElapsed
    printf "JSON batch lines: %d (summary says %d batches)\n", lines, batches
    if (bareCpu > 0) printf "CPU ratio monitor / bare loop: %.1f\n", cpu / bareCpu
}'
