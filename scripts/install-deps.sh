#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Further package names given as arguments are installed the same way (for
# example the Python packages that the Python client's test imports).
source "$(dirname "$0")/lib/strict.sh"
source "$(dirname "$0")/lib/apt.sh"

packages=(build-essential cmake pkg-config libzmq3-dev libjsoncpp-dev libtinyxml-dev
          libgtest-dev "$@")
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
qrx_apt_update_amd64
qrx_apt_install "${missing[@]}"
