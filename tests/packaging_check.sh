#!/usr/bin/env bash
# What a product team gets from an installed tvUT.
#   packaging_check.sh install BUILD SOURCE LIBDIR
#       installs BUILD into a scratch prefix, checks that it holds exactly the
#       documented files, builds the example host with find_package(tvUT) and
#       a second program with pkg-config alone, and runs both in scratch roots.
#   packaging_check.sh deb BUILD SOURCE LIBDIR
#       builds the Debian package and checks its files and dependencies.
set -euo pipefail
mode=$1 build=$2 source=$3 libdir=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
major=${version%%.*}

# The installed tree, relative to its prefix, one path per line, sorted.
expected_files() {
    local prefix=$1
    cat <<LIST | sed "s|^|$prefix|" | LC_ALL=C sort
bin/tvut_inspect
bin/tvut_receiver
include/tvUT/UTFacade.h
include/tvUT/UTObject.h
include/tvUT/UTProductInfo.h
include/tvUT/UTTypes.h
$libdir/cmake/tvUT/tvUTConfig.cmake
$libdir/cmake/tvUT/tvUTConfigVersion.cmake
$libdir/cmake/tvUT/tvUTTargets-relwithdebinfo.cmake
$libdir/cmake/tvUT/tvUTTargets.cmake
$libdir/libtvUT.so
$libdir/libtvUT.so.$major
$libdir/libtvUT.so.$version
$libdir/pkgconfig/tvut.pc
share/doc/tvut/README.md
LIST
}

# Runs a host program in scratch roots of its own; prints its output. Its
# uploads go to a local port where nothing listens (plain settings, through
# the documented marker file), never to the real usage server.
run_host() {
    local roots settings
    roots=$(mktemp -d -p "$scratch")
    settings="$roots/machine/Telvoran/TVUT"
    mkdir -p "$settings"
    : > "$settings/decode.xml"
    cat > "$settings/ProdInd_UserInd.cur" <<'XML'
<?xml version="1.0" encoding="UTF-8" ?>
<PROD_IND_USER_IND version="">
    <ReceivingHost value="http://127.0.0.1:1/BRIMReceiver" />
    <ReceivingHostBeta value="http://127.0.0.1:1/BRIMReceiver" />
</PROD_IND_USER_IND>
XML
    local status=0
    env UT_MACHINE_DATA_DIR="$roots/machine" XDG_DATA_HOME="$roots/user" HOME="$roots/home" \
        XDG_RUNTIME_DIR= "$@" || status=$?
    grep -q 'value="http://127.0.0.1:1/' "$settings/ProdInd_UserInd.cur" ||
        fail "the host did not keep the scratch server setting"
    return $status
}

# Only the library itself may be needed: none of its dependencies leak into
# a host's link line.
check_needed() {
    local program=$1 needed
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
    case " $needed " in
        *" libtvUT.so.$major "*) ;;
        *) fail "$program does not need libtvUT.so.$major: $needed" ;;
    esac
    for lib in $needed; do
        case $lib in
            libtvUT.so.$major | libstdc++.so.* | libm.so.* | libgcc_s.so.* | libc.so.*) ;;
            *) fail "$program needs $lib: a dependency of tvUT leaked into the host" ;;
        esac
    done
}

case $mode in
install)
    prefix=$scratch/prefix
    cmake --install "$build" --prefix "$prefix" >/dev/null
    diff <(expected_files "") <(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort) ||
        fail "the installed tree differs from the documented one (< expected, > installed)"
    soname=$(readelf -d "$prefix/$libdir/libtvUT.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    [ "$soname" = "libtvUT.so.$major" ] || fail "SONAME is '$soname'"

    cmake -S "$source/examples/host" -B "$scratch/host" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
    cmake --build "$scratch/host" >/dev/null
    check_needed "$scratch/host/example_host"
    output=$(run_host "$scratch/host/example_host") || fail "example host failed: $output"
    echo "$output"
    grep -q "^InitUTComponent *-> 100$" <<<"$output" || fail "InitUTComponent did not return 100"
    grep -q "^CleanUp *-> 500$" <<<"$output" || fail "CleanUp did not return 500"

    # A host that knows only pkg-config.
    cat >"$scratch/tiny.cpp" <<'CPP'
#include <tvUT/UTFacade.h>
int main() {
    const UTStatus init = CUTFacade::InitUTComponent();
    const UTStatus cleanup = CUTFacade::CleanUp();
    return init == UT_INIT_OK && cleanup == UT_CLEANUP_OK ? 0 : 1;
}
CPP
    flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs tvut)
    # shellcheck disable=SC2086
    g++ -std=c++11 -Wall -Wextra -Werror "$scratch/tiny.cpp" -o "$scratch/tiny" $flags \
        -Wl,-rpath,"$prefix/$libdir"
    check_needed "$scratch/tiny"
    run_host "$scratch/tiny" || fail "the pkg-config host failed"
    echo "packaging: installed tree, CMake host and pkg-config host all fine"
    ;;
deb)
    (cd "$build" && cpack -G DEB -B "$scratch/deb" >"$scratch/cpack.log" 2>&1) ||
        { cat "$scratch/cpack.log"; fail "cpack failed"; }
    package=$(ls "$scratch"/deb/tvut_*.deb)
    # The package adds the Debian copyright and changelog to the installed tree.
    diff <({ expected_files "/usr/"; printf '/usr/share/doc/tvut/%s\n' changelog.gz copyright; } | LC_ALL=C sort) \
        <(dpkg-deb --contents "$package" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | LC_ALL=C sort) ||
        fail "the package's files differ from the installed tree (< expected, > packaged)"
    depends=$(dpkg-deb -f "$package" Depends)
    echo "Depends: $depends"
    for dep in libace libboost-filesystem libtinyxml libc6 python3; do
        grep -q "$dep" <<<"$depends" || fail "Depends lacks $dep"
    done
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        apt-get install --simulate -q "$package" >"$scratch/apt.log" 2>&1 ||
            { cat "$scratch/apt.log"; fail "apt-get cannot install the package"; }
    fi
    if command -v lintian >/dev/null; then
        lintian --allow-root "$package" >"$scratch/lintian.log" 2>&1 || true
        cat "$scratch/lintian.log"
        ! grep -q '^E:' "$scratch/lintian.log" || fail "lintian reports errors"
    fi
    echo "packaging: $(basename "$package") holds the installed tree"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
