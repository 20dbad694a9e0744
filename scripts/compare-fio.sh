#!/usr/bin/env bash
# Runs fio and `tallowin-cli bench --size 1` against the same folder, doing the same work, and
# prints a Markdown table of the medians with the spread (lowest–highest) over the runs.
# Usage: scripts/compare-fio.sh [FOLDER] [TALLOWIN_CLI] [RUNS]
# (an optimised build of tallowin-cli, by default build-release/; 3 runs by default).
#
# Identical work on both sides:
# - psync (one pwrite/pread per operation), buffered I/O, no preallocation (fio --fallocate=none);
# - sequential: 10^9 bytes written in 16 MiB calls into a new file, the final fsync inside the
#   timed span (fio --end_fsync=1; Tallowin's write phase ends after its fsync), then read back in
#   16 MiB calls after the file's cached pages are dropped;
# - random: a 512 MiB file written once and flushed (not timed; its pages stay cached, as
#   Tallowin's do), then 4 KiB writes at byte-granular offsets (fio --blockalign=1) for 5 s with
#   the final fsync inside the timed span, then the cache dropped and 4 KiB reads at byte
#   offsets in the same file for 5 s;
# - fio and Tallowin alternate, run after run, so that both see the same drift of a shared
#   machine; the caches are dropped before each program starts.
# The folder is created if needed; every file this script creates in it is removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
folder=${1:-/var/tmp/tallowin-fio-compare}
cli=${2:-$here/build-release/src/cli/tallowin-cli}
runs=${3:-3}
size=1000000000 # the 1 GB payload of `bench --size 1`
command -v fio >/dev/null || { echo "fio is not installed (apt-get install -y fio)" >&2; exit 1; }
[ -x "$cli" ] || { echo "no tallowin-cli at $cli" >&2; exit 1; }
mkdir -p "$folder"
work=$(mktemp -d "$folder/fio.XXXXXX")
trap 'rm -rf "$work"' EXIT

drop_caches() {
    sync
    if [ -w /proc/sys/vm/drop_caches ]; then echo 3 >/proc/sys/vm/drop_caches; fi
}

run_fio() { # output name, job name, extra arguments…
    local output=$1 name=$2
    shift 2
    fio --name="$name" --directory="$work" --ioengine=psync --direct=0 --fallocate=none \
        --output-format=json "$@" >"$work/$output.json"
}

fio_round() { # run number
    local n=$1
    rm -f "$work/seq.bin" "$work/rand.bin"
    drop_caches
    run_fio "fio-$n-seqwrite" seqwrite --filename=seq.bin --rw=write --bs=16m --size=$size --end_fsync=1
    # --invalidate=1 drops the file's cached pages, as the benchmark does after its write.
    run_fio "fio-$n-seqread" seqread --filename=seq.bin --rw=read --bs=16m --size=$size --invalidate=1
    rm -f "$work/seq.bin"
    run_fio "fio-$n-randprep" randprep --filename=rand.bin --rw=write --bs=4m --size=512m --end_fsync=1
    local random="--filename=rand.bin --bs=4k --size=512m --blockalign=1 --runtime=5 --time_based --norandommap"
    run_fio "fio-$n-randwrite" randwrite $random --rw=randwrite --invalidate=0 --end_fsync=1
    run_fio "fio-$n-randread" randread $random --rw=randread --invalidate=1
    rm -f "$work/rand.bin"
}

tallowin_round() { # run number
    local n=$1
    drop_caches
    "$cli" bench "$work" --size 1 --json >"$work/tallowin-$n.json" 2>/dev/null
    rm -f "$work"/Tallowin-Performance-*.html
}

for n in $(seq 1 "$runs"); do
    # Alternate which program goes first, so that neither always meets the other's write-back.
    if [ $((n % 2)) -eq 1 ]; then
        fio_round "$n"
        tallowin_round "$n"
    else
        tallowin_round "$n"
        fio_round "$n"
    fi
done

python3 - "$work" "$runs" <<'PY'
import json, os, statistics, sys
work, runs = sys.argv[1], int(sys.argv[2])
def load(name):
    return json.load(open(os.path.join(work, name + ".json")))
def fio(n, job, direction, key):
    return load(f"fio-{n}-{job}")["jobs"][0][direction][key]
rows = [
    ("Sequential write, 16 MiB calls, fsync inside", "MB/s",
        lambda n: fio(n, "seqwrite", "write", "bw_bytes") / 1e6, lambda t: t["writeThroughput"] / 1e6),
    ("Sequential read, 16 MiB calls, cold cache", "MB/s",
        lambda n: fio(n, "seqread", "read", "bw_bytes") / 1e6, lambda t: t["readThroughput"] / 1e6),
    ("Random write, 4 KiB, byte offsets, 5 s, fsync inside", "IOPS",
        lambda n: fio(n, "randwrite", "write", "iops"), lambda t: t["randomWriteIOPS"]),
    ("Random read, 4 KiB, byte offsets, 5 s, cold cache", "IOPS",
        lambda n: fio(n, "randread", "read", "iops"), lambda t: t["randomReadIOPS"]),
]
def cell(values, unit):
    digits = 1 if unit == "MB/s" else 0
    fmt = lambda v: f"{v:,.{digits}f}"
    return f"{fmt(statistics.median(values))} {unit} ({fmt(min(values))}–{fmt(max(values))})"
print(f"| Measurement ({runs} alternating runs: median, lowest–highest) | fio | tallowin-cli bench |")
print("|---|---|---|")
for label, unit, fio_value, tallowin_value in rows:
    fio_values = [fio_value(n) for n in range(1, runs + 1)]
    tallowin_values = [tallowin_value(load(f"tallowin-{n}")) for n in range(1, runs + 1)]
    print(f"| {label} | {cell(fio_values, unit)} | {cell(tallowin_values, unit)} |")
PY
