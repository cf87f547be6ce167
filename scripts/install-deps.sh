#!/usr/bin/env bash
# Installs the Debian packages tvUT builds and tests with. Idempotent: when
# everything is present it only runs dpkg queries and returns.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libace-dev
    libboost-thread-dev libboost-filesystem-dev libboost-system-dev
    libcurl4-openssl-dev libssl-dev openssl
    libtinyxml-dev zlib1g-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    python3 unzip clang-format
    tinyproxy curl
    lintian
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
