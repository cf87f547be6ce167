#!/usr/bin/env bash
# Builds an instrumented TinyXML for the fuzz build: Debian's own source
# package (with Debian's patches, which dpkg-source applies on unpacking),
# compiled as Debian compiles it (-DTIXML_USE_STL) but with the fuzzer's
# coverage counters, AddressSanitizer and UndefinedBehaviorSanitizer, so that
# the fuzz targets see inside the parser too.
#
# Runs as root on Debian 12. Idempotent: the source is fetched once into the
# cache (again only when the installed libtinyxml-dev changes version) and
# the library rebuilt only when it is missing or was built with other flags.
# Nothing goes into the repository; the result is
#
#     $TVUT_FUZZ_CACHE/tinyxml/include/tinyxml.h, tinystr.h
#     $TVUT_FUZZ_CACHE/tinyxml/lib/libtinyxml.a
#
# (cache default /var/cache/tvut-fuzz), to be given to CMake as
# -DTVUT_FUZZ_TINYXML_DIR=$TVUT_FUZZ_CACHE/tinyxml.
set -euo pipefail

cache=${TVUT_FUZZ_CACHE:-/var/cache/tvut-fuzz}
cxx=${TVUT_FUZZ_CXX:-clang++-14}
prefix="$cache/tinyxml"
sources=(tinyxml.cpp tinystr.cpp tinyxmlerror.cpp tinyxmlparser.cpp)
export DEBIAN_FRONTEND=noninteractive

if [ "$(id -u)" -ne 0 ]; then
    echo "build-tinyxml: run as root (it may add a deb-src entry and install packages)" >&2
    exit 1
fi

install_missing() {
    local missing=() p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "build-tinyxml: installing ${missing[*]}"
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

# Source entries mirror the binary ones the machine already uses, so the
# source comes from the same archive (and the same snapshot, if one is
# pinned) as the installed library.
src_list=/etc/apt/sources.list.d/tvut-fuzz-src.sources
src_list_legacy=/etc/apt/sources.list.d/tvut-fuzz-src.list

has_tinyxml_source() {
    apt-cache showsrc tinyxml 2>/dev/null | grep -q '^Package: tinyxml$'
}

# A deb-src entry other than the ones this script writes.
has_own_deb_src() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] || continue
        [ "$f" = "$src_list" ] || [ "$f" = "$src_list_legacy" ] && continue
        if grep -qE '^[[:space:]]*(Types:.*[[:space:]]deb-src([[:space:]]|$)|deb-src[[:space:]])' "$f"; then
            return 0
        fi
    done
    return 1
}

derive_deb_src() {
    local f
    : >"$src_list.new"
    : >"$src_list_legacy.new"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] || continue
        [ "$f" = "$src_list" ] && continue
        # deb822: every enabled stanza that offers binaries, as source.
        awk 'BEGIN { RS = ""; FS = "\n"; OFS = "\n"; ORS = "\n\n" }
            {
                types = 0; enabled = 1
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^Types:/) types = i
                    if ($i ~ /^Enabled:[[:space:]]*[Nn]o/) enabled = 0
                }
                if (types == 0 || !enabled) next
                n = split(substr($types, 7), t, /[[:space:]]+/)
                binary = 0
                for (k = 1; k <= n; k++) if (t[k] == "deb") binary = 1
                if (!binary) next
                $types = "Types: deb-src"
                print
            }' "$f" >>"$src_list.new"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$f" ] || continue
        [ "$f" = "$src_list_legacy" ] && continue
        sed -nE 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' "$f" >>"$src_list_legacy.new"
    done
    for f in "$src_list" "$src_list_legacy"; do
        if [ -s "$f.new" ]; then
            mv "$f.new" "$f"
        else
            rm -f "$f.new" "$f"
        fi
    done
    if [ ! -e "$src_list" ] && [ ! -e "$src_list_legacy" ]; then
        echo "build-tinyxml: no binary entry in the apt sources to derive a deb-src entry from" >&2
        exit 1
    fi
}

ensure_tinyxml_source() {
    has_tinyxml_source && return 0
    if ! has_own_deb_src && [ ! -e "$src_list" ] && [ ! -e "$src_list_legacy" ]; then
        echo "build-tinyxml: adding deb-src entries derived from the binary ones"
        derive_deb_src
    fi
    apt-get update -qq
    has_tinyxml_source && return 0
    if [ ! -e "$src_list" ] && [ ! -e "$src_list_legacy" ]; then
        # The machine's own deb-src entries do not carry it.
        derive_deb_src
        apt-get update -qq
        has_tinyxml_source && return 0
    fi
    echo "build-tinyxml: apt knows no source package tinyxml" >&2
    exit 1
}

install_missing dpkg-dev clang-14 libclang-rt-14-dev libtinyxml-dev

# The source version that built the installed headers and library, so the
# instrumented copy parses exactly as the stock one does.
want=$(dpkg-query -W -f='${source:Version}' libtinyxml-dev)
src_root="$cache/src"
stamp="$src_root/version"
find_source() {
    [ -d "$src_root" ] || return 0
    find "$src_root" -mindepth 1 -maxdepth 1 -type d -name 'tinyxml-*' | sort | tail -n 1
}
srcdir=$(find_source)
if [ -z "$srcdir" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    ensure_tinyxml_source
    rm -rf "$src_root" "$prefix"
    mkdir -p "$src_root"
    # dpkg-source unpacks the package with Debian's patches applied.
    (cd "$src_root" && { apt-get source -qq "tinyxml=$want" || apt-get source -qq tinyxml; })
    srcdir=$(find_source)
    if [ -z "$srcdir" ]; then
        echo "build-tinyxml: apt-get source tinyxml unpacked nothing into $src_root" >&2
        exit 1
    fi
    echo "$want" >"$stamp"
fi

# Debian's build defines TIXML_USE_STL; the flags must agree with the
# installed header, or the classes' layout would differ between the library
# and the component.
if ! grep -q 'TIXML_USE_STL' "$srcdir/debian/rules"; then
    echo "build-tinyxml: $srcdir/debian/rules no longer defines TIXML_USE_STL; check the flags" >&2
    exit 1
fi

flags=("-fsanitize=fuzzer-no-link,address,undefined" -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer -g -O1 -fPIC -DTIXML_USE_STL)
build_id="$want $cxx ${flags[*]}"
if [ -f "$prefix/lib/libtinyxml.a" ] && [ -f "$prefix/include/tinyxml.h" ] &&
    [ "$(cat "$prefix/build-id" 2>/dev/null)" = "$build_id" ]; then
    echo "build-tinyxml: $prefix is up to date"
    exit 0
fi

obj="$cache/obj"
rm -rf "$obj" "$prefix"
mkdir -p "$obj" "$prefix/lib" "$prefix/include"
for s in "${sources[@]}"; do
    "$cxx" "${flags[@]}" -c "$srcdir/$s" -o "$obj/${s%.cpp}.o"
done
ar rcs "$obj/libtinyxml.a" "$obj"/*.o
cp "$srcdir/tinyxml.h" "$srcdir/tinystr.h" "$prefix/include/"
mv "$obj/libtinyxml.a" "$prefix/lib/libtinyxml.a"
echo "$build_id" >"$prefix/build-id"
rm -rf "$obj"
echo "build-tinyxml: built $prefix (tinyxml $want)"
echo "build-tinyxml: configure the fuzz build with -DTVUT_FUZZ_TINYXML_DIR=$prefix"
