#!/usr/bin/env bash
# Builds ACE's core library from Debian's own source package as a static,
# position-independent archive that libtvUT.so links in, and keeps it in a
# cache outside the repo:
#   ${TVUT_DEPS_CACHE:-/var/cache/tvut-deps}/ace-VERSION/
#       include/ace/...   the headers, with the config.h they were built with
#       lib/libACE.a      the core library alone
#       .tvut-stamp       written last: its presence means the folder is whole
# Linked this way, a host no longer loads libACE's shared library at start-up
# (thousands of relocations bound at load, over a mebibyte resident) for the
# few logging and start-up calls tvUT makes.
# Run as root (it adds a deb-src entry derived from the machine's own APT
# sources). When the stamp is there it only says where the cache is.
set -euo pipefail

started=$SECONDS
cache_root=${TVUT_DEPS_CACHE:-/var/cache/tvut-deps}
say() { echo "build-ace-static: $*"; }
fail() {
    echo "build-ace-static: FAILED: $*" >&2
    exit 1
}
finish() {
    local status=$?
    if [ "$status" -ne 0 ]; then
        echo "build-ace-static: stopped with status $status after $((SECONDS - started)) s" >&2
    fi
}
trap finish EXIT

# The upstream version of the ACE that Debian packages (7.0.8+dfsg-2 gives
# 7.0.8): from the installed libace-dev, else from the package lists.
debian_version() {
    local v
    v=$(dpkg-query -W -f '${Version}' libace-dev 2>/dev/null || true)
    if [ -z "$v" ]; then
        v=$(apt-cache show --no-all-versions libace-dev 2>/dev/null | sed -n 's/^Version: //p' | head -n 1)
    fi
    echo "$v"
}
upstream_of() {
    local v=${1#*:}
    v=${v%-*}
    echo "${v%%+*}"
}

full_version=$(debian_version)
if [ -n "$full_version" ]; then
    version=$(upstream_of "$full_version")
    prefix="$cache_root/ace-$version"
    if [ -f "$prefix/.tvut-stamp" ]; then
        say "reused: static ACE $version is in $prefix ($(sed -n 's/^built //p' "$prefix/.tvut-stamp"))"
        say "done in $((SECONDS - started)) s (nothing to build)"
        exit 0
    fi
fi

[ "$(id -u)" -eq 0 ] || fail "run as root: it adds a deb-src entry to APT's sources and runs apt-get"
command -v dpkg-source >/dev/null || fail "dpkg-source is missing (Debian's dpkg-dev package)"
for tool in make g++ perl; do
    command -v "$tool" >/dev/null || fail "$tool is missing (build-essential, perl)"
done

# Debian's source packages come from the very mirrors the machine already
# uses (scripts/lib-debsrc.sh derives the deb-src entries; no host is named).
debsrc_writer=scripts/build-ace-static.sh
# shellcheck source=lib-debsrc.sh
. "$(dirname "$0")/lib-debsrc.sh"

export DEBIAN_FRONTEND=noninteractive
debsrc_ensure
say "apt-get update ..."
apt-get update -qq || fail "apt-get update failed"

if [ -z "$full_version" ]; then
    full_version=$(debian_version)
    [ -n "$full_version" ] || fail "APT knows no libace-dev package"
    version=$(upstream_of "$full_version")
    prefix="$cache_root/ace-$version"
    if [ -f "$prefix/.tvut-stamp" ]; then
        say "reused: static ACE $version is in $prefix"
        say "done in $((SECONDS - started)) s (nothing to build)"
        exit 0
    fi
fi

work="$cache_root/work/ace-$version"
rm -rf "$work"
mkdir -p "$work"
say "fetching Debian's source of libace-dev $full_version into $work ..."
fetch_start=$SECONDS
(cd "$work" && apt-get source -q "libace-dev=$full_version" >"$work/apt-source.log" 2>&1) ||
    { cat "$work/apt-source.log" >&2; fail "apt-get source libace-dev=$full_version failed"; }
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
[ -n "$source_dir" ] && [ -f "$source_dir/ace/ACE.cpp" ] ||
    fail "the unpacked source in $work has no ace/ACE.cpp"
say "source unpacked in $source_dir ($((SECONDS - fetch_start)) s)"

# ACE's own build, limited to the core library: MPC (perl, in the source)
# writes the makefile of ace/ace.mpc alone, with Debian's feature set and
# Debian's config.h, so that the library behaves as the packaged one does.
# Static only, position-independent for a shared library, one section a
# function so that the link keeps only what tvUT reaches, hidden so that
# nothing of ACE can become part of libtvUT.so's interface. The consumer
# must see ACE_AS_STATIC_LIBS as the build did: config.h carries it.
export ACE_ROOT=$source_dir MPC_ROOT=$source_dir/MPC
cp "$source_dir/debian/config.h" "$ACE_ROOT/ace/config.h"
cat >>"$ACE_ROOT/ace/config.h" <<'CONFIG'

/* tvUT links this ACE statically: no export declarations, no DLL. */
#ifndef ACE_AS_STATIC_LIBS
#define ACE_AS_STATIC_LIBS 1
#endif
CONFIG
cp "$source_dir/debian/default.features" "$ACE_ROOT/bin/MakeProjectCreator/config/default.features"
cat >"$ACE_ROOT/include/makeinclude/platform_macros.GNU" <<'MACROS'
debug = 0
optimize = 1
inline = 1
static_libs_only = 1
OCFLAGS = -O2
OCCFLAGS = -O2
include $(ACE_ROOT)/include/makeinclude/platform_linux.GNU
CCFLAGS += -fPIC -ffunction-sections -fdata-sections -fvisibility=hidden -fvisibility-inlines-hidden
MACROS

say "generating ACE's makefile with MPC ..."
(cd "$ACE_ROOT/ace" && perl "$ACE_ROOT/bin/mpc.pl" -type gnuace -noreldefs ace.mpc >"$work/mpc.log" 2>&1) ||
    { cat "$work/mpc.log" >&2; fail "MPC could not generate ace/GNUmakefile.ACE"; }
[ -f "$ACE_ROOT/ace/GNUmakefile.ACE" ] || fail "MPC wrote no ace/GNUmakefile.ACE (see $work/mpc.log)"

jobs=${TVUT_ACE_JOBS:-2}
say "compiling ACE's core library, make -j$jobs (about 3 minutes on 2 cores; log: $work/make.log) ..."
build_start=$SECONDS
(cd "$ACE_ROOT/ace" && make -f GNUmakefile.ACE -j"$jobs" static_libs_only=1) >"$work/make.log" 2>&1 ||
    { tail -n 40 "$work/make.log" >&2; fail "ACE's build failed (whole log: $work/make.log)"; }
build_seconds=$((SECONDS - build_start))
say "compiled in $build_seconds s"

# ACE's own install step knows which headers, inline and template sources a
# consumer needs; it installs into a staging folder first so that a broken
# run never leaves a half-filled cache behind.
stage="$work/stage"
rm -rf "$stage"
# INST_DIR names the headers' folder; ACE's makefile would otherwise take
# it from the caller's $PWD.
(cd "$ACE_ROOT/ace" && make -f GNUmakefile.ACE install static_libs_only=1 install_rpath=0 \
    INST_DIR=/ace INSTALL_PREFIX="$stage") >"$work/install.log" 2>&1 ||
    { tail -n 40 "$work/install.log" >&2; fail "ACE's install step failed (whole log: $work/install.log)"; }
lib=$(find "$stage" "$ACE_ROOT/lib" "$ACE_ROOT/ace" -name libACE.a -print -quit 2>/dev/null)
[ -n "$lib" ] || fail "the build made no libACE.a"
[ -f "$stage/include/ace/ACE.h" ] && [ -f "$stage/include/ace/config.h" ] ||
    fail "ACE's install step put no include/ace/ACE.h or config.h into $stage"

rm -rf "$prefix"
mkdir -p "$prefix/lib"
cp -a "$stage/include" "$prefix/include"
cp "$lib" "$prefix/lib/libACE.a"
{
    echo "ace $full_version"
    echo "built $(date -u '+%Y-%m-%d %H:%M:%S UTC') in $build_seconds s"
    echo "flags -O2 -fPIC -ffunction-sections -fdata-sections -fvisibility=hidden static"
} >"$prefix/.tvut-stamp.new"
mv "$prefix/.tvut-stamp.new" "$prefix/.tvut-stamp"
rm -rf "$work"
rmdir "$cache_root/work" 2>/dev/null || true
say "installed $prefix/lib/libACE.a ($(du -h "$prefix/lib/libACE.a" | cut -f1)) and $(find "$prefix/include" -type f | wc -l) header files in $prefix/include"
say "done in $((SECONDS - started)) s (ACE's compilation: $build_seconds s)"
