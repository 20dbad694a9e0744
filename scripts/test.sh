#!/usr/bin/env bash
# Builds Tallowin with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
# Tests that need root (loop devices, mounts) skip themselves when not run as root.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh" --tests
build="$here/build-sanitize"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALLOWIN_SANITIZE=ON
cmake --build "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure --timeout 600 -j 2
