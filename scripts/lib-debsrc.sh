# shellcheck shell=bash
# Sourced, not run: gives tvUT's build scripts Debian's source packages from
# the very mirrors the machine already uses. Each deb entry of the machine's
# APT sources is repeated as a deb-src one in a file of our own, so no host
# is ever named here, and an entry that is disabled stays out. Every script
# that sources this shares the same derived files: the first one to need them
# writes them, the others find them.
#
# The caller defines say (one line of progress) and fail (message, exit 1)
# and sets debsrc_writer to its own path as the derived files should name it.
# Only debsrc_ensure is meant to be called; it needs root when it writes.

debsrc_dir=/etc/apt/sources.list.d
debsrc_822="$debsrc_dir/tvut-deb-src.sources"
debsrc_list="$debsrc_dir/tvut-deb-src.list"

# True when the administrator's own sources already carry deb-src entries.
debsrc_present() {
    local f
    for f in /etc/apt/sources.list "$debsrc_dir"/*.list "$debsrc_dir"/*.sources; do
        [ -f "$f" ] || continue
        case $f in "$debsrc_822" | "$debsrc_list") continue ;; esac
        if grep -Eq '^[[:space:]]*deb-src[[:space:]]' "$f" ||
            grep -Eiq '^Types:.*[[:space:]]deb-src([[:space:]]|$)' "$f"; then
            return 0
        fi
    done
    return 1
}

debsrc_derive() {
    local f out822 outlist
    : "${debsrc_writer:?the sourcing script names itself in debsrc_writer}"
    out822=$(mktemp) outlist=$(mktemp)
    for f in "$debsrc_dir"/*.sources; do
        [ -f "$f" ] || continue
        [ "$f" = "$debsrc_822" ] && continue
        # One stanza at a time (stanzas are separated by blank lines): a
        # stanza whose Types has deb and that is not "Enabled: no" is written
        # again with "Types: deb-src".
        awk '
            function flush() {
                if (n > 0 && isdeb && !off) {
                    for (i = 1; i <= n; i++) print lines[i]
                    print ""
                }
                n = 0; isdeb = 0; off = 0
            }
            /^[[:space:]]*$/ { flush(); next }
            /^[[:space:]]*#/ { next }
            tolower($1) == "types:" {
                for (i = 2; i <= NF; i++) if ($i == "deb") isdeb = 1
                lines[++n] = "Types: deb-src"
                next
            }
            tolower($1) == "enabled:" && tolower($2) == "no" { off = 1 }
            { lines[++n] = $0 }
            END { flush() }
        ' "$f" >>"$out822"
    done
    for f in /etc/apt/sources.list "$debsrc_dir"/*.list; do
        [ -f "$f" ] || continue
        [ "$f" = "$debsrc_list" ] && continue
        sed -n 's/^[[:space:]]*deb\([[:space:]]\)/deb-src\1/p' "$f" >>"$outlist"
    done
    if [ -s "$out822" ]; then
        { echo "# Written by tvUT's $debsrc_writer: the machine's deb entries, as deb-src."
          cat "$out822"; } >"$debsrc_822"
        chmod 0644 "$debsrc_822"
        say "wrote $debsrc_822 from the machine's deb822 sources"
    fi
    if [ -s "$outlist" ]; then
        { echo "# Written by tvUT's $debsrc_writer: the deb lines, as deb-src."
          cat "$outlist"; } >"$debsrc_list"
        chmod 0644 "$debsrc_list"
        say "wrote $debsrc_list from the machine's one-line sources"
    fi
    rm -f "$out822" "$outlist"
    [ -s "$debsrc_822" ] || [ -s "$debsrc_list" ] ||
        fail "no deb entry in the machine's APT sources to derive a deb-src entry from"
}

# Leaves APT with deb-src entries: the ones derived before, the
# administrator's own, or new ones derived now. The caller runs
# apt-get update afterwards.
debsrc_ensure() {
    if [ -s "$debsrc_822" ] || [ -s "$debsrc_list" ]; then
        say "APT's deb-src entries are the ones derived before: $(ls "$debsrc_822" "$debsrc_list" 2>/dev/null | tr '\n' ' ')"
    elif debsrc_present; then
        say "APT's sources already have deb-src entries"
    else
        debsrc_derive
    fi
}
