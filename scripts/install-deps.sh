#!/usr/bin/env bash
# Installs the Debian packages the tool and its tests need, when any is missing. Arguments name
# further packages a script needs beyond those (the package build, its install test).
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev libusb-1.0-0-dev zlib1g-dev libsqlite3-dev libpq-dev
    postgresql-15 openssl
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth
    fonts-liberation2 fonts-dejavu-core
    umockdev libumockdev-dev
    clang libclang-rt-14-dev
    "$@"
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    sudo=()
    if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
