#!/usr/bin/env bash
# Runs fio and `tallowin-cli bench` against the same folder with comparable parameters and prints
# a side-by-side table (Markdown). Usage: scripts/compare-fio.sh [FOLDER] [TALLOWIN_CLI]
# (an optimised build of tallowin-cli, by default build-release/).
# The folder is created if needed; every file this script creates in it is removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
folder=${1:-/var/tmp/tallowin-fio-compare}
cli=${2:-$here/build-release/src/cli/tallowin-cli}
size=1000000000 # the 1 GB payload of `bench --size 1`
mkdir -p "$folder"
work=$(mktemp -d "$folder/fio.XXXXXX")
trap 'rm -rf "$work"' EXIT

drop_caches() {
    sync
    if [ -w /proc/sys/vm/drop_caches ]; then echo 3 >/proc/sys/vm/drop_caches; fi
}

run_fio() { # name, extra arguments…
    local name=$1
    shift
    fio --name="$name" --directory="$work" --ioengine=psync --direct=0 --output-format=json "$@" >"$work/$name.json"
}

# Sequential: 16 MiB calls, one fsync at the end of the write; the read starts with a cold cache
# (fio's invalidate=1 drops the file's pages, as the benchmark does after its write).
run_fio seqwrite --filename=seq.bin --rw=write --bs=16m --size=$size --end_fsync=1
drop_caches
run_fio seqread --filename=seq.bin --rw=read --bs=16m --size=$size --invalidate=1
# Random: 4 KiB at random offsets in a 512 MiB region for 5 s each, written first so that reads
# meet allocated blocks, then a cold-cache read.
run_fio randprep --filename=rand.bin --rw=write --bs=4m --size=512m --end_fsync=1
# The benchmark's offsets are byte-granular (--ba=1); the aligned runs are shown for reference.
# The writes start on cached pages (invalidate=0), as the benchmark's do after filling the region:
# an unaligned 4 KiB write to an uncached page must first read the pages it only partly covers.
random_common="--filename=rand.bin --bs=4k --size=512m --runtime=5 --time_based --norandommap"
run_fio randwrite $random_common --rw=randwrite --ba=1 --end_fsync=1 --invalidate=0
drop_caches
run_fio randread $random_common --rw=randread --ba=1 --invalidate=1
run_fio randwrite-aligned $random_common --rw=randwrite --end_fsync=1 --invalidate=0
drop_caches
run_fio randread-aligned $random_common --rw=randread --invalidate=1
rm -f "$work/seq.bin" "$work/rand.bin"

drop_caches
"$cli" bench "$work" --size 1 --json >"$work/tallowin.json" 2>/dev/null
rm -f "$work"/Tallowin-Performance-*.html

python3 - "$work" <<'PY'
import json, sys, os
work = sys.argv[1]
def job(name):
    return json.load(open(os.path.join(work, name + ".json")))["jobs"][0]
t = json.load(open(os.path.join(work, "tallowin.json")))
sw, sr, rw, rr = job("seqwrite")["write"], job("seqread")["read"], job("randwrite")["write"], job("randread")["read"]
rows = [
    ("Sequential write (16 MiB, fsync at end)", f"{sw['bw_bytes']/1e6:,.1f} MB/s", f"{t['writeThroughput']/1e6:,.1f} MB/s"),
    ("Sequential read (16 MiB, cold cache)", f"{sr['bw_bytes']/1e6:,.1f} MB/s", f"{t['readThroughput']/1e6:,.1f} MB/s"),
    ("Random write (4 KiB, 5 s)", f"{rw['iops']:,.0f} IOPS", f"{t['randomWriteIOPS']:,.0f} IOPS"),
    ("Random read (4 KiB, 5 s, cold cache)", f"{rr['iops']:,.0f} IOPS", f"{t['randomReadIOPS']:,.0f} IOPS"),
    ("Random write, 4 KiB-aligned offsets (fio only)", f"{job('randwrite-aligned')['write']['iops']:,.0f} IOPS", "-"),
    ("Random read, 4 KiB-aligned offsets (fio only)", f"{job('randread-aligned')['read']['iops']:,.0f} IOPS", "-"),
]
print("| Measurement | fio | tallowin-cli bench |")
print("|---|---|---|")
for row in rows:
    print("| " + " | ".join(row) + " |")
PY
