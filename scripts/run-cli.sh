#!/usr/bin/env bash
# Builds the command line and shows live I/O of the volume that holds the current folder
# (Ctrl-C stops). Arguments go to `tallowin-cli monitor`.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALLOWIN_BUILD_TESTS=OFF -DTALLOWIN_BUILD_BENCHMARKS=OFF
cmake --build "$here/build" --target tallowin-cli
# shellcheck source=scripts/monitor-arguments.sh
source "$here/scripts/monitor-arguments.sh"
with_default_folder "$@"
exec "$here/build/src/cli/tallowin-cli" monitor "${monitor_arguments[@]}"
