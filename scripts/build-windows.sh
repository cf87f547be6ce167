#!/usr/bin/env bash
# Cross-builds tvUT for 32-bit Windows with MinGW-w64 (i686, posix thread
# model), from the same sources as the Linux build. Run as root on Debian 12:
#   1. installs the cross compilers, wine (32-bit), the build tools and clang
#      with llvm's tools (the check of the names MSVC hosts import), only the
#      packages that are missing;
#   2. cross-builds the dependencies from Debian's own source packages
#      (OpenSSL, libcurl, Boost thread/filesystem/system, TinyXML, ACE) as
#      static libraries into one prefix outside the repo:
#        ${TVUT_DEPS_CACHE:-/var/cache/tvut-deps}/win32-i686/
#            include/ lib/          headers and static libraries
#            .stamps/NAME           one per dependency, written last: its
#                                   presence means that dependency is whole
#      A dependency whose stamp is there is not built again (delete the stamp
#      to rebuild it; libcurl follows a rebuilt OpenSSL by itself). zlib is
#      Debian's own mingw package.
#   3. checks cmake/toolchain-mingw-i686.cmake (in the repo), which points
#      CMake at the cross compilers and at that prefix;
#   4. builds into build-win32/ (TVUT_WIN32_BUILD to choose another folder):
#      tvUT.dll (PE32, i686) and its import library tvUT.dll.a, the sample
#      host tvut_sample_host.exe beside them, and the Windows test programs
#      in tests/windows/ (scripts/test.sh --windows runs them under wine).
# Each step prints how long it took, and the end the total.
set -euo pipefail

started=$SECONDS
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
cache_root=${TVUT_DEPS_CACHE:-/var/cache/tvut-deps}
prefix="$cache_root/win32-i686"
stamps="$prefix/.stamps"
work_root="$cache_root/work/win32-i686"
jobs=${TVUT_JOBS:-2}
host=i686-w64-mingw32
cc=$host-gcc-posix
cxx=$host-g++-posix
toolchain="$repo/cmake/toolchain-mingw-i686.cmake"
apt=(apt-get -o DPkg::Lock::Timeout=600)
export DEBIAN_FRONTEND=noninteractive

say() { echo "build-windows: $*"; }
fail() {
    echo "build-windows: FAILED: $*" >&2
    exit 1
}
timings=()
finish() {
    local status=$?
    if [ "$status" -ne 0 ]; then
        echo "build-windows: stopped with status $status after $((SECONDS - started)) s" >&2
    fi
}
trap finish EXIT

# Runs one step and notes how long it took.
step() {
    local name=$1 t0=$SECONDS
    shift
    "$@"
    timings+=("$(printf '%-12s %5d s' "$name" $((SECONDS - t0)))")
}

# ---------------------------------------------------------------- packages

