#!/usr/bin/env bash
# Installs the Debian packages tvUT needs, for one purpose:
#   install-deps.sh run    building the library, the sample host and the
#                          inspector, and running the local receiver
#   install-deps.sh test   all of that, plus what the test suite uses
#                          (GoogleTest, Google Benchmark, a real proxy, the
#                          packaging checks' tools)
# Idempotent: when everything is present it only runs dpkg queries. No
# service a package brings is started or left enabled: the test suite runs
# its own proxy in the foreground, from the package without the service.
set -euo pipefail

purpose=${1:-test}
run_packages=(
    build-essential cmake ninja-build pkg-config
    libace-dev
    libboost-thread-dev libboost-filesystem-dev libboost-system-dev
    libcurl4-openssl-dev libssl-dev openssl
    libtinyxml-dev zlib1g-dev
    python3
)
test_packages=(
    libgtest-dev libgmock-dev libbenchmark-dev
    unzip curl tinyproxy-bin
    lintian
)
case $purpose in
    run) packages=("${run_packages[@]}") ;;
    test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
    *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
# libtvUT.so links ACE statically, built once from Debian's own source into a
# cache outside the repo; once that cache is there this only says so.
static_ace() {
    $SUDO env TVUT_DEPS_CACHE="${TVUT_DEPS_CACHE:-}" bash "$(dirname "$0")/build-ace-static.sh"
}

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    static_ace
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive

# While the packages go in, invoke-rc.d starts nothing (exit 101: "action
# not allowed"); an administrator's own policy-rc.d is left as it is.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# tvUT install-deps.sh: no service starts during the install.\nexit 101\n' |
        $SUDO tee "$policy" >/dev/null
    $SUDO chmod 0755 "$policy"
    own_policy=1
fi
finish() {
    if [ -n "$own_policy" ]; then
        $SUDO rm -f "$policy"
    fi
}
trap finish EXIT

echo "install-deps: ${#missing[@]} Debian packages for '$purpose' are missing: ${missing[*]}"
echo "install-deps: apt-get update ..."
$SUDO apt-get update -qq
echo "install-deps: apt-get install (with their own dependencies; a few minutes on a fresh machine) ..."
start=$SECONDS
installed_before=$(dpkg-query -W -f '${Package}\n' | LC_ALL=C sort)
# One line a package as it is unpacked, so that a long install shows progress.
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" |
    sed -u -n 's/^Unpacking \([^ ]*\) .*/install-deps:   unpacked \1/p'
echo "install-deps: done in $((SECONDS - start)) s"

# Any service the install brought (none is expected: the proxy comes
# without its daemon's service, as tinyproxy-bin) is disabled, and stopped
# should anything have started it.
services=()
for p in $(comm -13 <(echo "$installed_before") <(dpkg-query -W -f '${Package}\n' | LC_ALL=C sort)); do
    while read -r unit; do
        services+=("$(basename "$unit" .service)")
    done < <(dpkg-query -L "$p" 2>/dev/null | grep -E '^(/usr)?/lib/systemd/system/[^/]+\.service$|^/etc/init\.d/[^/]+$' |
        sed 's|^/etc/init\.d/||' | sort -u)
done
for s in $(printf '%s\n' "${services[@]}" | sort -u); do
    if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
        $SUDO systemctl disable --now "$s" >/dev/null 2>&1 || true
    fi
    if command -v deb-systemd-helper >/dev/null; then
        $SUDO deb-systemd-helper disable "$s.service" >/dev/null 2>&1 || true
    fi
    if [ -x "/etc/init.d/$s" ]; then
        $SUDO update-rc.d "$s" disable >/dev/null 2>&1 || true
        $SUDO "/etc/init.d/$s" stop >/dev/null 2>&1 || true
    fi
    echo "install-deps: the $s service it brought is disabled and stopped"
done

static_ace
