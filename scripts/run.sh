#!/usr/bin/env bash
# Sets up tvUT and runs its main job: the sample host goes through a host
# product's whole sequence in a scratch root and shows what tvUT returned and
# what it left on disk, with the session's transcript decoded.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j 2 --target tvut_sample_host tvut_inspect
exec ./build/tools/tvut_sample_host "$@"
