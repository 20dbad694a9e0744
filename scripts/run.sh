#!/usr/bin/env bash
# Builds Tallowin and starts the desktop application. Arguments go to `tallowin`.
#
# Where systemd does not run (containers, some WSL setups) and root is at hand (running as root,
# or sudo without a password), the SMART helper is started in standalone mode on a private
# socket for as long as the application runs, so SMART works from a development checkout.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    cat >&2 <<'TEXT'
No display: neither DISPLAY nor WAYLAND_DISPLAY is set, so the desktop application cannot open
its window. On a server or over SSH, use the command line instead:

    ./scripts/run-cli.sh                  live I/O of the current folder's volume
    build/src/cli/tallowin-cli --help     every subcommand (volume, monitor, bench, smart)

or start a virtual display first (Xvfb :99 &  then  DISPLAY=:99 ./scripts/run.sh).
TEXT
    exit 1
fi

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALLOWIN_BUILD_TESTS=OFF -DTALLOWIN_BUILD_BENCHMARKS=OFF
cmake --build "$here/build" --target tallowin com.tallowin.ProbeWarden tallowin-cli

app="$here/build/src/app/tallowin"
daemon="$here/build/src/daemon/com.tallowin.ProbeWarden"

as_root=()
can_be_root=false
if [[ $(id -u) -eq 0 ]]; then
    can_be_root=true
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    can_be_root=true
    as_root=(sudo -n)
fi

helper_pid=""
helper_dir=""
stop_helper() {
    if [[ -n "$helper_pid" ]]; then
        "${as_root[@]}" kill -TERM "$helper_pid" 2>/dev/null || true
        wait "$helper_pid" 2>/dev/null || true
        helper_pid=""
    fi
    if [[ -n "$helper_dir" ]]; then
        rm -rf "$helper_dir"
        helper_dir=""
    fi
}

if [[ ! -d /run/systemd/system ]] && $can_be_root && [[ -z "${TALLOWIN_HELPER_SOCKET:-}" ]]; then
    # A folder only this user can enter holds the socket, so no other user reaches the helper.
    helper_dir=$(mktemp -d "${TMPDIR:-/tmp}/tallowin-helper.XXXXXX")
    export TALLOWIN_HELPER_SOCKET="$helper_dir/probewarden.sock"
    trap stop_helper EXIT
    trap 'exit 130' INT TERM
    "${as_root[@]}" env TALLOWIN_HELPER_SOCKET="$TALLOWIN_HELPER_SOCKET" "$daemon" &
    helper_pid=$!
    for _ in $(seq 50); do
        [[ -S "$TALLOWIN_HELPER_SOCKET" ]] && break
        sleep 0.1
    done
    if [[ -S "$TALLOWIN_HELPER_SOCKET" ]]; then
        echo "SMART helper running in standalone mode on $TALLOWIN_HELPER_SOCKET" >&2
    else
        echo "The SMART helper did not start; SMART data will be missing." >&2
    fi
elif [[ ! -d /run/systemd/system ]] && ! $can_be_root; then
    echo "No systemd and no root: SMART data needs the helper (docs/smart-helper.md)." >&2
fi

status=0
"$app" "$@" || status=$?
stop_helper
exit "$status"
