#!/usr/bin/env bash
# What a product team gets from an installed tvUT.
#   packaging_check.sh install BUILD SOURCE LIBDIR
#       installs BUILD into a scratch prefix, checks that it holds exactly the
#       documented files, builds the example host with find_package(tvUT) and
#       a second program with pkg-config alone, and runs both in scratch roots.
#   packaging_check.sh deb BUILD SOURCE LIBDIR
#       builds the three Debian packages and checks their files, dependencies
#       and lintian's verdict; as root, installs the library packages and
#       builds the example host and a pkg-config host against them.
set -euo pipefail
mode=$1 build=$2 source=$3 libdir=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
major=${version%%.*}
# A build that links ACE statically carries it inside libtvUT.so: neither
# the library nor its package may then need Debian's libACE.
ace_static=$(sed -n 's/^TVUT_ACE_LINKS_STATIC:INTERNAL=//p' "$build/CMakeCache.txt")

# The files of each component (runtime, development, tools), relative to
# the prefix, one path per line, sorted; "all" for a plain install.
component_files() {
    local component=$1
    case $component in
    runtime)
        printf '%s\n' "$libdir/libtvUT.so.$major" "$libdir/libtvUT.so.$version"
        ;;
    development)
        cat <<LIST
include/tvUT/UTFacade.h
include/tvUT/UTObject.h
include/tvUT/UTProductInfo.h
include/tvUT/UTTypes.h
$libdir/cmake/tvUT/tvUTConfig.cmake
$libdir/cmake/tvUT/tvUTConfigVersion.cmake
$libdir/cmake/tvUT/tvUTTargets-relwithdebinfo.cmake
$libdir/cmake/tvUT/tvUTTargets.cmake
$libdir/libtvUT.so
$libdir/pkgconfig/tvut.pc
share/doc/libtvut-dev/README.md
LIST
        (cd "$source" && find docs -name '*.md' && find examples -type f) |
            sed 's|^|share/doc/libtvut-dev/|'
        ;;
    tools)
        printf '%s\n' bin/tvut_inspect bin/tvut_receiver \
            share/man/man1/tvut_inspect.1.gz share/man/man1/tvut_receiver.1.gz
        ;;
    all)
        component_files runtime
        component_files development
        component_files tools
        ;;
    esac | LC_ALL=C sort
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

# A host that knows only pkg-config.
write_tiny_host() {
    cat >"$1" <<'CPP'
#include <tvUT/UTFacade.h>
int main() {
    const UTStatus init = CUTFacade::InitUTComponent();
    const UTStatus cleanup = CUTFacade::CleanUp();
    return init == UT_INIT_OK && cleanup == UT_CLEANUP_OK ? 0 : 1;
}
CPP
}

