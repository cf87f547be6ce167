#!/bin/sh
# User-space instruction counts of the packer against zlib's raw deflate of
# the same bytes, and of reading the files alone, counted by callgrind inside
# each workload's rounds only. Unlike times, the counts do not depend on what
# else the machine is doing.
#
#   bench/zip_instructions.sh [build/bench/zip_bench] [rounds]
#
# Leaves callgrind.out.<workload> for callgrind_annotate in a new temporary
# folder, whose name it prints.
set -eu
bench=${1:-build/bench/zip_bench}
rounds=${2:-20}
out=$(mktemp -d "${TMPDIR:-/tmp}/zip-instructions.XXXXXX")

count() {
    valgrind --tool=callgrind --toggle-collect='*Rounds*' \
        --callgrind-out-file="$out/callgrind.out.$1" "$bench" --instructions="$1" \
        --rounds="$rounds" >/dev/null 2>&1
    awk '/^totals:/ { print $2 }' "$out/callgrind.out.$1"
}

pack=$(count pack)
deflate=$(count deflate)
read=$(count read)
awk -v p="$pack" -v d="$deflate" -v r="$read" -v n="$rounds" 'BEGIN {
    printf "instructions per archive: packer %.0f, zlib deflate %.0f, reading only %.0f\n",
        p / n, d / n, r / n
    printf "packer / zlib = %.4f\n", p / d
}'
echo "callgrind output: $out"