packages=(
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev
    binutils-mingw-w64-i686 libz-mingw-w64-dev
    wine wine32:i386
    build-essential dpkg-dev bison perl cmake ninja-build make xz-utils file
    googletest clang llvm lld
)
install_packages() {
    [ "$(id -u)" -eq 0 ] || fail "run as root: it installs packages and adds a deb-src entry to APT's sources"
    local missing=() p need_update=""
    # wine32 is an i386 package: without the architecture APT knows none.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "adding the i386 architecture for wine32"
        dpkg --add-architecture i386
        need_update=1
    fi
    for p in "${packages[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -eq 0 ] && [ -z "$need_update" ]; then
        say "packages: all ${#packages[@]} are installed"
        return 0
    fi
    say "packages: ${#missing[@]} missing: ${missing[*]}"
    say "apt-get update ..."
    "${apt[@]}" update -qq || fail "apt-get update failed"
    apt_updated=1
    if [ ${#missing[@]} -gt 0 ]; then
        say "apt-get install (the compilers are about 330 MB, wine about 1.1 GB) ..."
        "${apt[@]}" install -y -q --no-install-recommends "${missing[@]}" |
            sed -u -n 's/^Unpacking \([^ ]*\) .*/build-windows:   unpacked \1/p'
        [ "${PIPESTATUS[0]}" -eq 0 ] || fail "apt-get install failed"
    fi
}
apt_updated=""

# ------------------------------------------------------------ the sources

# shellcheck disable=SC2034 # read by lib-debsrc.sh
debsrc_writer=scripts/build-windows.sh
# shellcheck source=scripts/lib-debsrc.sh
. "$here/lib-debsrc.sh"

sources_ready=""
ensure_sources() {
    [ -n "$sources_ready" ] && return 0
    debsrc_ensure
    # An update made before the deb-src entries existed knows no sources.
    if [ -z "$apt_updated" ] || ! apt-cache showsrc tinyxml 2>/dev/null | grep -q '^Version:'; then
        say "apt-get update ..."
        "${apt[@]}" update -qq || fail "apt-get update failed"
        apt_updated=1
    fi
    sources_ready=1
}

# Fetches Debian's source package of PACKAGE (a binary or a source name) and
# unpacks it, with Debian's patches applied, into $work_root/NAME/src; sets
# src_dir and src_version. The version that built the installed Linux
# package LINUX_PACKAGE comes first, so that both builds share one source;
# a mirror that lacks it (a security update not yet there) falls back to
# the newest other version APT knows.
fetch_source() {
    local name=$1 package=$2 linux_package=$3 work="$work_root/$1" source versions v dsc
    ensure_sources
    source=$(apt-cache showsrc "$package" 2>/dev/null | awk '/^Package: / && !p { p = $2 } END { print p }')
    [ -n "$source" ] || fail "APT knows no source package for $package"
    versions=$(
        if [ "$(dpkg-query -W -f='${source:Package}' "$linux_package" 2>/dev/null)" = "$source" ]; then
            dpkg-query -W -f='${source:Version}\n' "$linux_package"
        fi
        apt-cache showsrc "$source" |
            awk -v s="$source" '/^Package: / { p = $2 } /^Version: / && p == s { print $2 }' |
            sort -u -r -V
    )
    versions=$(echo "$versions" | awk 'NF && !seen[$0]++')
    mkdir -p "$work/download"
    src_version=""
    for v in $versions; do
        if (cd "$work/download" && "${apt[@]}" source --download-only -q "$package=$v") \
            >"$work/fetch.log" 2>&1; then
            src_version=$v
            break
        fi
        say "$name: the source $source $v could not be fetched; trying an older one"
    done
    [ -n "$src_version" ] || { cat "$work/fetch.log" >&2; fail "apt-get source $source failed"; }
    dsc=$(ls "$work/download/${source}_${src_version#*:}.dsc" 2>/dev/null) ||
        fail "no .dsc of $source $src_version in $work/download"
    rm -rf "$work/src"
    dpkg-source -x "$dsc" "$work/src" >"$work/unpack.log" 2>&1 ||
        { cat "$work/unpack.log" >&2; fail "dpkg-source could not unpack $dsc"; }
    src_dir="$work/src"
    say "$name: Debian's $source $src_version unpacked"
}

# A dependency's files go to a staging folder first and into the prefix only
# when its build is whole; the stamp comes last.
stage_dir() { echo "$work_root/$1/stage"; }
install_stage() {
    local name=$1 stage
    stage=$(stage_dir "$name")
    # pkg-config and CMake files name the folder they were installed into.
    local f
    for f in $(grep -rlF --include='*.pc' --include='*.cmake' "$stage" "$stage" || true); do
        sed -i "s|$stage|$prefix|g" "$f"
    done
    mkdir -p "$prefix" "$stamps"
    # Hard links where the cache's file system allows (Boost's headers are
    # some 15,000 files); the staging folder goes away afterwards.
    cp -alf "$stage/." "$prefix/" 2>/dev/null || cp -af "$stage/." "$prefix/"
    {
        echo "$name $src_version"
        echo "built $(date -u '+%Y-%m-%d %H:%M:%S UTC') in $((SECONDS - dep_started)) s"
        echo "toolchain $(toolchain_id)"
    } >"$stamps/$name.new"
    mv "$stamps/$name.new" "$stamps/$name"
    rm -rf "${work_root:?}/$name"
    built_now+=("$name")
    say "$name: installed into $prefix ($((SECONDS - dep_started)) s)"
}
built_now=()

# Runs NAME's build unless its stamp says it is whole.
dependency() {
    local name=$1
    if [ -f "$stamps/$name" ]; then
        say "$name: reused ($(head -n 1 "$stamps/$name" | cut -d' ' -f2-), $(sed -n 's/^built //p' "$stamps/$name"))"
        return 0
    fi
    dep_started=$SECONDS
    # What an interrupted run left (a CMake cache above all) must not steer
    # this one; only the downloaded source files are kept.
    if [ -d "$work_root/$name" ]; then
        find "$work_root/$name" -mindepth 1 -maxdepth 1 ! -name download -exec rm -rf {} +
    fi
    mkdir -p "$(stage_dir "$name")"
    "build_$name"
}

# ---------------------------------------------------------------- OpenSSL

# OpenSSL is the TLS layer on Windows as on Linux: libcurl's Windows-native
# backend verifies differently (under wine it accepts any certificate when
# the CA file is missing and cannot check an IP-literal host against a CA
# file), so certificate checks would not be the same on both systems.
build_openssl() {
    fetch_source openssl openssl libssl-dev
    local log="$work_root/openssl/build.log"
    # Debian's pic.patch makes the x86 assembler sources ELF-only (GOT and
    # PLT relocations, which COFF cannot represent); the other patches stay.
    (cd "$src_dir" && patch -R -p1 -s <debian/patches/pic.patch) >"$log" 2>&1 ||
        { cat "$log" >&2; fail "Debian's pic.patch of openssl could not be taken back"; }
    say "openssl: configuring for mingw (static, no tests; without Debian's ELF-only pic.patch) ..."
    # No --cross-compile-prefix: the tools are named in full, so that the
    # posix-thread compiler is the one used everywhere. The folders compiled
    # in are OpenSSL's own defaults for 32-bit mingw, where only an
    # administrator can write: the staging prefix would otherwise become
    # \var\cache\... on the host's drive, which any user may create and fill
    # with a configuration. Configure takes a drive letter for a relative
    # path, so they are given to make. Without DSO support nothing that a
    # configuration file names can load code either.
    local win_dirs=("OPENSSLDIR=C:/Program Files (x86)/Common Files/SSL"
        "ENGINESDIR=C:/Program Files (x86)/OpenSSL/lib/engines-3"
        "MODULESDIR=C:/Program Files (x86)/OpenSSL/lib/ossl-modules")
    (cd "$src_dir" && perl Configure mingw no-shared no-tests no-module no-dso \
        --prefix="$(stage_dir openssl)" --libdir=lib \
        CC="$cc" CXX="$cxx" AR="$host-ar" RANLIB="$host-ranlib" RC="$host-windres") >>"$log" 2>&1 ||
        { tail -n 30 "$log" >&2; fail "OpenSSL's Configure failed ($log)"; }
    say "openssl: compiling the libraries, make -j$jobs (log: $log) ..."
    (cd "$src_dir" && make -j"$jobs" "${win_dirs[@]}" build_libs &&
        make "${win_dirs[@]}" install_dev) >>"$log" 2>&1 ||
        { tail -n 30 "$log" >&2; fail "OpenSSL's build failed ($log)"; }
    if [ ! -f "$(stage_dir openssl)/lib/libssl.a" ] || [ ! -f "$(stage_dir openssl)/lib/libcrypto.a" ]; then
        fail "OpenSSL's build left no lib/libssl.a and lib/libcrypto.a"
    fi
    install_stage openssl
}

# ---------------------------------------------------------------- libcurl

# HTTP and HTTPS only: the component speaks to its usage server and nothing
# else, so every other protocol, IDN, SSH, HTTP/2 and compression but zlib
# stay out. No CA file or folder of the build machine is compiled in.
build_curl() {
    fetch_source curl curl libcurl4-openssl-dev
    local log="$work_root/curl/build.log" build="$work_root/curl/build"
    say "curl: configuring with CMake (static, OpenSSL, zlib, HTTP only) ..."
    cmake -S "$src_dir" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTVUT_DEPS_CACHE="$cache_root" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$(stage_dir curl)" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
        -DCURL_USE_OPENSSL=ON -DCURL_USE_SCHANNEL=OFF -DOPENSSL_USE_STATIC_LIBS=ON \
        -DCURL_ZLIB=ON -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF \
        -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
        -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF \
        -DCURL_USE_GSSAPI=OFF -DUSE_LIBRTMP=OFF -DENABLE_UNIX_SOCKETS=OFF \
        -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DCURL_CA_FALLBACK=OFF \
        >"$log" 2>&1 || { tail -n 30 "$log" >&2; fail "curl's CMake configuration failed ($log)"; }
    say "curl: compiling (log: $log) ..."
    (ninja -C "$build" -j"$jobs" && cmake --install "$build") >>"$log" 2>&1 ||
        { tail -n 30 "$log" >&2; fail "curl's build failed ($log)"; }
    [ -f "$(stage_dir curl)/lib/libcurl.a" ] || fail "curl's build left no lib/libcurl.a"
    install_stage curl
}

# ------------------------------------------------------------------ Boost

build_boost() {
    fetch_source boost boost1.74 libboost-thread1.74-dev
    local log="$work_root/boost/build.log" config="$work_root/boost/user-config.jam"
    # Debian's source comes without b2's generated parser; Debian's own build
    # makes it the same way before bootstrapping.
    say "boost: generating b2's parser with bison and bootstrapping b2 ..."
    (cd "$src_dir/tools/build" && bison -y -d -o src/engine/jamgram.cpp src/engine/jamgram.y &&
        cd "$src_dir" && ./bootstrap.sh --with-toolset=gcc) >"$log" 2>&1 ||
        { tail -n 30 "$log" >&2; cat "$src_dir/bootstrap.log" >&2 2>/dev/null || true
          fail "bootstrapping b2 failed ($log)"; }
    # The bootstrap's project-config.jam declares the machine's own gcc; the
    # cross compiler takes its place.
    rm -f "$src_dir/project-config.jam"
    cat >"$config" <<JAM
using gcc : : $cxx : <archiver>$host-ar <ranlib>$host-ranlib <rc>$host-windres ;
JAM
    say "boost: compiling thread, filesystem and system, b2 -j$jobs (log: $log) ..."
    (cd "$src_dir" && ./b2 -q -j"$jobs" --ignore-site-config --user-config="$config" \
        --prefix="$(stage_dir boost)" --build-dir="$work_root/boost/build" --layout=system \
        --with-thread --with-filesystem --with-system \
        toolset=gcc target-os=windows address-model=32 architecture=x86 threadapi=win32 \
        threading=multi link=static runtime-link=shared variant=release \
        install) >>"$log" 2>&1 || { tail -n 30 "$log" >&2; fail "Boost's build failed ($log)"; }
    local lib
    for lib in thread filesystem system; do
        [ -f "$(stage_dir boost)/lib/libboost_$lib.a" ] || fail "Boost's build left no lib/libboost_$lib.a"
    done
    install_stage boost
}

# ---------------------------------------------------------------- TinyXML

# The four sources Debian's own build compiles, with the flag its
# debian/rules passes: TIXML_USE_STL changes the classes' layout, so the
# library and every includer must agree (Debian's header defines it too).
build_tinyxml() {
    fetch_source tinyxml tinyxml libtinyxml-dev
    grep -q 'TIXML_USE_STL' "$src_dir/debian/rules" ||
        fail "tinyxml's debian/rules no longer defines TIXML_USE_STL; check the flags"
    local stage obj="$work_root/tinyxml/obj" s
    stage=$(stage_dir tinyxml)
    mkdir -p "$obj" "$stage/lib" "$stage/include"
    say "tinyxml: compiling ..."
    for s in tinyxml.cpp tinystr.cpp tinyxmlerror.cpp tinyxmlparser.cpp; do
        "$cxx" -O2 -DTIXML_USE_STL -c "$src_dir/$s" -o "$obj/${s%.cpp}.o" ||
            fail "tinyxml: $s did not compile"
    done
    "$host-ar" rcs "$stage/lib/libtinyxml.a" "$obj"/*.o
    cp "$src_dir/tinyxml.h" "$src_dir/tinystr.h" "$stage/include/"
    grep -q '#define TIXML_USE_STL' "$stage/include/tinyxml.h" ||
        fail "tinyxml.h from Debian's source does not define TIXML_USE_STL"
    install_stage tinyxml
}

# -------------------------------------------------------------------- ACE

# ACE's own build, limited to the core library, as the Linux build's static
# ACE (scripts/build-ace-static.sh) but with ACE's Windows configuration:
# MPC writes the makefile of ace/ace.mpc, config-win32.h with
# platform_mingw32.GNU, static only. The consumer must see
# ACE_AS_STATIC_LIBS as the build did: config.h carries it.
build_ace() {
    fetch_source ace libace-dev libace-dev
    export ACE_ROOT=$src_dir MPC_ROOT=$src_dir/MPC
    local log="$work_root/ace/build.log" stage
    stage=$(stage_dir ace)
    cat >"$ACE_ROOT/ace/config.h" <<'CONFIG'
#ifndef ACE_CONFIG_H_INCLUDED
#define ACE_CONFIG_H_INCLUDED
/* tvUT links this ACE statically into its DLL: no export declarations. */
#ifndef ACE_AS_STATIC_LIBS
#define ACE_AS_STATIC_LIBS 1
#endif
/* As Debian's build of the Linux library. */
#ifndef ACE_HAS_IPV6
#define ACE_HAS_IPV6 1
#endif
#ifndef ACE_USES_IPV4_IPV6_MIGRATION
#define ACE_USES_IPV4_IPV6_MIGRATION 1
#endif
/* With a value: config-win32-common.h compares it (ACE's make passes 1). */
#ifndef __ACE_INLINE__
#define __ACE_INLINE__ 1
#endif
#include "ace/config-win32.h"
#endif /* ACE_CONFIG_H_INCLUDED */
CONFIG
    # Debian's features less the GUI reactors, XML parsers and SSL, which
    # the core library does not build.
    cat >"$ACE_ROOT/bin/MakeProjectCreator/config/default.features" <<'FEATURES'
ace_svcconf = 1
ace_token = 1
ipv6 = 1
exceptions = 1
ssl = 0
qos = 0
FEATURES
    cat >"$ACE_ROOT/include/makeinclude/platform_macros.GNU" <<MACROS
debug = 0
optimize = 1
inline = 1
static_libs_only = 1
ipv6 = 1
qos = 0
COMPARCH = $host-
include \$(ACE_ROOT)/include/makeinclude/platform_mingw32.GNU
OCFLAGS = -O2
OCCFLAGS = -O2
CC = $cc
CXX = $cxx
DLD = \$(CXX)
LD = \$(CXX)
MACROS
    say "ace: generating ACE's makefile with MPC ..."
    (cd "$ACE_ROOT/ace" && perl "$ACE_ROOT/bin/mpc.pl" -type gnuace -noreldefs ace.mpc) >"$log" 2>&1 ||
        { tail -n 30 "$log" >&2; fail "MPC could not generate ace/GNUmakefile.ACE ($log)"; }
    [ -f "$ACE_ROOT/ace/GNUmakefile.ACE" ] || fail "MPC wrote no ace/GNUmakefile.ACE ($log)"
    say "ace: compiling ACE's core library, make -j$jobs (the slow step: 6-13 minutes; log: $log) ..."
    (cd "$ACE_ROOT/ace" && make -f GNUmakefile.ACE -j"$jobs" static_libs_only=1) >>"$log" 2>&1 ||
        { tail -n 40 "$log" >&2; fail "ACE's build failed ($log)"; }
    # ACE's install step knows which headers, inline and template sources a
    # consumer needs; INST_DIR names the headers' folder.
    (cd "$ACE_ROOT/ace" && make -f GNUmakefile.ACE install static_libs_only=1 install_rpath=0 \
        INST_DIR=/ace INSTALL_PREFIX="$stage") >>"$log" 2>&1 ||
        { tail -n 40 "$log" >&2; fail "ACE's install step failed ($log)"; }
    local lib
    lib=$(find "$stage" "$ACE_ROOT/lib" "$ACE_ROOT/ace" -name libACE.a -print -quit 2>/dev/null)
    [ -n "$lib" ] || fail "ACE's build made no libACE.a"
    if [ ! -f "$stage/include/ace/ACE.h" ] || [ ! -f "$stage/include/ace/config.h" ]; then
        fail "ACE's install step put no include/ace/ACE.h or config.h into $stage"
    fi
    # Only the headers and the one library: the install step also leaves
    # MPC's and pkg-config's files, which name the work folder.
    mkdir -p "$work_root/ace/keep/lib"
    mv "$stage/include" "$work_root/ace/keep/include"
    cp "$lib" "$work_root/ace/keep/lib/libACE.a"
    rm -rf "$stage"
    mv "$work_root/ace/keep" "$stage"
    install_stage ace
}

# ------------------------------------------------------- toolchain file

# The file is the same for every machine (the cache's place is read when
# CMake runs), so it is only rewritten when this script's copy differs.
# The toolchain file lives in the repo (cmake/toolchain-mingw-i686.cmake):
# it reads the cache's place when CMake runs, so nothing of it is written here.
check_toolchain() {
    [ -f "$toolchain" ] || fail "$toolchain is missing"
    grep -q 'win32-i686' "$toolchain" || fail "$toolchain does not point at the win32-i686 cache"
    say "toolchain: $toolchain"
}

# -------------------------------------------------- the component itself

build_dir=${TVUT_WIN32_BUILD:-$repo/build-win32}
# The component, its sample host and the Windows suite, from the same sources
# as the Linux build. The test cases are listed under wine when CTest runs,
# so building needs no wine prefix.
build_component() {
    say "component: configuring and building into $build_dir ..."
    cmake -S "$repo" -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DTVUT_DEPS_CACHE="$cache_root" -DTVUT_BUILD_TESTS=ON -DTVUT_BUILD_BENCHMARKS=ON \
        -DCMAKE_CROSSCOMPILING_EMULATOR=wine >/dev/null ||
        fail "CMake could not configure the Windows build"
    cmake --build "$build_dir" -j "$jobs" || fail "the Windows build failed"
    local dll="$build_dir/tvUT.dll"
    [ -f "$dll" ] && [ -f "$build_dir/tvUT.dll.a" ] || fail "the build made no tvUT.dll and tvUT.dll.a"
    file "$dll" | grep -q 'PE32 executable (DLL).*Intel 80386' || fail "$dll is not a 32-bit DLL: $(file -b "$dll")"
    say "component: $dll, $(stat -c %s "$dll") bytes (its debugging information in tvUT.dll.debug)"
}

# ------------------------------------------------------------------ main

toolchain_id() { sha256sum "$toolchain" | cut -c1-16; }

build_dependencies() {
    local name
    for name in openssl curl boost tinyxml ace; do
        # libcurl has OpenSSL linked into its checks and configuration:
        # a new OpenSSL means a new libcurl.
        if [ "$name" = curl ] && [[ " ${built_now[*]} " == *" openssl "* ]]; then
            rm -f "$stamps/curl"
        fi
        # libcurl is configured through the toolchain file as well.
        if [ "$name" = curl ] && [ -f "$stamps/curl" ] &&
            ! grep -qx "toolchain $(toolchain_id)" "$stamps/curl"; then
            say "curl: the toolchain file changed since libcurl was built"
            rm -f "$stamps/curl"
        fi
        step "$name" dependency "$name"
    done
}

say "cache: $prefix"
step packages install_packages
[ -f /usr/$host/lib/libz.a ] || fail "libz-mingw-w64-dev's /usr/$host/lib/libz.a is missing"
# curl's configuration uses the toolchain file, so it is written first.
step toolchain check_toolchain
build_dependencies
step component build_component
if [ -d "$work_root" ]; then
    rmdir "$work_root" "$cache_root/work" 2>/dev/null || true
fi

say "the dependencies are in $prefix ($(du -sh "$prefix" | cut -f1)); CMake: -DCMAKE_TOOLCHAIN_FILE=$toolchain"
say "time per step:"
for t in "${timings[@]}"; do
    say "  $t"
done
say "done in $((SECONDS - started)) s"
