#!/usr/bin/env bash
# Line coverage of a module built with gcov's counters (sim/board/build.sh
# -c), from the counters the guest printed at the end of each run:
#   scripts/kernel-coverage.sh OBJDIR CONSOLE...
# OBJDIR is the module's build folder (its .gcno files); each CONSOLE is a
# run's console log. The runs' counters are added up, and every line of the
# sources in OBJDIR that no run reached is listed.
set -euo pipefail

objdir=$(realpath "${1:?usage: kernel-coverage.sh objdir console...}")
shift
gcov=aarch64-linux-gnu-gcov-12
gcov_tool=aarch64-linux-gnu-gcov-tool-12
work=$(mktemp -d /tmp/kernel-coverage.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Each console's "board: gcov PATH" blocks, base64, into a folder of its own.
runs=()
for console in "$@"; do
    run=$work/run${#runs[@]}
    mkdir -p "$run"
    awk -v dir="$run" '
        /^board: gcov end$/ { out = ""; next }
        /^board: gcov / { n = split($3, part, "/"); out = dir "/" part[n] ".b64"; next }
        out != "" { print > out }' "$console"
    for encoded in "$run"/*.b64; do
        [ -e "$encoded" ] || { echo "kernel-coverage: no counters in $console" >&2; exit 1; }
        base64 -d "$encoded" >"${encoded%.b64}"
        rm "$encoded"
    done
    runs+=("$run")
done

merged=${runs[0]}
for run in "${runs[@]:1}"; do
    "$gcov_tool" merge -o "$work/next" "$merged" "$run"
    rm -rf "$work/merged" && mv "$work/next" "$work/merged"
    merged=$work/merged
done

# gcov's per-line report of each object; sources outside OBJDIR (the
# kernel's headers) are left out, and a line counts as run when any
# object ran it (a header's inline code is in several).
mkdir -p "$work/report"
for data in "$merged"/*.gcda; do
    cp "$data" "$objdir/"
    (cd "$work/report" && "$gcov" -l -o "$objdir" "$objdir/$(basename "$data" .gcda).c" >/dev/null 2>&1)
done
awk -v dir="$objdir/" '
    FNR == 1 { source = "" }
    / 0:Source:/ { sub(/^.* 0:Source:/, ""); source = index($0, dir) == 1 ? substr($0, length(dir) + 1) : ""; next }
    source == "" { next }
    {
        split($0, f, ":"); count = f[1]; gsub(/ /, "", count); line = f[2] + 0
        if (count == "-") next
        key = source ":" line
        if (!(key in seen)) { seen[key] = 1; order[++n] = key; code[key] = substr($0, index(substr($0, index($0, ":") + 1), ":") + index($0, ":") + 1) }
        if (count !~ /^(#####|=====)$/) run[key] = 1
    }
    END {
        for (i = 1; i <= n; i++) if (order[i] in run) covered++
        printf "kv_ptp line coverage: %d of %d lines, %.1f %%\n", covered, n, n ? 100 * covered / n : 0
        for (i = 1; i <= n; i++) if (!(order[i] in run)) printf "  not run: %s: %s\n", order[i], code[order[i]]
    }' "$work/report"/*.gcov
