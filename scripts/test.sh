#!/usr/bin/env bash
# Sets up and runs tvUT's test suite: installs missing Debian packages,
# configures and builds, then runs every test case through CTest.
#   scripts/test.sh                 the normal build (build/)
#   scripts/test.sh --asan          AddressSanitizer + UBSan (build-asan/)
#   scripts/test.sh --tsan          ThreadSanitizer (build-tsan/)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
flags=(-DTVUT_BUILD_TESTS=ON -DTVUT_BUILD_BENCHMARKS=ON)
case "${1:-}" in
    --asan) build=build-asan; flags=(-DTVUT_SANITIZE_ADDRESS=ON -DTVUT_BUILD_TESTS=ON -DTVUT_BUILD_BENCHMARKS=OFF) ;;
    --tsan) build=build-tsan; flags=(-DTVUT_SANITIZE_THREAD=ON -DTVUT_BUILD_TESTS=ON -DTVUT_BUILD_BENCHMARKS=OFF) ;;
    "") ;;
    *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh test
echo "test.sh: configuring and building the library, tools, tests and benchmarks into $build/ (about 5 minutes on 2 cores from scratch) ..."
cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build" -j 2
echo "test.sh: running every test case in its own process (about 2 minutes on 2 cores) ..."
# The summary of CTest is the last thing printed.
cd "$build"
ctest -j 2 --output-on-failure --timeout 300
