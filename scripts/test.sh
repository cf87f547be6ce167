#!/usr/bin/env bash
# Sets up and runs tvUT's test suite: installs missing Debian packages,
# configures and builds, then runs every test case through CTest.
#   scripts/test.sh                 the normal build (build/)
#   scripts/test.sh --asan          AddressSanitizer + UBSan (build-asan/)
#   scripts/test.sh --tsan          ThreadSanitizer (build-tsan/)
#   scripts/test.sh --windows       the Windows build (build-win32/, made by
#                                   scripts/build-windows.sh) under wine, in
#                                   a 32-bit wine prefix of its own
set -euo pipefail
cd "$(dirname "$0")/.."

# The Windows suite: tvUT.dll and its test programs under wine; the session
# checks run the local receiver and the inspector here, on Linux.
run_windows_suite() {
    bash scripts/build-windows.sh
    local inspect=build/tools/tvut_inspect
    if [ ! -x "$inspect" ]; then
        echo "test.sh: building the Linux inspector the Windows session checks read the files with ..."
        bash scripts/install-deps.sh test
        cmake -S . -B build -G Ninja -DTVUT_BUILD_TESTS=ON -DTVUT_BUILD_BENCHMARKS=ON >/dev/null
        cmake --build build -j 2 --target tvut_inspect
    fi
    cmake -S . -B build-win32 -DTVUT_LINUX_INSPECT="$PWD/$inspect" >/dev/null
    export WINEPREFIX="$PWD/build-win32/wine-prefix" WINEARCH=win32 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
        echo "test.sh: making the suite's 32-bit wine prefix in $WINEPREFIX ..."
        wineboot -i </dev/null >/dev/null 2>&1
    fi
    # The wine session (its server and service processes) starts here, with
    # no pipe of CTest's: a service process that inherited one would keep
    # CTest waiting for each case's output to end. It ends with this script.
    wineserver -p </dev/null >/dev/null 2>&1 || true  # 2: already running
    wine cmd /c exit </dev/null >/dev/null 2>&1
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
    echo "test.sh: running every Windows test case in its own wine process ..."
    cd build-win32
    ctest -j 2 --output-on-failure --timeout 300
}

build=build
flags=(-DTVUT_BUILD_TESTS=ON -DTVUT_BUILD_BENCHMARKS=ON)
case "${1:-}" in
    --asan) build=build-asan; flags=(-DTVUT_SANITIZE_ADDRESS=ON -DTVUT_BUILD_TESTS=ON -DTVUT_BUILD_BENCHMARKS=OFF) ;;
    --tsan) build=build-tsan; flags=(-DTVUT_SANITIZE_THREAD=ON -DTVUT_BUILD_TESTS=ON -DTVUT_BUILD_BENCHMARKS=OFF) ;;
    --windows) run_windows_suite; exit ;;
    "") ;;
    *) echo "usage: $0 [--asan|--tsan|--windows]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh test
echo "test.sh: configuring and building the library, tools, tests and benchmarks into $build/ (about 5 minutes on 2 cores from scratch) ..."
cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build" -j 2
echo "test.sh: running every test case in its own process (about 2 minutes on 2 cores) ..."
# The summary of CTest is the last thing printed.
cd "$build"
ctest -j 2 --output-on-failure --timeout 300
