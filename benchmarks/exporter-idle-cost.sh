#!/usr/bin/env bash
# The CPU time a running `tallowin-cli serve` takes while nobody scrapes it: utime + stime from
# /proc/<pid>/stat over an idle span, after a few seconds to settle (and one scrape, so that the
# server threads have started). SMART is left on (its first refresh is part of the settling).
#   benchmarks/exporter-idle-cost.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=${1:-build-release}
seconds=${2:-10}
output=$(mktemp)
"$build/src/cli/tallowin-cli" serve --listen 127.0.0.1:0 >"$output" 2>/dev/null &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$output"' EXIT
for _ in $(seq 50); do [[ -s $output ]] && break; sleep 0.1; done
curl -s "http://$(head -1 "$output")/metrics" >/dev/null
sleep 3
# utime + stime count whole clock ticks (10 ms), too coarse for an idle process; the scheduler's
# own run time of every thread (/proc/<pid>/task/*/schedstat, nanoseconds) is exact.
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
runtime() { cat /proc/$pid/task/*/schedstat | awk '{ sum += $1 } END { print sum }'; }
wakeups() { grep -h '^voluntary_ctxt_switches\|^nonvoluntary_ctxt_switches' /proc/$pid/task/*/status | awk '{ sum += $2 } END { print sum }'; }
ticksBefore=$(ticks); runtimeBefore=$(runtime); wakeupsBefore=$(wakeups)
sleep "$seconds"
ticksAfter=$(ticks); runtimeAfter=$(runtime); wakeupsAfter=$(wakeups)
echo "idle for ${seconds} s: $(( (runtimeAfter - runtimeBefore) / 1000 )) µs CPU" \
    "($((ticksAfter - ticksBefore)) ticks of 1/$(getconf CLK_TCK) s in utime+stime)," \
    "$((wakeupsAfter - wakeupsBefore)) context switches, $(ls /proc/$pid/task | wc -l) threads"
