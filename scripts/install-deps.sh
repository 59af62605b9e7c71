#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Further package names given as arguments are installed the same way (for
# example the Python packages that the Python client's test imports).
source "$(dirname "$0")/lib/strict.sh"
source "$(dirname "$0")/lib/apt.sh"

packages=(build-essential cmake pkg-config libzmq3-dev libjsoncpp-dev libtinyxml-dev
          libgtest-dev "$@")
mapfile -t missing < <(qrx_missing_packages "${packages[@]}")
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
qrx_apt_update_amd64
qrx_apt_install "${missing[@]}"
