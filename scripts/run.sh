#!/usr/bin/env bash
# Sets up tvUT and runs its main job: a local usage server on 127.0.0.1, the
# sample host going through a product's whole sequence against it in a
# scratch root (with an upload), what the server received, what stayed on
# disk, and a second run of the host that shows a scheduled check deciding
# that no send is due. Extra arguments (--crash, --beta) go to the host.
# The scratch folder and the server go on every way out.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh run
echo "run.sh: configuring and building the library, the sample host and the inspector into build/ (a few minutes on 2 cores) ..."
# The main job needs neither the tests nor the benchmarks (nor what they use).
cmake -S . -B build -G Ninja -DTVUT_BUILD_TESTS=OFF -DTVUT_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build -j 2 --target tvut_sample_host tvut_inspect

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tvut-run-XXXXXX")
receiver_pid=""
cleanup() {
    if [ -n "$receiver_pid" ]; then
        kill "$receiver_pid" 2>/dev/null || true
        wait "$receiver_pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
on_signal() { exit "$1"; }
trap cleanup EXIT
trap 'on_signal 130' INT
trap 'on_signal 143' TERM

root="$scratch/root"
store="$scratch/received"
host=./build/tools/tvut_sample_host
inspect() { UT_MACHINE_DATA_DIR="$root/machine" XDG_DATA_HOME="$root/user" ./build/tools/tvut_inspect "$@"; }
heading() { printf '\n=== %s ===\n%s\n\n' "$1" "$2"; }
uploads() { find "$store/requests" -mindepth 1 -maxdepth 1 -type d 2>/dev/null | wc -l; }

# What the server received in the uploads after the first $1 ones. The first
# upload shown lists every form field; later ones only the fields whose
# values differ from it.
show_uploads() {
    local request name skip=$(($1 + 1)) first=""
    for request in $(find "$store/requests" -mindepth 1 -maxdepth 1 -type d | sort | tail -n "+$skip"); do
        printf 'Upload %s: %s, archive %s, %s transcript(s), %s log file(s), %s problem(s)\n' \
            "$(basename "$request")" "$(sed -n 's/^path //p' "$request/summary.txt")" \
            "$(sed -n 's/^archive //p' "$request/summary.txt")" \
            "$(sed -n 's/^transcripts //p' "$request/summary.txt")" \
            "$(find "$request/logs" -type f 2>/dev/null | wc -l)" \
            "$(sed -n 's/^problems //p' "$request/summary.txt")"
        sed -n 's/^problem /  problem: /p' "$request/summary.txt"
        printf '  server replied: %s\n' "$(sed -n 's/^reply //p' "$request/summary.txt")"
        if [ -z "$first" ]; then
            first=$request
            printf '  form fields:\n'
            for name in "$request"/fields/*; do
                printf '    %-17s %s\n' "$(basename "$name")" "$(tr -d '\r' <"$name")"
            done
            cat <<'TEXT'
  The empty LIC_* fields are the licensed product's ids, which the sample
  host does not set. HIDDEN_PARAM_1..3 are SHA-256 digests (of the machine
  and account names, of the machine id, of the root file system's id), so
  that uploads of one user and machine can be told apart without their
  names; docs/data-collected.md says what each protects and does not.
  EXT_DEP_STATUS_CODE in the reply is the server's word on its own back end
  (183: fine). tvUT sends only the 21 fields listed.
TEXT
        else
            local changed=""
            for name in "$request"/fields/*; do
                if ! cmp -s "$name" "$first/fields/$(basename "$name")"; then
                    changed+=$(printf '    %-17s %s' "$(basename "$name")" "$(tr -d '\r' <"$name")")$'\n'
                fi
            done
            if [ -n "$changed" ]; then
                printf '  form fields: as in upload %s, except\n%s' "$(basename "$first")" "$changed"
            else
                printf '  form fields: the same as in upload %s\n' "$(basename "$first")"
            fi
        fi
        for name in "$request"/transcripts/*.xml; do
            [ -e "$name" ] || continue
            printf '  transcript %s, unscrambled:\n' "$(basename "$name" .xml)"
            sed 's/^/    /' "$name"
        done
        echo
    done
}

heading "A local usage server" \
    "tools/ut_receiver.py stands in for the usage server on 127.0.0.1: it checks each upload, keeps a copy and answers \"accepted\"."
python3 tools/ut_receiver.py --store "$store" --ready-file "$scratch/ready" --exit-with-parent \
    >"$scratch/receiver.log" 2>&1 &
receiver_pid=$!
for _ in $(seq 100); do
    [ -s "$scratch/ready" ] && break
    kill -0 "$receiver_pid" 2>/dev/null || break
    sleep 0.1
done
if [ ! -s "$scratch/ready" ]; then
    echo "The local receiver did not start:" >&2
    cat "$scratch/receiver.log" >&2
    exit 1
fi
url=$(sed -n 's/^url //p' "$scratch/ready")
echo "Listening; products in the scratch root send to $url"

heading "First run: a product's whole sequence, with an upload" \
    "The sample host starts tvUT, hands over its product and user, logs a session and asks for a send now (kormTRUE); each call's status code is shown with its meaning."
"$host" --root "$root" --server "$url" --send-now --calls-only "$@"

heading "What the server received" \
    "Each upload is one HTTP POST: form fields describing the component, machine, user and product, and a ZIP of the waiting transcripts (pre-release products: their diagnostic logs too); the first upload, made before any session was logged, carries no transcript."
show_uploads 0

echo "In the transcript's <product>, <platform> is the component's own bitness, 32 on every
system (it was built as a 32-bit component); <os><platform> tells the machine's."
echo
heading "What is left in the Transcripts folder" \
    "The transcript the server accepted was removed; CleanUp then wrote the session's final version (with its end time), which waits for the next send."
inspect pending

heading "Second run in the same root: a scheduled check" \
    "A send was delivered a moment ago, so GetUBInformation(kormFALSE) only wakes tvUT's worker, which logs \"Not the Time to send.\": the next send is due CommunicationWaitTime (24 hours) after the last."
before=$(uploads)
"$host" --root "$root" --server "$url" --calls-only "$@"
echo
echo "Uploads the server received during the second run: $(($(uploads) - before))"
echo "Waiting transcripts now (both sessions' final versions):"
inspect pending

heading "Done" \
    "The local receiver is stopped and the scratch folder $scratch is removed."
