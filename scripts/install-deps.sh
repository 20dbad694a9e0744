#!/usr/bin/env bash
# Installs the Debian 12 packages that Tallowin needs, only when some are missing.
#   scripts/install-deps.sh          build and run
#   scripts/install-deps.sh --tests  also what the tests use
#   scripts/install-deps.sh --package  also what building the Debian package uses
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libfmt-dev libcli11-dev nlohmann-json3-dev libasio-dev libsystemd-dev libblkid-dev
    qt6-base-dev qt6-qpa-plugins libqrencode-dev fonts-dejavu-core fonts-noto-cjk
    smartmontools pci.ids usb.ids prometheus-cpp-dev
)
if [[ "${1:-}" == "--tests" ]]; then
    packages+=(libgtest-dev libgmock-dev libbenchmark-dev e2fsprogs util-linux desktop-file-utils libxml2-utils libzbar-dev prometheus)
fi
if [[ "${1:-}" == "--package" ]]; then
    packages+=(dpkg-dev file)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
