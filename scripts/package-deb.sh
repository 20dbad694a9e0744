#!/usr/bin/env bash
# Builds the Debian package (build-deb/tallowin_<version>_<arch>.deb) with the application, the
# command line, the SMART helper and its units, the desktop entry, icon and polkit action.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh" --package
cmake -S "$here" -B "$here/build-deb" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTALLOWIN_BUILD_TESTS=OFF -DTALLOWIN_BUILD_BENCHMARKS=OFF
cmake --build "$here/build-deb"
(cd "$here/build-deb" && cpack -G DEB)
ls -1 "$here"/build-deb/tallowin_*.deb
