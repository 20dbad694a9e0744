#!/usr/bin/env bash
# Builds Tallowin in one configuration and runs its tests. Tests that need root (loop devices,
# mounts) skip themselves, and show as skipped, when not run as root.
#   scripts/test.sh            AddressSanitizer + UndefinedBehaviorSanitizer, every test (the default)
#   scripts/test.sh release    an optimised build (-O3, where GCC warns most), every test
#   scripts/test.sh thread     ThreadSanitizer, the tests of the concurrent layers
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
configuration=${1:-sanitize}
"$here/scripts/install-deps.sh" --tests

labels=()
case "$configuration" in
sanitize)
    options=(-DCMAKE_BUILD_TYPE=Debug -DTALLOWIN_SANITIZE=ON)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ;;
release)
    options=(-DCMAKE_BUILD_TYPE=Release)
    ;;
thread)
    options=(-DCMAKE_BUILD_TYPE=Debug -DTALLOWIN_SANITIZE_THREADS=ON -DTALLOWIN_BUILD_BENCHMARKS=OFF)
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    labels=(-L '^(core|monitor|benchmark|charts|dashboard|smart|exporter|daemon|helper_protocol|app|windows)$')
    ;;
*)
    echo "usage: scripts/test.sh [sanitize|release|thread]" >&2
    exit 2
    ;;
esac

build="$here/build-$configuration"
cmake -S "$here" -B "$build" -G Ninja "${options[@]}"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure --timeout 600 -j 2 "${labels[@]}"