case $mode in
install)
    prefix=$scratch/prefix
    cmake --install "$build" --prefix "$prefix" >/dev/null
    diff <(component_files all) <(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort) ||
        fail "the installed tree differs from the documented one (< expected, > installed)"
    grep -qx "prefix=$prefix" "$prefix/$libdir/pkgconfig/tvut.pc" ||
        fail "tvut.pc does not name the prefix it was installed under: $(head -1 "$prefix/$libdir/pkgconfig/tvut.pc")"
    soname=$(readelf -d "$prefix/$libdir/libtvUT.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    [ "$soname" = "libtvUT.so.$major" ] || fail "SONAME is '$soname'"
    if [ "$ace_static" = ON ]; then
        ! readelf -d "$prefix/$libdir/libtvUT.so.$version" | grep -q 'NEEDED.*libACE' ||
            fail "libtvUT.so links ACE statically but still needs libACE"
        ace_exported=$(nm -D --defined-only -C "$prefix/$libdir/libtvUT.so.$version" | grep -cE '(^|[^A-Za-z])ACE(_|::)' || true)
        [ "$ace_exported" -eq 0 ] || fail "libtvUT.so exports $ace_exported ACE symbols"
    fi

    cmake -S "$source/examples/host" -B "$scratch/host" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
    cmake --build "$scratch/host" >/dev/null
    check_needed "$scratch/host/example_host"
    output=$(run_host "$scratch/host/example_host") || fail "example host failed: $output"
    echo "$output"
    grep -q "^InitUTComponent *-> 100$" <<<"$output" || fail "InitUTComponent did not return 100"
    grep -q "^CleanUp *-> 500$" <<<"$output" || fail "CleanUp did not return 500"

    write_tiny_host "$scratch/tiny.cpp"
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
    runtime_package=libtvut$major
    declare -A packages=([runtime]=$runtime_package [development]=libtvut-dev [tools]=tvut-tools)
    [ "$(find "$scratch/deb" -maxdepth 1 -name '*.deb' | wc -l)" -eq 3 ] ||
        fail "cpack did not write exactly three packages: $(ls "$scratch/deb")"
    for component in runtime development tools; do
        name=${packages[$component]}
        deb="$scratch/deb/${name}_${version}_amd64.deb"
        [ -f "$deb" ] || fail "no $(basename "$deb"): $(ls "$scratch/deb")"
        # Each package adds the Debian copyright and changelog to its files.
        diff <({ component_files "$component" | sed 's|^|/usr/|'
                 printf "/usr/share/doc/$name/%s\n" changelog.gz copyright; } | LC_ALL=C sort) \
            <(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | LC_ALL=C sort) ||
            fail "$name's files differ from the documented ones (< expected, > packaged)"
        depends=$(dpkg-deb -f "$deb" Depends)
        echo "$name Depends: $depends"
        case $component in
        runtime)
            expected=(libtinyxml libcurl libc6)
            if [ "$ace_static" = ON ]; then
                ! grep -q "libace" <<<"$depends" || fail "$name links ACE statically but depends on libace: $depends"
            else
                expected+=(libace)
            fi
            for dep in "${expected[@]}"; do
                grep -q "$dep" <<<"$depends" || fail "$name's Depends lacks $dep"
            done
            ;;
        development)
            [ "$depends" = "$runtime_package (= $version)" ] ||
                fail "$name must depend on $runtime_package of its own version alone: $depends"
            ;;
        tools)
            grep -q "python3" <<<"$depends" || fail "$name's Depends lacks python3"
            ;;
        esac
        if [ "$component" != tools ] && grep -q python3 <<<"$depends"; then
            fail "$name depends on python3"
        fi
        if command -v lintian >/dev/null; then
            lintian --allow-root "$deb" >"$scratch/lintian-$name.log" 2>&1 || true
            cat "$scratch/lintian-$name.log"
            ! grep -q '^E:' "$scratch/lintian-$name.log" || fail "lintian reports errors for $name"
            ! grep -q 'package-name-doesnt-match-sonames' "$scratch/lintian-$name.log" ||
                fail "lintian: $name's name does not match its SONAME"
        fi
    done

    # A product team's view: the packages installed on this machine, a host
    # built out of the tree with find_package and with pkg-config alone.
    # Only as root, and only where no tvUT package is installed already.
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null &&
        ! dpkg-query -W -f '${Status}' "$runtime_package" libtvut-dev tvut-tools 2>/dev/null | grep -q 'ok installed'; then
        trap 'dpkg --purge tvut-tools libtvut-dev "$runtime_package" >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
        apt-get install -y -q --no-install-recommends \
            "$scratch/deb/${runtime_package}_${version}_amd64.deb" \
            "$scratch/deb/libtvut-dev_${version}_amd64.deb" >"$scratch/apt.log" 2>&1 ||
            { cat "$scratch/apt.log"; fail "apt-get cannot install the library packages"; }
        cmake -S /usr/share/doc/libtvut-dev/examples/host -B "$scratch/host" -G Ninja \
            -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
        cmake --build "$scratch/host" >/dev/null
        check_needed "$scratch/host/example_host"
        output=$(run_host "$scratch/host/example_host") || fail "example host failed: $output"
        grep -q "^CleanUp *-> 500$" <<<"$output" || fail "CleanUp did not return 500"
        write_tiny_host "$scratch/tiny.cpp"
        # shellcheck disable=SC2046
        g++ -std=c++11 -Wall -Wextra -Werror "$scratch/tiny.cpp" -o "$scratch/tiny" \
            $(pkg-config --cflags --libs tvut)
        run_host "$scratch/tiny" || fail "the pkg-config host failed"
        pkg-config --cflags --libs tvut | grep -qv '\.\.' || fail "tvut.pc paths are not plain"
        dpkg --purge libtvut-dev "$runtime_package" >/dev/null
        echo "packaging: installed packages build and run the example and the pkg-config host"
    fi
    echo "packaging: the three packages hold the documented files"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
